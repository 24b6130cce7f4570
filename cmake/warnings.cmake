# Warnings on our own targets (not on GoogleTest's). They are errors where NODE_WERROR is on: the test
# command turns it on in every build it makes, so that a warning fails CI. A user's build (the README's
# scripts/run-node.sh and scripts/run-dashboard.sh on a fresh clone) leaves it off, so that a warning new
# in the compiler that user happens to have is shown but does not stop the build. The value is cached:
# a build folder the test command configured keeps it on, and the scripts that share the folder
# (build/host) do not rebuild it for a flag that flips.
option(NODE_WERROR "Treat compiler warnings as errors (the test command turns it on)" OFF)
function(node_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wno-missing-field-initializers)
    if(NODE_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
