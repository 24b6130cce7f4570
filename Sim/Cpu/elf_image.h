// A flashable image as the programmer writes it: the bytes of each loadable segment at its physical
// (load) address, and the symbol table for whoever wants to name an address (tests, the debugger).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::cpu {

// A function of the image's symbol table: where its code starts (the Thumb bit cleared) and how many
// bytes it spans (0 when the assembler gave it no size).
struct ElfFunction {
    std::string name;
    uint32_t address = 0;
    uint32_t size = 0;
    bool global = false;  // a global or weak symbol (a name other files link against), not a local one
    bool weak = false;
};

struct LoadSegment {
    uint32_t address = 0;  // physical address: where the flash programmer puts the bytes
    std::vector<uint8_t> bytes;
};

class ElfImage {
public:
    // Reads a 32-bit little-endian ARM executable; throws std::runtime_error naming the file and what is
    // wrong with it.
    static ElfImage load(const std::string& path);
    static ElfImage parse(const std::vector<uint8_t>& file, const std::string& name);

    const std::vector<LoadSegment>& segments() const { return segments_; }
    uint32_t entry() const { return entry_; }
    // A symbol's value (for a Thumb function, with bit 0 set as the symbol table holds it).
    std::optional<uint32_t> symbol(const std::string& name) const;
    // The function symbols, in the symbol table's order (several names may share an address: a weak
    // handler and its aliases).
    const std::vector<ElfFunction>& functions() const { return functions_; }
    // Its size in bytes as the symbol table gives it (a function's code with its literal pool).
    std::optional<uint32_t> symbol_size(const std::string& name) const;

private:
    std::vector<LoadSegment> segments_;
    std::map<std::string, uint32_t> symbols_;
    std::vector<ElfFunction> functions_;
    std::map<std::string, uint32_t> sizes_;
    uint32_t entry_ = 0;
};

}  // namespace sim::cpu
