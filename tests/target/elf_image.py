"""A small reader of 32-bit little-endian ARM ELF files: sections, symbols and bytes at an address."""
import struct
from dataclasses import dataclass

SHT_SYMTAB = 2
SHT_NOBITS = 8
SHF_WRITE = 0x1
SHF_ALLOC = 0x2
SHN_ABS = 0xFFF1
STB_LOCAL, STB_GLOBAL, STB_WEAK = 0, 1, 2


@dataclass
class Section:
    name: str
    type: int
    flags: int
    address: int
    offset: int
    size: int


@dataclass
class Symbol:
    name: str
    value: int
    size: int
    binding: int
    type: int
    section_index: int


class ElfImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:4] != b"\x7fELF" or self.data[4] != 1 or self.data[5] != 1:
            raise ValueError(f"{path}: not a 32-bit little-endian ELF file")
        (self.type, self.machine, _, self.entry, _, shoff, _, _, _, _, shentsize, shnum,
         shstrndx) = struct.unpack_from("<HHIIIIIHHHHHH", self.data, 16)
        raw = [struct.unpack_from("<IIIIIIIIII", self.data, shoff + i * shentsize) for i in range(shnum)]
        names = raw[shstrndx]
        self.sections = [Section(self._string(names[4] + r[0]), r[1], r[2], r[3], r[4], r[5]) for r in raw]
        self.symbols = {}
        for i, r in enumerate(raw):
            if r[1] != SHT_SYMTAB:
                continue
            strtab = raw[r[6]][4]
            for off in range(r[4], r[4] + r[5], 16):
                name, value, size, info, _, shndx = struct.unpack_from("<IIIBBH", self.data, off)
                if name == 0:
                    continue
                symbol = Symbol(self._string(strtab + name), value, size, info >> 4, info & 0xF, shndx)
                if symbol.binding == STB_LOCAL and symbol.name in self.symbols:
                    continue  # a global of the same name wins over a file-local one
                self.symbols[symbol.name] = symbol

    def _string(self, offset):
        return self.data[offset:self.data.index(b"\0", offset)].decode()

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def symbol(self, name):
        return self.symbols.get(name)

    def read(self, address, size):
        """Bytes at a run-time address, from the section that holds them in the file."""
        for s in self.sections:
            if s.flags & SHF_ALLOC and s.type != SHT_NOBITS and s.address <= address < s.address + s.size:
                if address + size > s.address + s.size:
                    break
                start = s.offset + address - s.address
                return self.data[start:start + size]
        raise ValueError(f"no loaded bytes at 0x{address:08x}+{size}")

    def words(self, address, count):
        return list(struct.unpack(f"<{count}I", self.read(address, 4 * count)))
