# Warnings are errors in CI (DUSKLINE_WERROR=ON); locally they are shown but do not stop a build.
option(DUSKLINE_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra)
if(DUSKLINE_WERROR)
  add_compile_options(-Werror)
endif()

# The fusion's arithmetic is defined step by step in single precision: a fused multiply-add
# would round once where the algorithm rounds twice and change results by one unit.
add_compile_options(-ffp-contract=off -fno-fast-math)

# Assertion reports name sources relative to the project root ("inc/core/Image").
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)

# GCC 12's -Wuse-after-free flags a read of a shared use count after another handle released
# its share, as it cannot tell that release from the last one (a false positive on every
# reference-counted handle). AddressSanitizer checks the real cases in the sanitizer builds.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
  add_compile_options(-Wno-use-after-free)
endif()
