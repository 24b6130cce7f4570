// The independent watchdog (IWDG, 0x40003000): a 12-bit down-counter clocked by the LSI through a
// prescaler of 4 to 256, which resets the chip when it reaches zero. The firmware starts it (KR 0xCCCC;
// once started nothing but a reset stops it), reloads it from RLR (KR 0xAAAA) before it runs out, and
// may change PR and RLR only after KR 0x5555 (any other key locks them again).
//
// PR and RLR live in the LSI's clock domain: a write takes five LSI periods to cross (156 us at 32 kHz),
// and SR's PVU or RVU stays set until it has; meanwhile the counter goes on with the old value (a
// reload in that window loads the old RLR). With the LSI stopped (the watchdog not started and RCC's
// LSION clear) the update does not cross at all and the flag stays set.
//
// The LSI is an RC oscillator: 32 kHz typical, 17 to 47 kHz over parts and temperature, so a timeout is
// (RLR + 1) x 4 x 2^PR / f_LSI, between 0.68 and 1.9 times its typical figure. The chip is built with its
// frequency (ChipConfig::lsi_hz). While a debugger halts the core and DBGMCU_APB1_FZ's DBG_IWDG_STOP is
// set, the counter stands still (set_frozen()).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "chip_context.h"
#include "peripheral.h"
#include "timer.h"

namespace sim {

namespace iwdg_reg {
inline constexpr uint32_t kKr = 0x00, kPr = 0x04, kRlr = 0x08, kSr = 0x0C;
inline constexpr uint32_t kKeyUnlock = 0x5555U, kKeyReload = 0xAAAAU, kKeyStart = 0xCCCCU;
inline constexpr uint32_t kPvu = 1U << 0, kRvu = 1U << 1;
inline constexpr uint32_t kRlrReset = 0xFFFU;
}  // namespace iwdg_reg

class Iwdg : public Peripheral {
public:
    static constexpr uint32_t kLsiTypicalHz = 32'000;
    static constexpr uint32_t kLsiMinHz = 17'000;
    static constexpr uint32_t kLsiMaxHz = 47'000;
    // LSI periods for a write of PR or RLR to reach the counter's domain.
    static constexpr uint32_t kUpdatePeriods = 5;

    Iwdg(ChipContext& chip, const soc::Block& block, uint32_t lsi_hz);
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override { regs_.write(offset, value, width); }
    // Stopped, PR 0 and RLR 0xFFF, unlocked keys forgotten.
    void reset() override;

    // Wiring: called when the counter reaches zero (the chip resets); whether the LSI runs for another
    // reason than the watchdog (RCC_CSR's LSION).
    void on_timeout(std::function<void()> action) { timeout_ = std::move(action); }
    void set_lsi_requested(std::function<bool()> lsion) { lsion_ = std::move(lsion); }
    // The counter stands still while frozen (a debugger halts the core, DBG_IWDG_STOP set).
    void set_frozen(bool frozen);

    bool started() const { return started_; }
    bool running() const { return started_ && !frozen_; }
    uint32_t lsi_hz() const { return lsi_hz_; }
    // When the counter reaches zero at the present rate; kNever when stopped or frozen.
    Picos expires_at() const { return expiry_timer_.due(); }
    // The timeout a reload gives now: (RLR + 1) counter ticks at the prescaler in force.
    Picos timeout() const;

private:
    static std::span<const Register<Iwdg>> register_table();
    void key_written(uint32_t key);
    void config_written(uint32_t flag, uint32_t offset, uint32_t value, uint32_t before);
    void update_crossed(uint32_t flag);
    void arm_updates();
    bool lsi_runs() const { return started_ || (lsion_ && lsion_()); }
    Picos lsi_period() const { return kPicosPerSecond / lsi_hz_; }
    Picos tick() const { return lsi_period() * (4U << prescaler_); }
    // Counts from `reload_` anew, now.
    void reload();

    ChipContext& chip_;
    uint32_t lsi_hz_;
    RegisterMap<Iwdg> regs_;
    bool unlocked_ = false;
    bool started_ = false;
    bool frozen_ = false;
    Picos remaining_ = 0;  // while frozen: the time left to zero
    // The values in force in the counter's domain (PR and RLR as they were once their write crossed).
    uint32_t prescaler_ = 0;
    uint32_t reload_ = iwdg_reg::kRlrReset;
    Timer expiry_timer_;
    Timer prescaler_update_;
    Timer reload_update_;
    std::function<void()> timeout_;
    std::function<bool()> lsion_;
};

// The MCU's debug support (DBGMCU, 0xE0042000): its ID code, the low-power debug bits and the freeze
// bits that stop peripherals' counters while a debugger holds the core halted. Reset by a power-on
// only: a system reset leaves what the debugger set.
class DbgMcu : public Peripheral {
public:
    static constexpr uint32_t kIdcode = 0x10006431U;  // revision A, device 0x431 (STM32F411)
    static constexpr uint32_t kApb1Fz = 0x08;
    static constexpr uint32_t kDbgIwdgStop = 1U << 12;

    DbgMcu(ChipContext& chip, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset() override {}
    void power_on_reset() override { regs_.reset(); }

    bool iwdg_stop() const { return regs_.at(kApb1Fz) & kDbgIwdgStop; }
    void on_change(std::function<void()> listener) { listener_ = std::move(listener); }

private:
    static std::span<const Register<DbgMcu>> register_table();
    RegisterMap<DbgMcu> regs_;
    std::function<void()> listener_;
};

}  // namespace sim
