#include "rcc.h"

#include "hex_text.h"

namespace sim {

namespace {

// CR bits.
constexpr uint32_t kHsiOn = 1U << 0;
constexpr uint32_t kHsiRdy = 1U << 1;
constexpr uint32_t kHsiTrim = 0x1FU << 3;
constexpr uint32_t kHseOn = 1U << 16;
constexpr uint32_t kHseRdy = 1U << 17;
constexpr uint32_t kHseByp = 1U << 18;
constexpr uint32_t kCssOn = 1U << 19;
constexpr uint32_t kPllOn = 1U << 24;
constexpr uint32_t kPllRdy = 1U << 25;
constexpr uint32_t kPllI2sOn = 1U << 26;
constexpr uint32_t kCrWritable = kHsiOn | kHsiTrim | kHseOn | kHseByp | kCssOn | kPllOn | kPllI2sOn;
constexpr uint32_t kPllSrcHse = 1U << 22;

// Reset values of the reference manual: HSI on and ready with its trim at the centre (16); the PLL
// configured for HSI / 16 * 192 / 2 but off; SYSCLK from HSI with every prescaler at 1.
constexpr uint32_t kCrReset = kHsiOn | kHsiRdy | (16U << 3);
constexpr uint32_t kPllcfgrReset = 0x24003010U;

// Right shift of the AHB prescaler code (HPRE: 0xxx /1, 1000 /2 ... 1111 /512) and of the APB ones
// (PPRE: 0xx /1, 100 /2 ... 111 /16).
constexpr uint32_t kAhbShift[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
constexpr uint32_t kApbShift[8] = {0, 0, 0, 0, 1, 2, 3, 4};

}  // namespace

Rcc::Rcc(ChipContext& chip, const soc::Block& block, bool crystal_present)
    : Peripheral(block),
      chip_(chip),
      crystal_present_(crystal_present),
      regs_(*this, *this, register_table(), chip.log()),
      cr_(regs_.at(0x00)),
      pllcfgr_(regs_.at(0x04)),
      cfgr_(regs_.at(0x08)),
      hsi_ready_timer_(chip.scheduler(), [this](Picos) { set_ready(kHsiRdy); }),
      hse_ready_timer_(chip.scheduler(), [this](Picos) { set_ready(kHseRdy); }),
      pll_lock_timer_(chip.scheduler(), [this](Picos) { set_ready(kPllRdy); }),
      switch_timer_(chip.scheduler(), [this](Picos) { finish_switch(); }),
      lsi_ready_timer_(chip.scheduler(), [this](Picos) { regs_.at(0x74) |= rcc_csr::kLsiRdy; })
{
    reset();
}

void Rcc::reset()
{
    hsi_ready_timer_.cancel();
    hse_ready_timer_.cancel();
    pll_lock_timer_.cancel();
    switch_timer_.cancel();
    lsi_ready_timer_.cancel();
    regs_.reset();
    bypass_logged_ = false;
    publish_clocks();
}

uint32_t Rcc::reset_flags() const
{
    return stored(0x74) & rcc_csr::kResetFlags;
}

void Rcc::set_reset_flags(uint32_t flags)
{
    uint32_t& csr = regs_.at(0x74);
    csr = (csr & ~rcc_csr::kResetFlags) | (flags & rcc_csr::kResetFlags);
}

void Rcc::write_csr(uint32_t value)
{
    uint32_t& csr = regs_.at(0x74);
    if (value & rcc_csr::kRmvf) csr &= ~rcc_csr::kResetFlags;
    if (!(csr & rcc_csr::kLsiOn)) {
        lsi_ready_timer_.cancel();
        csr &= ~rcc_csr::kLsiRdy;
    } else if (!(csr & rcc_csr::kLsiRdy) && !lsi_ready_timer_.armed()) {
        lsi_ready_timer_.arm_at(chip_.now() + kLsiStartup);
    }
}

void Rcc::set_ready(uint32_t ready_flag)
{
    cr_ |= ready_flag;
    refresh();
}

std::span<const Register<Rcc>> Rcc::register_table()
{
    static constexpr Register<Rcc> kTable[] = {
        {.offset = 0x00,
         .name = "CR",
         .reset = kCrReset,
         .writable = 0,
         .on_write = [](Rcc& r, unsigned, uint32_t value, uint32_t) { r.write_cr(value); }},
        {.offset = 0x04,
         .name = "PLLCFGR",
         .reset = kPllcfgrReset,
         .writable = 0,
         .on_write = [](Rcc& r, unsigned, uint32_t value, uint32_t) { r.write_pllcfgr(value); }},
        {.offset = 0x08,
         .name = "CFGR",
         .writable = 0,
         .on_write = [](Rcc& r, unsigned, uint32_t value, uint32_t) { r.write_cfgr(value); }},
        // Kept as written, with their reset values: the reset, enable and low-power enable registers,
        // CSR with the power-on and pin reset flags set, and the rest of the clock control block.
        {.offset = 0x0C, .name = "CIR"},
        {.offset = 0x10, .name = "AHB1RSTR"},
        {.offset = 0x14, .name = "AHB2RSTR"},
        {.offset = 0x20, .name = "APB1RSTR"},
        {.offset = 0x24, .name = "APB2RSTR"},
        {.offset = 0x30, .name = "AHB1ENR"},
        {.offset = 0x34, .name = "AHB2ENR"},
        {.offset = 0x40, .name = "APB1ENR"},
        {.offset = 0x44, .name = "APB2ENR"},
        {.offset = 0x50, .name = "AHB1LPENR", .reset = 0x0061900FU},
        {.offset = 0x54, .name = "AHB2LPENR", .reset = 0x00000080U},
        {.offset = 0x60, .name = "APB1LPENR", .reset = 0x10E2C80FU},
        {.offset = 0x64, .name = "APB2LPENR", .reset = 0x00077930U},
        {.offset = 0x70, .name = "BDCR"},
        // CSR: LSION starts the LSI, whose LSIRDY follows; RMVF (reads 0) clears the reset flags, which
        // only a reset sets (Chip::reset, through set_reset_flags()).
        {.offset = 0x74,
         .name = "CSR",
         .reset = rcc_csr::kPorRstf | rcc_csr::kBorRstf | rcc_csr::kPinRstf,
         .writable = rcc_csr::kLsiOn,
         .on_write = [](Rcc& r, unsigned, uint32_t value, uint32_t) { r.write_csr(value); }},
        {.offset = 0x80, .name = "SSCGR"},
        {.offset = 0x84, .name = "PLLI2SCFGR", .reset = 0x24003000U},
        {.offset = 0x8C, .name = "DCKCFGR"},
    };
    return kTable;
}

uint32_t Rcc::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void Rcc::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
}

// The PLL takes its configuration when it starts; the reference manual allows writes only while it is off.
void Rcc::write_pllcfgr(uint32_t value)
{
    if (cr_ & kPllOn) {
        chip_.log().line("RCC: PLLCFGR write of " + hex_text(value) + " while the PLL is on, ignored");
        return;
    }
    pllcfgr_ = value;
    refresh();
}

void Rcc::write_cr(uint32_t value)
{
    uint32_t next = (cr_ & ~kCrWritable) | (value & kCrWritable);
    // HSEBYP can change only while the oscillator is off.
    if ((cr_ & kHseOn) && ((next ^ cr_) & kHseByp)) {
        chip_.log().line("RCC: HSEBYP changed while HSEON is set, ignored");
        next = (next & ~kHseByp) | (cr_ & kHseByp);
    }
    // The hardware keeps the clocks the system runs on going, directly or through the PLL.
    if (runs_on_hsi() && !(next & kHsiOn)) next |= kHsiOn;
    if (runs_on_hse() && !(next & kHseOn)) {
        chip_.log().line("RCC: HSEON cannot be cleared while the system clock depends on HSE");
        next |= kHseOn;
    }
    if (sws() == kPll && !(next & kPllOn)) {
        chip_.log().line("RCC: PLLON cannot be cleared while the PLL is the system clock");
        next |= kPllOn;
    }
    if ((next & kPllI2sOn) && !(cr_ & kPllI2sOn)) chip_.log().line("RCC: the I2S PLL is not modelled");
    cr_ = next;
    refresh();
}

void Rcc::write_cfgr(uint32_t value)
{
    const uint32_t before = cfgr_;
    cfgr_ = (value & ~0xCU) | (cfgr_ & 0xCU);  // SWS is read-only
    if (sw() == kNone && (before & 3U) != kNone) chip_.log().line("RCC: SW = 3 selects no clock; the switch stays");
    refresh();
    // The prescalers act at once; a new SYSCLK source only when SWS follows (refresh_switch).
    if ((before ^ cfgr_) & 0xFCF0U) publish_clocks();
}

// ---------------------------------------------------------------------------------------------------
// Oscillators, PLL, switch.

bool Rcc::runs_on_hsi() const
{
    return sws() == kHsi || (sws() == kPll && !(pllcfgr_ & kPllSrcHse));
}
bool Rcc::runs_on_hse() const
{
    return sws() == kHse || (sws() == kPll && (pllcfgr_ & kPllSrcHse));
}

bool Rcc::pll_config_valid() const
{
    uint32_t m = pllcfgr_ & 0x3FU;
    uint32_t n = (pllcfgr_ >> 6) & 0x1FFU;
    return m >= 2 && n >= 50 && n <= 432;
}

uint32_t Rcc::pll_output_hz() const
{
    if (!pll_config_valid()) return 0;
    uint64_t input = (pllcfgr_ & kPllSrcHse) ? kHseHz : kHsiHz;
    uint64_t m = pllcfgr_ & 0x3FU;
    uint64_t n = (pllcfgr_ >> 6) & 0x1FFU;
    uint64_t p = (((pllcfgr_ >> 16) & 3U) + 1U) * 2U;
    return static_cast<uint32_t>(input * n / m / p);
}

bool Rcc::source_ready(uint32_t source) const
{
    switch (source) {
        case kHsi:
            return cr_ & kHsiRdy;
        case kHse:
            return cr_ & kHseRdy;
        case kPll:
            return cr_ & kPllRdy;
        default:
            return false;
    }
}

uint32_t Rcc::source_hz(uint32_t source) const
{
    switch (source) {
        case kHse:
            return kHseHz;
        case kPll:
            return pll_output_hz();
        default:
            return kHsiHz;
    }
}

void Rcc::refresh()
{
    refresh_hsi();
    refresh_hse();
    refresh_pll();
    refresh_switch();
}

void Rcc::refresh_hsi()
{
    if (!(cr_ & kHsiOn)) {
        hsi_ready_timer_.cancel();
        cr_ &= ~kHsiRdy;
        return;
    }
    if ((cr_ & kHsiRdy) || hsi_ready_timer_.armed()) return;
    hsi_ready_timer_.arm_at(chip_.now() + kHsiStartup);
}

void Rcc::refresh_hse()
{
    if (!(cr_ & kHseOn)) {
        hse_ready_timer_.cancel();
        cr_ &= ~kHseRdy;
        return;
    }
    if ((cr_ & kHseRdy) || hse_ready_timer_.armed()) return;
    if (!crystal_present_) return;  // nothing oscillates: HSERDY never comes
    if (cr_ & kHseByp) {
        // Bypass expects an external clock on OSC_IN; the board has a crystal there, which does not
        // oscillate without the chip's amplifier.
        if (!bypass_logged_) chip_.log().line("RCC: HSE bypass with a crystal fitted: no clock on OSC_IN");
        bypass_logged_ = true;
        return;
    }
    hse_ready_timer_.arm_at(chip_.now() + kHseStartup);
}

void Rcc::refresh_pll()
{
    const bool input_ready = (pllcfgr_ & kPllSrcHse) ? (cr_ & kHseRdy) : (cr_ & kHsiRdy);
    if (!(cr_ & kPllOn) || !input_ready) {
        pll_lock_timer_.cancel();
        cr_ &= ~kPllRdy;
        return;
    }
    if ((cr_ & kPllRdy) || pll_lock_timer_.armed()) return;
    if (!pll_config_valid()) {
        chip_.log().line("RCC: PLL configuration " + hex_text(pllcfgr_) +
                         " out of range (M 2..63, N 50..432): no lock");
        return;
    }
    pll_lock_timer_.arm_at(chip_.now() + kPllLock);
}

void Rcc::refresh_switch()
{
    if (sw() == sws() || !source_ready(sw())) {
        // A switch to a source that is not ready happens once it becomes ready.
        switch_timer_.cancel();
        return;
    }
    if (switch_timer_.armed()) return;
    const Picos period = period_of(chip_.clocks().now().hclk);
    switch_timer_.arm_at(chip_.now() + cycles_to_picos(kSwitchCycles, period));
}

void Rcc::finish_switch()
{
    if (sw() == sws() || !source_ready(sw())) return;
    cfgr_ = (cfgr_ & ~0xCU) | (sw() << 2);
    publish_clocks();
    refresh();
}

void Rcc::publish_clocks()
{
    Clocks clocks;
    clocks.sysclk = source_hz(sws());
    clocks.hclk = clocks.sysclk >> kAhbShift[(cfgr_ >> 4) & 0xFU];
    const uint32_t ppre1 = (cfgr_ >> 10) & 7U;
    const uint32_t ppre2 = (cfgr_ >> 13) & 7U;
    clocks.pclk1 = clocks.hclk >> kApbShift[ppre1];
    clocks.pclk2 = clocks.hclk >> kApbShift[ppre2];
    // APB1 timers get twice PCLK1 whenever the APB1 prescaler divides.
    clocks.tim_apb1 = clocks.pclk1 * (ppre1 >= 4 ? 2U : 1U);
    chip_.clocks().set(clocks);
}

}  // namespace sim
