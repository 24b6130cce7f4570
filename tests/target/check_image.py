#!/usr/bin/env python3
"""Checks the STM32F411 image: where things are, what the vector table points at, and the RAM reserves.

A wrong word in the vector table or a misplaced section does not show in any host test: the board would
simply not start, or an interrupt would land in the wrong place. This reads node.elf (and node.bin, the
file a user flashes) and fails on the first thing that would make the image wrong on the chip.
"""
import argparse
import os
import sys

from elf_image import SHF_WRITE, SHN_ABS, SHT_NOBITS, STB_GLOBAL, ElfImage

FLASH_BASE, FLASH_SIZE = 0x08000000, 512 * 1024
RAM_BASE, RAM_SIZE = 0x20000000, 128 * 1024
VECTOR_WORDS = 102

# Vector positions (word index) that must point at a handler of that name, defined by the firmware.
NAMED = {
    1: "Reset_Handler", 2: "NMI_Handler", 3: "HardFault_Handler", 4: "MemManage_Handler",
    5: "BusFault_Handler", 6: "UsageFault_Handler", 11: "SVC_Handler", 12: "DebugMon_Handler",
    14: "PendSV_Handler", 15: "SysTick_Handler",
    16 + 37: "USART1_IRQHandler", 16 + 58: "DMA2_Stream2_IRQHandler",
}
# Handlers that must come back at once: a few instructions ending in a return (BX LR, or POP {..., PC}
# in an unoptimised build), where an endless loop would end in a branch to itself.
RETURNING = ("SVC_Handler", "DebugMon_Handler", "PendSV_Handler")
RESERVED_SYSTEM = [7, 8, 9, 10, 13]
RESERVED_IRQ = ([19, 20, 21, 22, 39, 43, 44, 45, 46, 48, 52, 53, 54, 55] + list(range(61, 67)) +
                list(range(74, 81)) + [82, 83])
FLASH_ORDER = [".isr_vector", ".text", ".rodata", ".ARM.extab", ".ARM", ".preinit_array", ".init_array",
               ".fini_array"]


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def expect(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL {what}")
        return ok


def in_flash(address):
    return FLASH_BASE <= address < FLASH_BASE + FLASH_SIZE


def in_ram(address):
    return RAM_BASE <= address <= RAM_BASE + RAM_SIZE


def check_vectors(elf, c):
    table = elf.section(".isr_vector")
    if not c.expect(table is not None, ".isr_vector section present"):
        return
    c.expect(table.address == FLASH_BASE, f".isr_vector at 0x{table.address:08x}, expected 0x{FLASH_BASE:08x}")
    c.expect(table.size == 4 * VECTOR_WORDS, f".isr_vector is {table.size} bytes, expected {4 * VECTOR_WORDS}")
    # A table the compiler had to build at run time would sit in a writable or empty section.
    c.expect(table.type != SHT_NOBITS and not table.flags & SHF_WRITE,
             ".isr_vector holds its words in the image (read-only, not built at run time)")
    vectors = elf.symbol("g_pfnVectors")
    c.expect(vectors is not None and vectors.value == FLASH_BASE and vectors.size == 4 * VECTOR_WORDS,
             "g_pfnVectors is the 408 bytes at 0x08000000")
    words = elf.words(FLASH_BASE, VECTOR_WORDS)
    c.expect(words[0] == 0x20020000, f"word 0 (initial SP) is 0x{words[0]:08x}, expected 0x20020000")
    c.expect(elf.entry == words[1], f"ELF entry 0x{elf.entry:08x} is the reset vector 0x{words[1]:08x}")

    default = elf.symbol("Default_Handler")
    if not c.expect(default is not None, "Default_Handler defined"):
        return
    default_address = default.value & ~1

    for index, name in NAMED.items():
        sym = elf.symbol(name)
        if not c.expect(sym is not None, f"{name} (vector {index}) defined"):
            continue
        c.expect(sym.binding == STB_GLOBAL and sym.value & ~1 != default_address,
                 f"{name} is the firmware's own handler, not the weak alias of Default_Handler")
        c.expect(words[index] == sym.value | 1,
                 f"vector {index} is 0x{words[index]:08x}, expected {name} 0x{sym.value | 1:08x} (Thumb bit set)")
    for name in RETURNING:
        sym = elf.symbol(name)
        if sym is not None and sym.size >= 2:
            last = int.from_bytes(elf.read((sym.value & ~1) + sym.size - 2, 2), "little")
            returns = last == 0x4770 or last & 0xFF00 == 0xBD00
            c.expect(returns and sym.size <= 16,
                     f"{name} returns at once ({sym.size} bytes, last instruction 0x{last:04x})")

    for index in RESERVED_SYSTEM:
        c.expect(words[index] == 0, f"reserved system vector {index} is 0x{words[index]:08x}, expected 0")
    named_irqs = {index - 16 for index in NAMED if index >= 16}
    for irq in range(86):
        word = words[16 + irq]
        if irq in RESERVED_IRQ:
            c.expect(word == 0, f"reserved IRQ {irq} vector is 0x{word:08x}, expected 0")
        elif irq not in named_irqs:
            c.expect(word == default_address | 1,
                     f"IRQ {irq} vector is 0x{word:08x}, expected Default_Handler 0x{default_address | 1:08x}")


def check_layout(elf, bin_path, c):
    previous_end = FLASH_BASE
    for name in FLASH_ORDER:
        s = elf.section(name)
        if s is None or s.size == 0:
            continue
        c.expect(in_flash(s.address) and s.address >= previous_end,
                 f"{name} at 0x{s.address:08x} follows the previous flash section (ends 0x{previous_end:08x})")
        previous_end = s.address + s.size

    data, bss = elf.section(".data"), elf.section(".bss")
    symbols = {n: elf.symbol(n) for n in ("_sidata", "_sdata", "_edata", "_sbss", "_ebss", "_end")}
    if not c.expect(all(symbols.values()) and data is not None and bss is not None,
                    "the start-up symbols and the .data and .bss sections exist"):
        return
    v = {n: s.value for n, s in symbols.items()}
    c.expect(v["_sdata"] == RAM_BASE == data.address, f".data is first in RAM (_sdata 0x{v['_sdata']:08x})")
    c.expect(v["_edata"] - v["_sdata"] == data.size, "_edata - _sdata is the size of .data")
    c.expect(v["_sbss"] == bss.address and v["_ebss"] == bss.address + bss.size and v["_sbss"] >= v["_edata"],
             ".bss follows .data, bounded by _sbss and _ebss")
    c.expect(v["_sidata"] % 4 == 0 and v["_sdata"] % 4 == 0 and v["_edata"] % 4 == 0 and
             v["_sbss"] % 4 == 0 and v["_ebss"] % 4 == 0, "the copied and zeroed ranges are whole words")
    c.expect(in_flash(v["_sidata"]) and v["_sidata"] >= previous_end and
             v["_sidata"] + data.size <= FLASH_BASE + FLASH_SIZE,
             f"the .data image (_sidata 0x{v['_sidata']:08x}) follows the fini array in flash")
    c.expect(v["_end"] % 8 == 0 and v["_ebss"] <= v["_end"] < v["_ebss"] + 8,
             f"_end 0x{v['_end']:08x} is the first 8-byte boundary after _ebss 0x{v['_ebss']:08x}")

    # The flashed file must carry .data's initial values where the reset handler copies them from.
    if os.path.exists(bin_path) and data.size:
        with open(bin_path, "rb") as f:
            image = f.read()
        start = v["_sidata"] - FLASH_BASE
        initial = elf.data[data.offset:data.offset + data.size]
        c.expect(image[start:start + data.size] == initial, "node.bin holds .data's initial values at _sidata")


def check_reserves(elf, c):
    expected = {"_estack": 0x20020000, "_Min_Heap_Size": 0x200, "_Min_Stack_Size": 0x400}
    for name, value in expected.items():
        sym = elf.symbol(name)
        c.expect(sym is not None and sym.value == value,
                 f"{name} is {hex(sym.value) if sym else 'missing'}, expected {hex(value)}")
        if sym is not None and name != "_estack":
            c.expect(sym.section_index == SHN_ABS, f"{name} is an absolute value, not an address in a section")
    end = elf.symbol("_end")
    reserve = elf.section("._user_heap_stack")
    if c.expect(end is not None and reserve is not None, "the heap and stack reserve is kept in the link"):
        c.expect(reserve.size >= 0x600 and reserve.address <= end.value,
                 f"the reserve section holds {reserve.size} >= 1536 bytes from _end")
        c.expect(end.value + 0x600 <= 0x20020000, "1.5 KiB of RAM stay free above the static data")
    for name in (".text", ".rodata", ".data"):
        s = elf.section(name)
        if s is not None:
            region_ok = in_ram(s.address + s.size) if name == ".data" else in_flash(s.address + s.size - 1)
            c.expect(region_ok, f"{name} fits its region")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("elf")
    parser.add_argument("--bin", help="the flashable binary (default: beside the ELF file)")
    args = parser.parse_args()
    bin_path = args.bin or os.path.splitext(args.elf)[0] + ".bin"

    elf = ElfImage(args.elf)
    c = Checks()
    check_vectors(elf, c)
    check_layout(elf, bin_path, c)
    check_reserves(elf, c)
    print(f"image checks: {c.passed} passed, {c.failed} failed")
    return 1 if c.failed else 0


if __name__ == "__main__":
    sys.exit(main())
