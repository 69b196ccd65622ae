# DUSKLINE_SANITIZE: empty, "address,undefined" or "thread".
set(DUSKLINE_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(DUSKLINE_SANITIZE)
  add_compile_options(-fsanitize=${DUSKLINE_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${DUSKLINE_SANITIZE})
  if(DUSKLINE_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
