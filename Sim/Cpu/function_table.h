// The image's functions by address, for naming the code the core runs: one name per address (of a weak
// handler and its aliases, the global one, then the first in alphabetical order), C++ names demangled,
// a function the assembler gave no size running up to the next one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "elf_image.h"

namespace sim::cpu {

class FunctionTable {
public:
    explicit FunctionTable(const ElfImage& image);

    // What a look-up of code outside every function gives.
    static constexpr int kNone = -1;

    // The function whose code holds `address` (the flash alias at 0 counts as flash), or kNone.
    int at(uint32_t address) const;
    // The functions a name given by a user stands for: a symbol's own name, its demangled name, or that
    // name up to its parameter list ("onewire_Write" for "onewire_Write(unsigned char)"). Several for
    // overloads; none for a name the image does not have.
    std::vector<int> named(const std::string& name) const;

    const std::string& name(int function) const;
    uint32_t start(int function) const { return functions_[static_cast<size_t>(function)].start; }
    size_t size() const { return functions_.size(); }

private:
    struct Function {
        uint32_t start = 0;
        uint32_t end = 0;                  // one past its last byte
        std::string name;                  // demangled
        std::vector<std::string> symbols;  // every symbol at its address, as the table has them
    };
    std::vector<Function> functions_;  // by start
};

}  // namespace sim::cpu
