#!/usr/bin/env bash
# Writes the image to a board (the build's flash and flash-dfu targets call it):
#   scripts/flash.sh stlink build/stm32f411/node.elf   over an ST-LINK debug probe, with OpenOCD
#   scripts/flash.sh dfu build/stm32f411/node.bin      over USB to the chip's ROM bootloader (BOOT0 held
#                                                      high at reset), with dfu-util, at 0x08000000
# FLASH_DRY_RUN=1 prints the command instead of running it. A missing tool or image is status 2, a
# board that is not there (or the tool failing) status 1, each with a message saying what to do.
set -uo pipefail
how=${1:-}
image=${2:-}
case "$how" in
    stlink)
        tool=openocd
        command=(openocd -f interface/stlink.cfg -f target/stm32f4x.cfg -c "program $image verify reset exit") ;;
    dfu)
        # 0483:df11 is the STM32 ROM bootloader; ":leave" starts the image once written.
        tool=dfu-util
        command=(dfu-util -d 0483:df11 -a 0 -s 0x08000000:leave -D "$image") ;;
    *)
        echo "usage: flash.sh stlink IMAGE.elf | flash.sh dfu IMAGE.bin" >&2
        exit 2 ;;
esac
if [ ! -f "$image" ]; then
    echo "flash: no image at $image (build the stm32f411 preset first)" >&2
    exit 2
fi
if [ -n "${FLASH_DRY_RUN:-}" ]; then
    for word in "${command[@]}"; do
        case "$word" in *" "*) printf '"%s" ' "$word" ;; *) printf '%s ' "$word" ;; esac
    done
    echo
    exit 0
fi
if ! command -v "$tool" >/dev/null; then
    echo "flash: $tool is not installed (apt-get install $tool)" >&2
    exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"${command[@]}" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] && exit 0
case "$how" in
    stlink)
        if grep -qiE "open failed|no device found|unable to open|LIBUSB_ERROR" "$log"; then
            echo "flash: no ST-LINK probe found: plug it in, wired to the board's SWDIO, SWCLK, GND and 3.3 V" >&2
        fi ;;
    dfu)
        if grep -qi "No DFU capable USB device" "$log"; then
            echo "flash: no board in DFU mode: hold BOOT0 high (to 3.3 V) while pressing reset or plugging USB in," \
                 "release it, then run again" >&2
        fi ;;
esac
echo "flash: $tool failed (status $status)" >&2
exit 1
