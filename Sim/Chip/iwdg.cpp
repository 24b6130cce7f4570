#include "iwdg.h"

#include <stdexcept>
#include <string>

namespace sim {

using namespace iwdg_reg;

Iwdg::Iwdg(ChipContext& chip, const soc::Block& block, uint32_t lsi_hz)
    : Peripheral(block),
      chip_(chip),
      lsi_hz_(lsi_hz),
      regs_(*this, *this, register_table(), chip.log()),
      expiry_timer_(chip.scheduler(),
                    [this](Picos) {
                        if (timeout_) timeout_();
                    }),
      prescaler_update_(chip.scheduler(), [this](Picos) { update_crossed(kPvu); }),
      reload_update_(chip.scheduler(), [this](Picos) { update_crossed(kRvu); })
{
    if (lsi_hz < kLsiMinHz || lsi_hz > kLsiMaxHz)
        throw std::invalid_argument("the LSI runs at 17 to 47 kHz, not " + std::to_string(lsi_hz) + " Hz");
}

void Iwdg::reset()
{
    expiry_timer_.cancel();
    prescaler_update_.cancel();
    reload_update_.cancel();
    regs_.reset();
    unlocked_ = started_ = frozen_ = false;
    remaining_ = 0;
    prescaler_ = 0;
    reload_ = kRlrReset;
}

std::span<const Register<Iwdg>> Iwdg::register_table()
{
    using I = Iwdg;
    static constexpr Register<I> kTable[] = {
        {.offset = kKr,
         .name = "KR",
         .writable = 0,
         .on_read = [](I&, unsigned) { return 0U; },
         .on_write = [](I& w, unsigned, uint32_t value, uint32_t) { w.key_written(value & 0xFFFFU); }},
        {.offset = kPr,
         .name = "PR",
         .writable = 0,
         .on_write = [](I& w, unsigned, uint32_t value,
                        uint32_t before) { w.config_written(kPvu, kPr, value & 7U, before); }},
        {.offset = kRlr,
         .name = "RLR",
         .reset = kRlrReset,
         .writable = 0,
         .on_write = [](I& w, unsigned, uint32_t value,
                        uint32_t before) { w.config_written(kRvu, kRlr, value & 0xFFFU, before); }},
        {.offset = kSr, .name = "SR", .writable = 0},
    };
    return kTable;
}

void Iwdg::key_written(uint32_t key)
{
    unlocked_ = key == kKeyUnlock;
    if (key == kKeyReload) {
        if (started_) reload();
    } else if (key == kKeyStart && !started_) {
        // Starting forces the LSI on; updates waiting for it cross from now.
        started_ = true;
        reload();
        arm_updates();
    }
}

void Iwdg::config_written(uint32_t flag, uint32_t offset, uint32_t value, uint32_t before)
{
    uint32_t& stored = regs_.at(offset);
    if (!unlocked_) {
        stored = before;
        chip_.log().line("IWDG: write to " + std::string(offset == kPr ? "PR" : "RLR") +
                         " without the key 0x5555 ignored");
        return;
    }
    stored = value;
    regs_.at(kSr) |= flag;
    (flag == kPvu ? prescaler_update_ : reload_update_).cancel();
    arm_updates();
}

void Iwdg::arm_updates()
{
    if (!lsi_runs()) return;
    const Picos at = chip_.now() + kUpdatePeriods * lsi_period();
    const uint32_t sr = regs_.at(kSr);
    if ((sr & kPvu) && !prescaler_update_.armed()) prescaler_update_.arm_at(at);
    if ((sr & kRvu) && !reload_update_.armed()) reload_update_.arm_at(at);
}

void Iwdg::update_crossed(uint32_t flag)
{
    regs_.at(kSr) &= ~flag;
    if (flag == kRvu) {
        reload_ = regs_.at(kRlr);
        return;
    }
    // A new prescaler: the ticks left are counted at the new rate from here on.
    const uint32_t old_prescaler = prescaler_;
    prescaler_ = regs_.at(kPr);
    if (!started_ || frozen_ || prescaler_ == old_prescaler) return;
    const Picos old_tick = lsi_period() * (4U << old_prescaler);
    const Picos left = expiry_timer_.due() - chip_.now();
    const Picos ticks_left = (left + old_tick - 1) / old_tick;
    expiry_timer_.arm_at(chip_.now() + ticks_left * tick());
}

Picos Iwdg::timeout() const
{
    return static_cast<Picos>(reload_ + 1U) * tick();
}

void Iwdg::reload()
{
    if (frozen_) {
        remaining_ = timeout();
        return;
    }
    expiry_timer_.arm_at(chip_.now() + timeout());
}

void Iwdg::set_frozen(bool frozen)
{
    if (frozen == frozen_) return;
    frozen_ = frozen;
    if (!started_) return;
    if (frozen) {
        remaining_ = expiry_timer_.due() - chip_.now();
        expiry_timer_.cancel();
    } else {
        expiry_timer_.arm_at(chip_.now() + remaining_);
    }
}

// ---------------------------------------------------------------------------------------------------

DbgMcu::DbgMcu(ChipContext& chip, const soc::Block& block)
    : Peripheral(block), regs_(*this, *this, register_table(), chip.log())
{}

void DbgMcu::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
    if (listener_) listener_();
}

std::span<const Register<DbgMcu>> DbgMcu::register_table()
{
    static constexpr Register<DbgMcu> kTable[] = {
        {.offset = 0x00, .name = "IDCODE", .reset = kIdcode, .writable = 0},
        {.offset = 0x04, .name = "CR", .writable = 0x7U},
        {.offset = kApb1Fz, .name = "APB1_FZ", .writable = 0x00E01DFFU},
        {.offset = 0x0C, .name = "APB2_FZ", .writable = 0x00070001U},
    };
    return kTable;
}

}  // namespace sim
