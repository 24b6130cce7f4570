# The fuzz build: the host build compiled by clang, with libFuzzer's coverage hooks, AddressSanitizer and
# UndefinedBehaviorSanitizer on everything the fuzzers exercise (firmware, platform, simulator). Only the
# fuzzer executables link libFuzzer's driver (-fsanitize=fuzzer, in tests/fuzz). Any sanitizer report
# aborts, so that libFuzzer records it as a crash with its input.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "NODE_FUZZ needs clang++ (libFuzzer); configure with the fuzz preset")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
# The simulator's own comparisons (times, addresses, register offsets) say nothing about the input and
# took over half of a whole-node run: it keeps edge coverage but not comparison tracing.
set(NODE_FUZZ_SIM_OPTIONS -fno-sanitize-coverage=trace-cmp)
