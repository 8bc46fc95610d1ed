# dorvane_option_values(OUT LIST OPTION...): the value after each OPTION that LIST holds
# (LIST is a command's words, "--option value ..."), in OPTION order. The signing options
# are read so by the configure (the files whose contents sign) and by the package step
# (the tools that sign).
function(dorvane_option_values out words)
  set(values "")
  foreach(option IN LISTS ARGN)
    list(FIND ${words} ${option} at)
    if(at GREATER -1)
      math(EXPR at "${at} + 1")
      list(GET ${words} ${at} value)
      list(APPEND values ${value})
    endif()
  endforeach()
  set(${out} "${values}" PARENT_SCOPE)
endfunction()
