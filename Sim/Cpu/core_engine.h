// The Unicorn engine set up as the STM32F411's Cortex-M4: flash (and its alias at 0), RAM and the
// exception entry stub as the engine's own memory, the peripheral region and the core's private bus as
// callbacks, and the engine's reports (block starts, its exceptions, invalid accesses) and bus accesses
// routed to whoever runs the engine now: the run's own parts, or a probe trying a loop's iteration
// ahead of time (CoreEngine::Reroute), so that no callback has to ask which of the two it serves.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <vector>

#include "elf_image.h"
#include "memory_map.h"

namespace sim::cpu {

// What the engine reports while it runs.
class EngineEvents {
public:
    // A block of `size` bytes at `address` is about to run.
    virtual void on_block(uint32_t address, uint32_t size) = 0;
    // One of the engine's own exceptions (its numbers in faults.h).
    virtual void on_interrupt(uint32_t number) = 0;
    // A fetch, read or write that the memory map does not allow; returning false stops the engine.
    virtual bool on_invalid_access(bool write, bool fetch, uint32_t address, unsigned size) = 0;

protected:
    ~EngineEvents() = default;
};

// Where the core's loads and stores of peripheral and core registers go.
class EngineBus {
public:
    virtual uint64_t on_bus_read(uint32_t address, unsigned size) = 0;
    virtual void on_bus_write(uint32_t address, unsigned size, uint32_t value) = 0;

protected:
    ~EngineBus() = default;
};

class CoreEngine {
public:
    // The engine stops on reaching this address; code never runs there.
    static constexpr uint64_t kNoExit = 0xFFFFFFFEU;

    // Programs `image` into flash (the rest erased, 0xFF) and maps the memories. Throws
    // std::runtime_error when the image does not fit the chip's flash or the engine cannot start.
    explicit CoreEngine(const ElfImage& image);
    ~CoreEngine();
    CoreEngine(const CoreEngine&) = delete;
    CoreEngine& operator=(const CoreEngine&) = delete;

    // Where the engine's reports and bus accesses go; set before the first start.
    void route(EngineEvents& events, EngineBus& bus)
    {
        events_ = &events;
        bus_ = &bus;
    }
    // Routes them elsewhere while it lives, and back to where they went before.
    class Reroute {
    public:
        Reroute(CoreEngine& engine, EngineEvents& events, EngineBus& bus)
            : engine_(engine), events_(engine.events_), bus_(engine.bus_)
        {
            engine.route(events, bus);
        }
        ~Reroute() { engine_.route(*events_, *bus_); }
        Reroute(const Reroute&) = delete;
        Reroute& operator=(const Reroute&) = delete;

    private:
        CoreEngine& engine_;
        EngineEvents* events_;
        EngineBus* bus_;
    };

    // Runs from `pc` (the Thumb bit is added) until stopped, or for `count` instructions when not 0, or
    // until the core reaches `until` (which may lie inside a block translated before: the engine stops
    // there all the same).
    uc_err start(uint32_t pc, size_t count = 0, uint64_t until = kNoExit)
    {
        return uc_emu_start(uc_, pc | 1U, until, 0, count);
    }
    // Asked from a callback, the engine stops before the next block.
    void stop() { uc_emu_stop(uc_); }
    // Forgets the translated code around [begin, end): a stop address (`until`) inside a block translated
    // before is not seen until the block is translated again. Asked twice: in 2.0.1 the first request
    // after a run can leave the block in place (measured: a run from a block's start with a stop
    // address at its third instruction ran through it after one request, stopped there after two).
    void drop_translation(uint32_t begin, uint32_t end)
    {
        uc_ctl_remove_cache(uc_, begin, end);
        uc_ctl_remove_cache(uc_, begin, end);
    }
    // Forgets every translated block. A stop address inside a block is not always seen after
    // drop_translation() in 2.0.1 (measured in the node's polled transmit: the block of the count's
    // decrement, entered by a branch from the DR write's block, ran through a stop at its third
    // instruction after four requests, and stopped there after a flush).
    void drop_all_translations() { uc_ctl(uc_, UC_CTL_WRITE(UC_CTL_TB_FLUSH, 0)); }
    uc_engine* uc() const { return uc_; }

    // A core register by the engine's number (UC_ARM_REG_*).
    uint32_t reg(int uc_register) const
    {
        uint32_t value = 0;
        uc_reg_read(uc_, uc_register, &value);
        return value;
    }
    void set_reg(int uc_register, uint32_t value) { uc_reg_write(uc_, uc_register, &value); }

    // Flash, RAM and the stub as the core sees them: `size` bytes at `address`, or nullptr outside them.
    uint8_t* at(uint32_t address, uint32_t size) const { return memory_.at(address, size); }
    const CoreMemory& memory() const { return memory_; }
    uint32_t flash_word(uint32_t offset) const;
    void clear_ram();

private:
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> stub_;
    CoreMemory memory_;
    uc_engine* uc_ = nullptr;
    EngineEvents* events_ = nullptr;
    EngineBus* bus_ = nullptr;

    friend struct EngineCallbacks;
};

}  // namespace sim::cpu
