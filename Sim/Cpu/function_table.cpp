#include "function_table.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "memory_map.h"

namespace sim::cpu {

namespace {

std::string demangled(const std::string& symbol)
{
    int status = 0;
    char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    if (status != 0 || text == nullptr) return symbol;
    std::string name(text);
    std::free(text);
    return name;
}

// Which of two symbols at one address names the code: a global before a weak one (a handler that
// overrides the default), either before a local one, then the alphabetical first, so that the choice
// does not depend on the symbol table's order.
bool names_better(const ElfFunction& a, const ElfFunction& b)
{
    auto rank = [](const ElfFunction& f) { return f.global ? (f.weak ? 1 : 0) : 2; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    return a.name < b.name;
}

}  // namespace

FunctionTable::FunctionTable(const ElfImage& image)
{
    std::map<uint32_t, std::vector<const ElfFunction*>> by_address;
    for (const ElfFunction& f : image.functions()) by_address[f.address].push_back(&f);
    for (auto& [address, symbols] : by_address) {
        std::sort(symbols.begin(), symbols.end(),
                  [](const ElfFunction* a, const ElfFunction* b) { return names_better(*a, *b); });
        uint32_t size = 0;
        for (const ElfFunction* f : symbols) size = std::max(size, f->size);
        Function function{address, address + size, address + size, demangled(symbols.front()->name), {}};
        for (const ElfFunction* f : symbols) function.symbols.push_back(f->name);
        functions_.push_back(std::move(function));
    }
    // A function without a size (a label the assembler was not told the size of) runs to the next one.
    for (size_t i = 0; i < functions_.size(); ++i)
        if (functions_[i].end == functions_[i].start && i + 1 < functions_.size())
            functions_[i].end = functions_[i + 1].start;
    for (size_t i = 0; i < functions_.size(); ++i)
        functions_[i].owned_end =
            i + 1 < functions_.size() ? std::min(functions_[i].end, functions_[i + 1].start) : functions_[i].end;
}

int FunctionTable::at(uint32_t address) const
{
    if (address < kFlashSize) address += kFlashBase;  // the flash alias at 0
    auto after = std::upper_bound(functions_.begin(), functions_.end(), address,
                                  [](uint32_t a, const Function& f) { return a < f.start; });
    if (after == functions_.begin()) return kNone;
    const Function& f = *(after - 1);
    return address < f.end ? static_cast<int>(after - 1 - functions_.begin()) : kNone;
}

std::vector<int> FunctionTable::named(const std::string& name) const
{
    std::vector<int> found;
    for (size_t i = 0; i < functions_.size(); ++i) {
        const Function& f = functions_[i];
        bool match = false;
        for (const std::string& symbol : f.symbols) {
            const std::string plain = demangled(symbol);
            match = match || symbol == name || plain == name || plain.substr(0, plain.find('(')) == name;
        }
        if (match) found.push_back(static_cast<int>(i));
    }
    return found;
}

const std::string& FunctionTable::name(int function) const
{
    static const std::string none = "[no symbol]";
    return function == kNone ? none : functions_[static_cast<size_t>(function)].name;
}

}  // namespace sim::cpu
