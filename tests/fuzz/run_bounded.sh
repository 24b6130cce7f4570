#!/bin/sh
# A bounded fuzzer run for the test command: FUZZER SEED_CORPUS WORK_DIR [libFuzzer options...].
# New inputs go to a fresh WORK_DIR/corpus, so the checked-in seed corpus is only read; a crash leaves
# its input in WORK_DIR and fails the test.
set -eu
fuzzer=$1 seeds=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work/corpus"
exec "$fuzzer" -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
