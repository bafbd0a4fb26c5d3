# VOICE_HOST_SANITIZE: a comma-separated -fsanitize list (address,undefined or thread) applied
# to every target of the tree: the host, the scripted host, the fake library, tools and tests.
# Each sanitized executable also gets compiled-in runtime defaults so that the first report
# ends the process, whoever starts it.
set(VOICE_HOST_SANITIZE "" CACHE STRING "sanitizers to build with, e.g. address,undefined or thread")

if(VOICE_HOST_SANITIZE)
  set(sanitize_flags -fsanitize=${VOICE_HOST_SANITIZE} -fno-sanitize-recover=all
                     -fno-omit-frame-pointer -g)
  add_compile_options(${sanitize_flags})
  add_link_options(-fsanitize=${VOICE_HOST_SANITIZE})
  add_library(sanitizer_defaults OBJECT ${CMAKE_CURRENT_LIST_DIR}/sanitizer_defaults.cpp)
  link_libraries(sanitizer_defaults)
endif()
