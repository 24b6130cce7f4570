# Warnings are errors in both builds, on our own targets (not on GoogleTest's).
function(node_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wno-missing-field-initializers)
endfunction()
