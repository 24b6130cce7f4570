// Base of every register-level model: a block of registers at the chip's bus address, with a read and
// a write handler that switch on the offset, and a reset to the reference manual's reset values.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

class Peripheral {
public:
    Peripheral(std::string name, uint32_t base, uint32_t size) : name_(std::move(name)), base_(base), size_(size) {}
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, uint32_t value, unsigned width) = 0;

    // A register whose value moves on with time itself (a cycle counter, a timer's CNT) rather than only
    // at scheduled events; a wait polling it is accelerated by a bounded stride instead of a jump.
    virtual bool free_running(uint32_t /*offset*/) const { return false; }

    const std::string& name() const { return name_; }
    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }

private:
    std::string name_;
    uint32_t base_;
    uint32_t size_;
};

}  // namespace sim
