// Records every register write the firmware makes, in order, while passing all accesses on to the
// simulated chip. Installed for its lifetime; the chip is the bus again afterwards.
#pragma once

#include <cstdint>
#include <vector>

#include "chip.h"
#include "device_register.h"

namespace test {

class BusSpy final : public device::Bus {
public:
    struct Write {
        uint32_t address;
        uint32_t value;
        bool operator==(const Write&) const = default;
    };

    explicit BusSpy(sim::Chip& chip) : chip_(chip) { device::install_bus(this); }
    ~BusSpy() { device::install_bus(&chip_); }
    BusSpy(const BusSpy&) = delete;
    BusSpy& operator=(const BusSpy&) = delete;

    const std::vector<Write>& writes() const { return writes_; }
    // The offsets (from `base`) of the writes made to the block at `base`, in order.
    std::vector<uint32_t> offsets_written(uint32_t base, uint32_t size = 0x400) const
    {
        std::vector<uint32_t> offsets;
        for (const Write& w : writes_)
            if (w.address - base < size) offsets.push_back(w.address - base);
        return offsets;
    }
    void clear() { writes_.clear(); }

    uint32_t read(uint32_t address, unsigned width) override { return chip_.read(address, width); }
    void write(uint32_t address, uint32_t value, unsigned width) override
    {
        writes_.push_back({address, value});
        chip_.write(address, value, width);
    }
    void nop() override { chip_.nop(); }
    void set_primask(bool masked) override { chip_.set_primask(masked); }
    uint32_t load_exclusive(uint32_t address) override { return chip_.load_exclusive(address); }
    bool store_exclusive(uint32_t address, uint32_t value) override
    {
        writes_.push_back({address, value});
        return chip_.store_exclusive(address, value);
    }
    void barrier() override { chip_.barrier(); }

private:
    sim::Chip& chip_;
    std::vector<Write> writes_;
};

}  // namespace test
