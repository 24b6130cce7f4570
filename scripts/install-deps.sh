#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, if any is missing (run as root).
#   scripts/install-deps.sh            every package, and the dashboard's npm modules
#   scripts/install-deps.sh host       only what the two host builds need (their compilers, GoogleTest,
#                                      the emulated core's libraries), so that they can start compiling
#                                      while the rest installs
set -euo pipefail
# The host builds: 32-bit g++, the cross compiler for the emulated core's test images (they need no C
# library), the command-line and JSON libraries, and Debian's Unicorn engine and Capstone disassembler,
# their i386 builds, which link with the 32-bit host build (the emulated Cortex-M4 that runs the
# flashable image against the chip models), and clang-format 14, which the test command checks the
# tree's format with.
packages=(g++-multilib cmake ninja-build gcc-arm-none-eabi libgtest-dev libcli11-dev nlohmann-json3-dev
          python3 libunicorn-dev:i386 libcapstone-dev:i386 clang-format-14)
if [ "${1:-}" != host ]; then
    # The image: newlib and its C++ library; QEMU runs the firmware's logic on a Cortex-M4 board.
    packages+=(libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib qemu-system-arm)
    # The dashboard: SQLite for its history, Boost (Beast, Asio, URL) for its web server, and the
    # browser its page is tested in.
    packages+=(libsqlite3-dev libboost1.81-dev chromium)
    # The dashboard's bridge to MQTT: the client library; the broker, its command-line clients and
    # openssl (a CA and a certificate made at test time) for the tests against a real broker.
    packages+=(libmosquitto-dev mosquitto mosquitto-clients openssl)
    # Node.js for the page's chart library and the browser test's driver. A machine that has node
    # already keeps it (it may come with its own npm, which Debian's npm package would conflict with).
    command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
    # The fuzz preset: clang 14, libFuzzer and the sanitizers' runtimes (32-bit too), llvm-symbolizer.
    packages+=(clang-14 libclang-rt-14-dev llvm-14)
    # The debugger that the GDB server of the emulated core is tested with.
    packages+=(gdb-multiarch)
fi
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
[ "${1:-}" = host ] && exit 0

# The page's chart library and the browser test's driver, as locked; again only when the lock changed.
dashboard_dir="$(dirname "$0")/../Tools/dashboard"
if [ -f "$dashboard_dir/package-lock.json" ] &&
   ! cmp -s "$dashboard_dir/package-lock.json" "$dashboard_dir/node_modules/.installed-lock.json"; then
    (cd "$dashboard_dir" && npm ci --no-audit --no-fund && cp package-lock.json node_modules/.installed-lock.json)
fi
