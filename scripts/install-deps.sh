#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, if any is missing (run as root).
set -euo pipefail
packages=(g++-multilib cmake ninja-build gcc-arm-none-eabi libnewlib-arm-none-eabi
          libstdc++-arm-none-eabi-newlib libgtest-dev qemu-system-arm libcli11-dev nlohmann-json3-dev
          python3)
# The fuzz preset: clang 14, libFuzzer and the sanitizers' runtimes (32-bit too), llvm-symbolizer.
packages+=(clang-14 libclang-rt-14-dev llvm-14)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
