#!/usr/bin/env bash
# The flash targets without a board: the command each runs (dry run, through the build), and the
# messages when the tool is not installed or finds no board (fake tools that fail as the real ones do).
#   flash_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
source=$2
failures=0
check() {  # what, expected, actual
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1"
        echo "  expected: $2"
        echo "  actual:   $3"
        failures=$((failures + 1))
    fi
}
contains() {  # what, needle, haystack
    case "$3" in *"$2"*) ;; *) echo "FAIL: $1: no '$2' in: $3"; failures=$((failures + 1)) ;; esac
}

for target in flash flash-dfu; do
    out=$(FLASH_DRY_RUN=1 cmake --build "$build" --target "$target" 2>&1 | grep -E '^(openocd|dfu-util) ')
    case $target in
        flash) expected="openocd -f interface/stlink.cfg -f target/stm32f4x.cfg -c \"program $build/node.elf verify reset exit\" " ;;
        flash-dfu) expected="dfu-util -d 0483:df11 -a 0 -s 0x08000000:leave -D $build/node.bin " ;;
    esac
    check "$target runs" "$expected" "$out"
done

# A PATH with the shell's helpers but without the flashing tools, then with tools that find no board.
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
for helper in bash env grep tee mktemp rm cat; do ln -s "$(command -v $helper)" "$fake/$helper"; done
for how in "stlink $build/node.elf openocd" "dfu $build/node.bin dfu-util"; do
    set -- $how
    out=$(PATH=$fake "$source/scripts/flash.sh" "$1" "$2" 2>&1); status=$?
    check "$1 without $3: status" 2 "$status"
    check "$1 without $3: message" "flash: $3 is not installed (apt-get install $3)" "$out"
done
printf '#!/bin/sh\necho "Error: open failed"\nexit 1\n' >"$fake/openocd"
printf '#!/bin/sh\necho "dfu-util: No DFU capable USB device available"\nexit 74\n' >"$fake/dfu-util"
chmod +x "$fake/openocd" "$fake/dfu-util"
out=$(PATH=$fake "$source/scripts/flash.sh" stlink "$build/node.elf" 2>&1); status=$?
check "stlink without a board: status" 1 "$status"
contains "stlink without a board" "no ST-LINK probe found" "$out"
out=$(PATH=$fake "$source/scripts/flash.sh" dfu "$build/node.bin" 2>&1); status=$?
check "dfu without a board: status" 1 "$status"
contains "dfu without a board" "hold BOOT0 high" "$out"
out=$("$source/scripts/flash.sh" dfu "$build/no-such.bin" 2>&1); status=$?
check "a missing image: status" 2 "$status"

[ "$failures" -eq 0 ] && echo "flash targets: all checks passed"
exit $((failures > 0))
