option(TARNWICK_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

function(tarnwick_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wsign-conversion -Wcast-qual -Wformat=2)
  if(TARNWICK_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
