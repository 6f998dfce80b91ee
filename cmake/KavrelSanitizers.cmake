# Sanitizers apply to the whole build, so the library, the tests and the tools
# are instrumented alike.
if(KAVREL_SANITIZE)
  string(REPLACE "," ";" _kavrel_sanitizers "${KAVREL_SANITIZE}")
  foreach(_sanitizer IN LISTS _kavrel_sanitizers)
    add_compile_options(-fsanitize=${_sanitizer})
    add_link_options(-fsanitize=${_sanitizer})
  endforeach()
  add_compile_options(-fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()
