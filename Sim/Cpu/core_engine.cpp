#include "core_engine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core_frame.h"
#include "hex_text.h"

namespace sim::cpu {

namespace {

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK) throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(err));
}

}  // namespace

// The engine's C callbacks, each handing over to whoever the engine is routed to now.
struct EngineCallbacks {
    static CoreEngine& engine(void* user) { return *static_cast<CoreEngine*>(user); }

    static void block(uc_engine*, uint64_t address, uint32_t size, void* user)
    {
        engine(user).events_->on_block(static_cast<uint32_t>(address), size);
    }

    static void interrupt(uc_engine*, uint32_t number, void* user) { engine(user).events_->on_interrupt(number); }

    static bool invalid_access(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user)
    {
        bool write = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
        bool fetch = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT;
        return engine(user).events_->on_invalid_access(write, fetch, static_cast<uint32_t>(address),
                                                       static_cast<unsigned>(size));
    }

    template <uint32_t Base>
    static uint64_t bus_read(uc_engine*, uint64_t offset, unsigned size, void* user)
    {
        return engine(user).bus_->on_bus_read(Base + static_cast<uint32_t>(offset), size);
    }

    template <uint32_t Base>
    static void bus_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user)
    {
        engine(user).bus_->on_bus_write(Base + static_cast<uint32_t>(offset), size, static_cast<uint32_t>(value));
    }
};

CoreEngine::CoreEngine(const ElfImage& image)
    : flash_(kFlashSize, 0xFF),
      ram_(kRamSize, 0),
      stub_(kStubSize, 0),
      memory_(flash_.data(), ram_.data(), stub_.data())
{
    for (const LoadSegment& segment : image.segments()) {
        if (!in_range(segment.address, kFlashBase, kFlashSize) ||
            segment.bytes.size() > kFlashBase + kFlashSize - segment.address)
            throw std::runtime_error("the image's segment at " + hex_text(segment.address) + " (" +
                                     std::to_string(segment.bytes.size()) + " bytes) lies outside the chip's flash");
        std::memcpy(flash_.data() + (segment.address - kFlashBase), segment.bytes.data(), segment.bytes.size());
    }
    // Exception entry goes through this stub: `clrex`, as every exception entry clears the exclusive
    // monitor (a STREX after it fails, and its loop retries); `cpsie f` changes nothing (FAULTMASK is 0
    // wherever an exception can be taken) but makes the engine re-derive handler mode from IPSR, so that
    // the handler's return to an EXC_RETURN value arrives as an exception exit; then `bx r12` to the
    // handler.
    const uint16_t stub[] = {0xF3BF, 0x8F2F, 0xB661, 0x4760};
    std::memcpy(stub_.data(), stub, sizeof stub);

    check(uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_), "open");
    try {
        // UC_MODE_MCLASS would make it a Cortex-M33 whatever the model; Thumb mode and the model do it.
        check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M4), "select the Cortex-M4");
        check(uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()), "map flash");
        check(uc_mem_map_ptr(uc_, kFlashAlias, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()),
              "map the flash alias");
        check(uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, ram_.data()), "map RAM");
        check(uc_mem_map_ptr(uc_, kStubBase, kStubSize, UC_PROT_READ | UC_PROT_EXEC, stub_.data()), "map the stub");
        check(uc_mmio_map(uc_, kPeripheralBase, kPeripheralSize, EngineCallbacks::bus_read<kPeripheralBase>, this,
                          EngineCallbacks::bus_write<kPeripheralBase>, this),
              "map the peripherals");
        check(uc_mmio_map(uc_, kPrivateBusBase, kPrivateBusSize, EngineCallbacks::bus_read<kPrivateBusBase>, this,
                          EngineCallbacks::bus_write<kPrivateBusBase>, this),
              "map the private peripheral bus");
        uc_hook hook;
        check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(EngineCallbacks::block), this, 1, 0),
              "block hook");
        check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(EngineCallbacks::interrupt), this, 1, 0),
              "interrupt hook");
        check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(EngineCallbacks::invalid_access),
                          this, 1, 0),
              "invalid access hook");
    } catch (...) {
        uc_close(uc_);
        throw;
    }
}

CoreEngine::~CoreEngine()
{
    uc_close(uc_);
}

uint32_t CoreEngine::flash_word(uint32_t offset) const
{
    return word_at(flash_.data() + offset);
}

void CoreEngine::clear_ram()
{
    std::fill(ram_.begin(), ram_.end(), 0);
}

}  // namespace sim::cpu
