#!/usr/bin/env bash
# A longer run of both fuzzers: builds the fuzz preset (clang, libFuzzer, AddressSanitizer, UBSan), then
# runs the frame fuzzer and the receive-path fuzzer one after the other, each for SECONDS (default 600),
# on a scratch copy of its checked-in seed corpus, so the corpus in the repository is left as it is.
# Usage: scripts/fuzz.sh [SECONDS]
# Prints each fuzzer's executions, rate, coverage and corpus size; a crash leaves its input in the
# scratch folder (printed) and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -- -j2

scratch=$(mktemp -d /tmp/node-fuzz.XXXXXX)
echo "scratch folder: $scratch"
status=0
for fuzzer in frame_fuzzer receive_fuzzer; do
    case $fuzzer in
        frame_fuzzer) options=(-max_len=128) ;;
        # About 10 inputs a second: let inputs be long from the start rather than growing them slowly.
        receive_fuzzer) options=(-max_len=512 -len_control=0) ;;
    esac
    mkdir -p "$scratch/$fuzzer/corpus" "$scratch/$fuzzer/crashes"
    cp tests/fuzz/corpus/$fuzzer/* "$scratch/$fuzzer/corpus/"
    echo "=== $fuzzer for $seconds s ==="
    log="$scratch/$fuzzer/log.txt"
    if ! (cd "$scratch/$fuzzer" && "$OLDPWD/build/fuzz/tests/fuzz/$fuzzer" "${options[@]}" \
            -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=crashes/ \
            corpus) >"$log" 2>&1; then
        status=1
        echo "$fuzzer FAILED; log: $log, inputs: $scratch/$fuzzer/crashes"
        grep -E "ERROR|fuzzer:|SUMMARY" "$log" | head -5 || true
    fi
    # The last status line: executions, coverage, corpus; then the final statistics.
    grep -E "^#[0-9]+" "$log" | tail -1 || true
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$log" || true
    echo "corpus: $(ls "$scratch/$fuzzer/corpus" | wc -l) inputs"
done
exit $status
