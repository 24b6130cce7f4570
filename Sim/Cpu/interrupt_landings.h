// Where interrupts land: the instruction boundaries (the stacked return address) at which the core
// took SysTick or an interrupt line (exception number 15 or more: what the code does not ask for itself,
// unlike a fault, SVCall or PendSV). The timing sweep asks for it to count how many boundaries of a
// window its placements reached.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "sim_time.h"

namespace sim::cpu {

class InterruptLandings {
public:
    // Only interrupts taken at or after `from` are kept (a branched run: those after its branch moment).
    explicit InterruptLandings(Picos from = 0) : from_(from) {}

    void record(int exception, uint32_t return_address, Picos now)
    {
        if (exception >= kFirstInterrupt && now >= from_) addresses_.insert(return_address & ~1U);
    }
    const std::set<uint32_t>& addresses() const { return addresses_; }

    // One address a line, "0x08001234", in rising order; false when the file cannot be written.
    bool write(const std::string& path) const;
    // The addresses of such a file; empty when there is none.
    static std::set<uint32_t> read(const std::string& path);

private:
    static constexpr int kFirstInterrupt = 15;  // SysTick
    Picos from_;
    std::set<uint32_t> addresses_;
};

}  // namespace sim::cpu
