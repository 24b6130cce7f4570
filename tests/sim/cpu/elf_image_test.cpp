// Reading the flashable image: what goes to flash, at which address, and clear errors for files that
// are not a linked 32-bit ARM image.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "elf_image.h"

namespace {

using sim::cpu::ElfImage;

struct Segment {
    uint32_t type, virtual_address, physical_address, file_size, memory_size;
    std::vector<uint8_t> bytes;
};

// A minimal executable: the header, the program headers, then each segment's bytes.
std::vector<uint8_t> make_elf(const std::vector<Segment>& segments, uint16_t machine = EM_ARM)
{
    Elf32_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS32;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_machine = machine;
    header.e_entry = 0x08000101;
    header.e_phoff = sizeof header;
    header.e_ehsize = sizeof header;
    header.e_phentsize = sizeof(Elf32_Phdr);
    header.e_phnum = static_cast<uint16_t>(segments.size());
    std::vector<uint8_t> file(sizeof header + segments.size() * sizeof(Elf32_Phdr));
    std::memcpy(file.data(), &header, sizeof header);
    for (size_t i = 0; i < segments.size(); ++i) {
        Elf32_Phdr program{};
        program.p_type = segments[i].type;
        program.p_vaddr = segments[i].virtual_address;
        program.p_paddr = segments[i].physical_address;
        program.p_filesz = segments[i].file_size;
        program.p_memsz = segments[i].memory_size;
        program.p_offset = static_cast<uint32_t>(file.size());
        file.insert(file.end(), segments[i].bytes.begin(), segments[i].bytes.end());
        std::memcpy(file.data() + sizeof header + i * sizeof program, &program, sizeof program);
    }
    return file;
}

TEST(ElfImage, LoadsTheFileBytesOfEachSegmentAtItsPhysicalAddress)
{
    // Code in flash; .data linked for RAM but stored in flash after the code (its physical address),
    // with .bss beyond its file bytes; a stack reserve with no file bytes at all.
    auto file = make_elf({{PT_LOAD, 0x08000000, 0x08000000, 4, 4, {1, 2, 3, 4}},
                          {PT_LOAD, 0x20000000, 0x08000004, 2, 64, {5, 6}},
                          {PT_LOAD, 0x20000040, 0x20000040, 0, 1024, {}},
                          {PT_NOTE, 0, 0, 1, 1, {9}}});
    ElfImage image = ElfImage::parse(file, "test.elf");
    ASSERT_EQ(image.segments().size(), 2U);
    EXPECT_EQ(image.segments()[0].address, 0x08000000U);
    EXPECT_EQ(image.segments()[0].bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(image.segments()[1].address, 0x08000004U);
    EXPECT_EQ(image.segments()[1].bytes, (std::vector<uint8_t>{5, 6}));
    EXPECT_EQ(image.entry(), 0x08000101U);
    EXPECT_FALSE(image.symbol("main").has_value());  // no symbol table: still runs
}

TEST(ElfImage, RejectsWhatIsNotALinkedArmImageWithAReason)
{
    auto expect_error = [](const std::vector<uint8_t>& file, const std::string& words) {
        try {
            ElfImage::parse(file, "bad.elf");
            ADD_FAILURE() << "accepted a file that should fail with: " << words;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("bad.elf: " + words), std::string::npos) << error.what();
        }
    };
    expect_error({'n', 'o', 't'}, "the ELF header lies past the end");
    expect_error(std::vector<uint8_t>(64, 0), "not an ELF file");
    expect_error(make_elf({{PT_LOAD, 0, 0, 1, 1, {0}}}, EM_386), "not a 32-bit little-endian ARM executable");
    expect_error(make_elf({{PT_LOAD, 0, 0, 0, 16, {}}}), "no loadable segment");
    auto truncated = make_elf({{PT_LOAD, 0x08000000, 0x08000000, 4, 4, {1, 2, 3, 4}}});
    truncated.resize(truncated.size() - 2);
    expect_error(truncated, "a loadable segment lies past the end of the file");
    EXPECT_THROW(ElfImage::load("/nonexistent/node.elf"), std::runtime_error);
}

}  // namespace
