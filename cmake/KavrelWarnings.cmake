# Warnings for every target of the project.
function(kavrel_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${KAVREL_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${KAVREL_WERROR}>:-Werror>)
  endif()
endfunction()
