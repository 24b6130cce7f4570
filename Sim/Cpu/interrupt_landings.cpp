#include "interrupt_landings.h"

#include <cstdio>
#include <fstream>

namespace sim::cpu {

bool InterruptLandings::write(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    char line[16];
    for (uint32_t address : addresses_) {
        std::snprintf(line, sizeof line, "0x%08x\n", static_cast<unsigned>(address));
        out << line;
    }
    out.flush();
    return out.good();
}

std::set<uint32_t> InterruptLandings::read(const std::string& path)
{
    std::set<uint32_t> addresses;
    std::ifstream in(path);
    std::string text;
    while (in >> text) {
        try {
            addresses.insert(static_cast<uint32_t>(std::stoul(text, nullptr, 16)));
        } catch (const std::exception&) {
            break;
        }
    }
    return addresses;
}

}  // namespace sim::cpu
