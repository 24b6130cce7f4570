#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, if any is missing (run as root).
set -euo pipefail
packages=(g++-multilib cmake ninja-build gcc-arm-none-eabi libnewlib-arm-none-eabi
          libstdc++-arm-none-eabi-newlib libgtest-dev qemu-system-arm libcli11-dev nlohmann-json3-dev
          python3)
# The dashboard: SQLite for its history, Boost (Beast, Asio, URL) for its web server, and the browser
# its page is tested in.
packages+=(libsqlite3-dev libboost1.81-dev chromium)
# Node.js for the page's chart library and the browser test's driver. A machine that has node
# already keeps it (it may come with its own npm, which Debian's npm package would conflict with).
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
# The fuzz preset: clang 14, libFuzzer and the sanitizers' runtimes (32-bit too), llvm-symbolizer.
packages+=(clang-14 libclang-rt-14-dev llvm-14)
# The emulated Cortex-M4 that runs the flashable image against the chip models: Debian's Unicorn engine
# and Capstone disassembler, their i386 builds, which link with the 32-bit host build.
packages+=(libunicorn-dev:i386 libcapstone-dev:i386)
# The debugger that the GDB server of the emulated core is tested with.
packages+=(gdb-multiarch)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The page's chart library and the browser test's driver, as locked; again only when the lock changed.
dashboard_dir="$(dirname "$0")/../Tools/dashboard"
if [ -f "$dashboard_dir/package-lock.json" ] &&
   ! cmp -s "$dashboard_dir/package-lock.json" "$dashboard_dir/node_modules/.installed-lock.json"; then
    (cd "$dashboard_dir" && npm ci --no-audit --no-fund && cp package-lock.json node_modules/.installed-lock.json)
fi
