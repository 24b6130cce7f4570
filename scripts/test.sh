#!/usr/bin/env bash
# Every test: the host build and its tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the STM32F411 image with its checks and the firmware's logic run
# on an emulated Cortex-M4, the fuzzers' bounded runs, the dashboard, and the README's commands as a user
# runs them. Fails when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

# The host builds need only their compilers and libraries; the other packages (the ARM C library, the
# browser, QEMU, the debugger: most of the download) install while they compile.
scripts/install-deps.sh host
scripts/install-deps.sh > build/install-deps.log 2>&1 &
installing=$!
# Never leave the package manager half-way through an install, whatever ends this script.
trap 'wait $installing 2>/dev/null || true' EXIT

# One format for the whole tree: the C++ must be as clang-format 14 leaves it under .clang-format.
echo "=== format ==="
git ls-files -z -- '*.cpp' '*.h' '*.hpp' '*.c' | xargs -0 clang-format-14 --dry-run --Werror

# Warnings are errors in every build made here (NODE_WERROR, cached in each build folder).
run_preset() {
    echo "=== $1 ==="
    cmake --preset "$1" -DNODE_WERROR=ON >/dev/null
    cmake --build --preset "$1"
    ctest --test-dir "build/$1" --output-on-failure -j "$(nproc)"
}
run_preset host
run_preset host-asan
if ! wait $installing; then
    cat build/install-deps.log
    echo "installing the packages failed" >&2
    exit 1
fi
run_preset stm32f411
run_preset fuzz
# The dashboard: a native 64-bit build of its own, under AddressSanitizer and
# UndefinedBehaviorSanitizer; its browser test uses the host build's nodesim.
echo "=== dashboard ==="
cmake -S Tools/dashboard -B build/dashboard -G Ninja -DNODE_WERROR=ON >/dev/null
cmake --build build/dashboard
ctest --test-dir build/dashboard --output-on-failure -j "$(nproc)"
# What the README tells a user to start, started as it shows them: the node's console, the dashboard in
# its release build (made here with warnings as errors too, the flag cached in its folder), the flash
# targets' dry run.
echo "=== the README's commands ==="
cmake -S Tools/dashboard -B build/dashboard-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDASHBOARD_SANITIZE=OFF \
      -DNODE_WERROR=ON >/dev/null
scripts/test-readme-commands.sh
echo "all tests passed"
