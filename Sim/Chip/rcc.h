// Reset and clock control (0x40023800): the oscillators and their ready flags, the main PLL, the system
// clock switch and the bus prescalers, and the peripheral clock enable and reset registers.
//
// Oscillators take time to become ready, so the ready flags are scheduled events: the 16 MHz HSI within
// 4 us, the 25 MHz crystal (HSE) 1.5 ms after HSEON (never when no crystal is fitted), the PLL 0.2 ms
// after PLLON once its input runs. The switch (CFGR SW) takes effect in SWS a few cycles after the
// write, and only once the chosen source is ready. Every change of SWS or of a prescaler pushes the new
// frequencies into the chip's clock tree. The enable and reset registers are stored as written; other
// models may ask whether their clock is on.
#pragma once

#include <cstdint>
#include <span>

#include "chip_context.h"
#include "peripheral.h"
#include "reset_cause.h"
#include "timer.h"

namespace sim {

class Rcc : public Peripheral {
public:
    // Start-up figures of the STM32F411's datasheet (typical crystal start-up, worst-case PLL lock and
    // HSI start-up), and the cycles of the old clock a switch of SYSCLK takes to resynchronise.
    static constexpr Picos kHseStartup = microseconds(1500);
    static constexpr Picos kPllLock = microseconds(200);
    static constexpr Picos kHsiStartup = microseconds(4);
    static constexpr Picos kLsiStartup = microseconds(40);
    static constexpr Cycles kSwitchCycles{8};
    static constexpr uint32_t kHsiHz = 16'000'000;
    static constexpr uint32_t kHseHz = 25'000'000;

    Rcc(ChipContext& chip, const soc::Block& block, bool crystal_present);
    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset() override;

    // RCC_CSR's reset flags (bits 31:25), kept across a system reset; set by the chip's reset.
    uint32_t reset_flags() const;
    bool lsi_on() const { return stored(0x74) & rcc_csr::kLsiOn; }
    void set_reset_flags(uint32_t flags);

    uint32_t cr() const { return cr_; }
    uint32_t pllcfgr() const { return pllcfgr_; }
    uint32_t cfgr() const { return cfgr_; }
    uint32_t ahb1enr() const { return stored(0x30); }
    uint32_t apb1enr() const { return stored(0x40); }
    uint32_t apb2enr() const { return stored(0x44); }
    // The PLL's P output for the configuration in PLLCFGR, 0 if the PLL cannot lock with it.
    uint32_t pll_output_hz() const;

private:
    enum Source : uint32_t { kHsi = 0, kHse = 1, kPll = 2, kNone = 3 };

    void write_cr(uint32_t value);
    void write_cfgr(uint32_t value);
    void write_csr(uint32_t value);
    // Brings the ready flags, the PLL and the clock switch up to date after any change.
    void refresh();
    void refresh_hsi();
    void refresh_hse();
    void refresh_pll();
    void refresh_switch();
    void publish_clocks();
    uint32_t sws() const { return (cfgr_ >> 2) & 3U; }
    uint32_t sw() const { return cfgr_ & 3U; }
    bool source_ready(uint32_t source) const;
    uint32_t source_hz(uint32_t source) const;
    bool runs_on_hsi() const;
    bool runs_on_hse() const;
    bool pll_config_valid() const;
    uint32_t stored(uint32_t offset) const { return regs_.at(offset); }
    void write_pllcfgr(uint32_t value);
    static std::span<const Register<Rcc>> register_table();
    void set_ready(uint32_t ready_flag);  // an oscillator started or the PLL locked
    void finish_switch();

    ChipContext& chip_;
    bool crystal_present_;
    RegisterMap<Rcc> regs_;
    // The registers' stored words, which the map keeps; CR and CFGR are written through their hooks (the
    // ready and switch-status bits follow the oscillators, not the write).
    uint32_t &cr_, &pllcfgr_, &cfgr_;
    Timer hsi_ready_timer_;
    Timer hse_ready_timer_;
    Timer pll_lock_timer_;
    Timer switch_timer_;
    Timer lsi_ready_timer_;
    bool bypass_logged_ = false;
};

}  // namespace sim
