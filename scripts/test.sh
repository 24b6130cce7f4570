#!/usr/bin/env bash
# Every test: the host build and its tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the STM32F411 image with its checks and the firmware's logic run
# on an emulated Cortex-M4, the fuzzers' bounded runs, and the dashboard. Fails when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in host host-asan stm32f411 fuzz; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --test-dir "build/$preset" --output-on-failure -j "$(nproc)"
done
# The dashboard: a native 64-bit build of its own, under AddressSanitizer and
# UndefinedBehaviorSanitizer; its browser test uses the host build's nodesim.
echo "=== dashboard ==="
cmake -S Tools/dashboard -B build/dashboard -G Ninja >/dev/null
cmake --build build/dashboard
ctest --test-dir build/dashboard --output-on-failure
echo "all tests passed"
