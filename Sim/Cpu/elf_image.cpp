#include "elf_image.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sim::cpu {

namespace {

template <typename T>
T read_at(const std::vector<uint8_t>& file, uint64_t offset, const std::string& name, const char* what)
{
    if (offset > file.size() || file.size() - offset < sizeof(T))
        throw std::runtime_error(name + ": " + what + " lies past the end of the file");
    T value;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

bool within(const std::vector<uint8_t>& file, uint64_t offset, uint64_t size)
{
    return offset <= file.size() && size <= file.size() - offset;
}

}  // namespace

ElfImage ElfImage::load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot open");
    std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return parse(file, path);
}

ElfImage ElfImage::parse(const std::vector<uint8_t>& file, const std::string& name)
{
    auto header = read_at<Elf32_Ehdr>(file, 0, name, "the ELF header");
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) throw std::runtime_error(name + ": not an ELF file");
    if (header.e_ident[EI_CLASS] != ELFCLASS32 || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_machine != EM_ARM)
        throw std::runtime_error(name + ": not a 32-bit little-endian ARM executable");
    if (header.e_type != ET_EXEC) throw std::runtime_error(name + ": not an executable (linked image)");

    ElfImage image;
    image.entry_ = header.e_entry;
    if (header.e_phentsize != sizeof(Elf32_Phdr)) throw std::runtime_error(name + ": unexpected program header size");
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        auto segment =
            read_at<Elf32_Phdr>(file, header.e_phoff + uint64_t{i} * sizeof(Elf32_Phdr), name, "a program header");
        // Only the file's bytes go to the chip; the rest of a segment (.bss, the stack) is RAM that the
        // start-up code clears or that is simply there.
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
        if (!within(file, segment.p_offset, segment.p_filesz))
            throw std::runtime_error(name + ": a loadable segment lies past the end of the file");
        LoadSegment loaded;
        loaded.address = segment.p_paddr;
        loaded.bytes.assign(file.begin() + segment.p_offset, file.begin() + segment.p_offset + segment.p_filesz);
        image.segments_.push_back(std::move(loaded));
    }
    if (image.segments_.empty()) throw std::runtime_error(name + ": no loadable segment");

    // The symbol table is optional (a stripped image runs just as well).
    if (header.e_shentsize == sizeof(Elf32_Shdr)) {
        for (unsigned i = 0; i < header.e_shnum; ++i) {
            auto section =
                read_at<Elf32_Shdr>(file, header.e_shoff + uint64_t{i} * sizeof(Elf32_Shdr), name, "a section header");
            if (section.sh_type != SHT_SYMTAB || section.sh_link >= header.e_shnum) continue;
            auto strings = read_at<Elf32_Shdr>(file, header.e_shoff + uint64_t{section.sh_link} * sizeof(Elf32_Shdr),
                                               name, "a section header");
            if (!within(file, section.sh_offset, section.sh_size) || !within(file, strings.sh_offset, strings.sh_size))
                throw std::runtime_error(name + ": the symbol table lies past the end of the file");
            for (uint64_t at = 0; at + sizeof(Elf32_Sym) <= section.sh_size; at += sizeof(Elf32_Sym)) {
                auto symbol = read_at<Elf32_Sym>(file, section.sh_offset + at, name, "a symbol");
                if (symbol.st_name == 0 || symbol.st_name >= strings.sh_size) continue;
                const char* text = reinterpret_cast<const char*>(file.data() + strings.sh_offset + symbol.st_name);
                std::string symbol_name(text, strnlen(text, strings.sh_size - symbol.st_name));
                if (ELF32_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_shndx != SHN_UNDEF) {
                    const unsigned binding = ELF32_ST_BIND(symbol.st_info);
                    image.functions_.push_back({symbol_name, symbol.st_value & ~1U, symbol.st_size,
                                                binding == STB_GLOBAL || binding == STB_WEAK, binding == STB_WEAK});
                }
                image.sizes_.emplace(symbol_name, symbol.st_size);
                image.symbols_.emplace(std::move(symbol_name), symbol.st_value);
            }
        }
    }
    return image;
}

std::optional<uint32_t> ElfImage::symbol(const std::string& name) const
{
    auto found = symbols_.find(name);
    if (found == symbols_.end()) return std::nullopt;
    return found->second;
}

std::optional<uint32_t> ElfImage::symbol_size(const std::string& name) const
{
    auto found = sizes_.find(name);
    if (found == sizes_.end()) return std::nullopt;
    return found->second;
}

}  // namespace sim::cpu
