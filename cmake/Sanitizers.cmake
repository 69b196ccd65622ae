# DUSKLINE_SANITIZE: empty, "address,undefined" or "thread".
set(DUSKLINE_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(DUSKLINE_SANITIZE)
  add_compile_options(-fsanitize=${DUSKLINE_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${DUSKLINE_SANITIZE})
  if(DUSKLINE_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# DUSKLINE_FUZZ: build the libFuzzer targets of tests/fuzz (clang only). All code is
# instrumented for coverage so that the fuzzer sees which paths an input opened.
option(DUSKLINE_FUZZ "Build the fuzz targets (clang)" OFF)
if(DUSKLINE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The fuzz targets need clang (cmake --preset fuzz)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
