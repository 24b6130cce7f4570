#!/usr/bin/env python3
"""Prints how much of the STM32F411's flash and RAM an image uses.

Flash holds every loadable section placed in it plus the initial image of .data; static RAM is .data and
.bss. The heap and stack reserve (._user_heap_stack) is shown apart: it only checks that 1.5 KiB stay free.
"""
import argparse
import subprocess
import sys

FLASH = (0x08000000, 512 * 1024)
RAM = (0x20000000, 128 * 1024)
RESERVE = "._user_heap_stack"


def sections(size_tool, elf):
    out = subprocess.run([size_tool, "-A", "-d", elf], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1].isdigit() and parts[2].isdigit():
            yield parts[0], int(parts[1]), int(parts[2])


def inside(region, address):
    return region[0] <= address < region[0] + region[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", default="arm-none-eabi-size")
    parser.add_argument("elf")
    args = parser.parse_args()

    flash = ram = reserve = 0
    for name, size, address in sections(args.size, args.elf):
        if name == RESERVE:
            reserve += size
        elif inside(FLASH, address):
            flash += size
        elif inside(RAM, address):
            ram += size
            if name == ".data":
                flash += size  # its initial image is in flash too
    print(f"node image: flash {flash} B of {FLASH[1]} ({100.0 * flash / FLASH[1]:.2f} %), "
          f"static RAM {ram} B of {RAM[1]} ({100.0 * ram / RAM[1]:.2f} %), "
          f"heap+stack reserve {reserve} B")
    return 0


if __name__ == "__main__":
    sys.exit(main())
