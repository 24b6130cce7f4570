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
    // Whether `address` (flash, not its alias) lies in `function`'s code: the look-up's short cut.
    bool holds(int function, uint32_t address) const
    {
        if (function == kNone) return false;
        const Function& f = functions_[static_cast<size_t>(function)];
        return address >= f.start && address < f.owned_end;
    }
    size_t size() const { return functions_.size(); }

private:
    struct Function {
        uint32_t start = 0;
        uint32_t end = 0;  // one past its last byte
        // The same, or the next function's start if that comes first: what a look-up names it for (the C
        // library's routines overlap: __aeabi_dsub runs on into __adddf3).
        uint32_t owned_end = 0;
        std::string name;                  // demangled
        std::vector<std::string> symbols;  // every symbol at its address, as the table has them
    };
    std::vector<Function> functions_;  // by start
};

}  // namespace sim::cpu
