# Warnings for the project's own targets only; -Werror when STRANDEL_WERROR is on.
function(strandel_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                                           $<$<BOOL:${STRANDEL_WERROR}>:-Werror>)
endfunction()
