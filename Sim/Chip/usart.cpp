#include "usart.h"

#include "hex_text.h"

namespace sim {

using namespace usart_reg;

namespace {

bool odd_parity(uint32_t value)
{
    bool odd = false;
    for (; value != 0; value &= value - 1) odd = !odd;
    return odd;
}

}  // namespace

Usart::Usart(ChipContext& chip, const soc::Block& block)
    : Peripheral(block),
      chip_(chip),
      irq_(block.irq()),
      on_apb2_(block.bus == soc::Bus::Apb2),
      regs_(*this, *this, register_table(), chip.log()),
      frame_timer_(chip.scheduler(), [this](Picos at) { complete_frame(at); }),
      idle_timer_(chip.scheduler(), [this](Picos) { on_idle_check(); }),
      tx_step_timer_(chip.scheduler(), [this](Picos at) { on_tx_step(at); })
{}

// The port off, TXE and TC set, nothing in flight: a character being sent is cut off where it was (the
// TX pin is back to a floating input after the reset anyway) and one being received is dropped. The
// receive line's level is the far end's and stays.
void Usart::reset()
{
    stop_receiver();
    tx_step_timer_.cancel();
    regs_.reset();
    seen_flags_ = 0;
    rdr_ = 0;
    rx_since_idle_ = false;
    tdr_ = 0;
    tdr_full_ = false;
    tx_busy_ = false;
    tx_idle_frame_ = false;
    tx_shift_ = 0;
    tx_plan_.clear();
    tx_step_ = 0;
    txe_stuck_ = false;
    if (tx_level_ != 1) set_tx_level(1, chip_.now());
    update_dma_request();
    update_irq();
}

// ---------------------------------------------------------------------------------------------------
// Registers.

std::span<const Register<Usart>> Usart::register_table()
{
    using U = Usart;
    static constexpr Register<U> kTable[] = {
        // TXE and TC set at reset. Only RXNE, TC, LBD and CTS can be cleared by software, by writing 0;
        // the error and idle flags clear by a read of SR followed by a read of DR.
        {.offset = kSr,
         .name = "SR",
         .reset = kTxe | kTc,
         .writable = 0,
         .clear_on_0 = kWriteZeroClears,
         .on_read = [](U& u, unsigned) { return u.read_status(); },
         .on_write =
             [](U& u, unsigned, uint32_t, uint32_t) {
                 u.update_dma_request();
                 u.update_irq();
             },
         .storage = &U::sr_,
         .on_peek = [](const U& u, unsigned) { return u.sr_; }},
        // Two registers at one address: reading takes the received character, writing queues one to send.
        {.offset = kDr,
         .name = "DR",
         .writable = 0,
         .on_read = [](U& u, unsigned) { return u.read_data(); },
         .on_write = [](U& u, unsigned, uint32_t value, uint32_t) { u.data_written(value); },
         .on_peek = [](const U& u, unsigned) { return uint32_t{u.rdr_}; }},
        {.offset = kBrr, .name = "BRR", .writable = 0xFFFFU, .storage = &U::brr_},
        {.offset = kCr1,
         .name = "CR1",
         .writable = 0xBFFFU,
         .on_write = [](U& u, unsigned, uint32_t, uint32_t before) { u.control1_written(before); },
         .storage = &U::cr1_},
        {.offset = kCr2, .name = "CR2", .writable = 0x7F7FU, .storage = &U::cr2_},
        {.offset = kCr3,
         .name = "CR3",
         .writable = 0x0FFFU,
         .on_write = [](U& u, unsigned, uint32_t, uint32_t) { u.control3_written(); },
         .storage = &U::cr3_},
        {.offset = kGtpr, .name = "GTPR", .writable = 0xFFFFU},
    };
    return kTable;
}

uint32_t Usart::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void Usart::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
}

uint32_t Usart::read_status()
{
    seen_flags_ = sr_ & kSequenceCleared;
    return sr_;
}

uint32_t Usart::read_data()
{
    // The read empties the receive register and completes an SR-then-DR sequence: the flags that the SR
    // read saw are cleared, not ones that came up in between.
    sr_ &= ~(kRxne | seen_flags_);
    seen_flags_ = 0;
    update_dma_request();
    update_irq();
    return rdr_;
}

void Usart::data_written(uint32_t value)
{
    if (!(cr1_ & kUe)) {
        chip_.log().line(name() + ": write to DR while the port is disabled (UE clear) is lost");
        return;
    }
    tdr_ = static_cast<uint16_t>(value & 0x1FFU);
    tdr_full_ = true;
    sr_ &= ~(kTxe | kTc);
    if (transmitter_on() && !tx_busy_) start_char(chip_.now());
    update_irq();
}

void Usart::control1_written(uint32_t before)
{
    const auto on = [](uint32_t cr1, uint32_t enable) { return (cr1 & (kUe | enable)) == (kUe | enable); };
    if (!on(before, kTe) && transmitter_on() && !tx_busy_) start_idle_frame(chip_.now());
    if (on(before, kRe) && !receiver_on()) stop_receiver();
    update_irq();
    if (control_listener_) control_listener_();
}

void Usart::control3_written()
{
    update_dma_request();
    update_irq();
    if (control_listener_) control_listener_();
}

// ---------------------------------------------------------------------------------------------------
// Shape and timing of a character.

Picos Usart::bit_time() const
{
    const Clocks& clocks = chip_.clocks().now();
    const uint64_t pclk = on_apb2_ ? clocks.pclk2 : clocks.pclk1;
    if (brr_ == 0 || pclk == 0) return 0;
    // 16-fold oversampling: a bit is 16 * USARTDIV clocks = BRR clocks. 8-fold: 8 * USARTDIV, where
    // the fraction has three bits.
    const uint64_t clocks_per_bit = (cr1_ & kOver8) ? 8U * (brr_ >> 4) + (brr_ & 7U) : brr_;
    return clocks_per_bit * kPicosPerSecond / pclk;
}

int Usart::data_bits() const
{
    return (cr1_ & kM) ? 9 : 8;
}

uint32_t Usart::frame_sixteenths() const
{
    static constexpr uint32_t kStop[4] = {16, 8, 32, 24};  // 1, 0.5, 2, 1.5 stop bits
    return 16U * (1U + static_cast<uint32_t>(data_bits())) + kStop[(cr2_ >> 12) & 3U];
}

bool Usart::receiver_on() const
{
    return (cr1_ & (kUe | kRe)) == (kUe | kRe);
}
bool Usart::transmitter_on() const
{
    return (cr1_ & (kUe | kTe)) == (kUe | kTe);
}

// ---------------------------------------------------------------------------------------------------
// Receiver.

void Usart::rx_line(int level, Picos at)
{
    level = level ? 1 : 0;
    if (level == rx_level_) return;
    rx_level_ = level;
    if (rx_in_frame_) {
        rx_edges_.emplace_back(at, level);
        return;
    }
    if (!receiver_on()) return;
    if (level == 0) {
        start_frame(at);
    } else if (idle_waits_for_high_) {
        idle_waits_for_high_ = false;
        arm_idle_check(at);
    }
}

void Usart::start_frame(Picos at)
{
    rx_bit_ = bit_time();
    if (rx_bit_ == 0) {
        chip_.log().line(name() + ": a character arrives while BRR is 0; the receiver cannot time it");
        return;
    }
    idle_timer_.cancel();
    idle_waits_for_high_ = false;
    rx_in_frame_ = true;
    rx_frame_start_ = at;
    rx_edges_.clear();
    rx_edges_.emplace_back(at, 0);
    // The last sample of the (first) stop bit is sample 10 of its sixteen.
    const uint64_t stop_bit = 1U + static_cast<uint64_t>(data_bits());
    const Picos last_sample = (16U * stop_bit + 9U) * rx_bit_ / 16U;
    frame_timer_.arm_at(at + last_sample);
}

int Usart::level_at(Picos t) const
{
    int level = 1;
    for (const auto& [at, value] : rx_edges_) {
        if (at > t) break;
        level = value;
    }
    return level;
}

int Usart::sample_bit(int index, bool& noisy) const
{
    int ones = 0;
    for (uint64_t sample = 7; sample <= 9; ++sample)
        ones += level_at(rx_frame_start_ + (16U * static_cast<uint64_t>(index) + sample) * rx_bit_ / 16U);
    if (ones != 0 && ones != 3) noisy = true;
    return ones >= 2 ? 1 : 0;
}

void Usart::complete_frame(Picos at)
{
    rx_in_frame_ = false;
    bool noisy = false;
    if (sample_bit(0, noisy) != 0) {
        // A glitch, not a start bit: the receiver goes back to waiting for a falling edge.
        rx_edges_.clear();
        if (rx_level_ == 1 && rx_since_idle_) arm_idle_check(at);
        return;
    }
    const int bits = data_bits();
    uint32_t data = 0;
    for (int i = 0; i < bits; ++i) data |= static_cast<uint32_t>(sample_bit(1 + i, noisy)) << i;
    const bool framing_error = sample_bit(1 + bits, noisy) == 0;
    bool parity_error = false;
    if (cr1_ & kPce) {
        // Even parity (PS 0): the data bits with the parity bit hold an even number of ones.
        const bool odd = odd_parity(data);
        parity_error = (cr1_ & kPs) ? !odd : odd;
    }
    rx_edges_.clear();

    if (sr_ & kRxne) {
        sr_ |= kOre;  // the older character stays in DR; this one is lost
    } else {
        rdr_ = static_cast<uint16_t>(data);
        sr_ |= kRxne;
        if (framing_error) sr_ |= kFe;
        if (noisy) sr_ |= kNe;
        if (parity_error) sr_ |= kPe;
    }
    rx_since_idle_ = true;

    // The idle character is counted from the end of the stop bit, or from the line's rise after a break.
    if (rx_level_ == 1)
        arm_idle_check(rx_frame_start_ + static_cast<Picos>(frame_sixteenths()) * rx_bit_ / 16U);
    else
        idle_waits_for_high_ = true;

    update_dma_request();
    update_irq();
}

void Usart::arm_idle_check(Picos from)
{
    const Picos bit = bit_time();
    if (bit == 0) {
        idle_timer_.cancel();
        return;
    }
    idle_timer_.arm_at(from + static_cast<Picos>(frame_sixteenths()) * bit / 16U);
}

void Usart::on_idle_check()
{
    if (!receiver_on() || !rx_since_idle_ || rx_level_ != 1) return;
    sr_ |= kIdle;
    rx_since_idle_ = false;
    update_irq();
}

void Usart::stop_receiver()
{
    frame_timer_.cancel();
    idle_timer_.cancel();
    rx_in_frame_ = false;
    idle_waits_for_high_ = false;
    rx_edges_.clear();
}

bool Usart::rx_dma_enabled() const
{
    return (cr3_ & kDmar) != 0;
}

void Usart::update_dma_request()
{
    rx_dma_.set((sr_ & kRxne) && (cr3_ & kDmar));
}

// ---------------------------------------------------------------------------------------------------
// Transmitter.

void Usart::set_tx_level(int level, Picos at)
{
    tx_level_ = level;
    for (auto& listener : tx_level_listeners_) listener(level, at);
}

void Usart::start_idle_frame(Picos at)
{
    const Picos bit = bit_time();
    tx_busy_ = true;
    tx_idle_frame_ = true;
    tx_start_ = at;
    set_tx_level(1, tx_start_);
    tx_plan_.assign(1, {tx_start_ + static_cast<Picos>(frame_sixteenths()) * bit / 16U, -1});
    tx_step_ = 0;
    tx_step_timer_.arm_at(tx_plan_[0].first);
}

void Usart::start_char(Picos at)
{
    const Picos bit = bit_time();
    if (bit == 0) {
        chip_.log().line(name() + ": transmitting with BRR 0; the character stays in DR");
        return;
    }
    tx_shift_ = tdr_;
    tdr_full_ = false;
    if (!txe_stuck_) sr_ |= kTxe;  // the data register is free again as soon as the shift register has taken it
    tx_busy_ = true;
    tx_idle_frame_ = false;
    tx_start_ = at;

    // The levels bit by bit: start bit, data least significant bit first (with parity in the most
    // significant position when enabled), then the stop bits; only the changes become events.
    const int bits = data_bits();
    uint32_t data = tx_shift_ & ((1U << bits) - 1U);
    if (cr1_ & kPce) {
        const uint32_t parity_bit = 1U << (bits - 1);
        const bool odd = odd_parity(data & (parity_bit - 1U));
        const bool set = (cr1_ & kPs) ? !odd : odd;
        data = (data & (parity_bit - 1U)) | (set ? parity_bit : 0U);
    }
    tx_plan_.clear();
    int level = 0;
    set_tx_level(0, tx_start_);
    for (int i = 0; i <= bits; ++i) {
        const int next = i < bits ? static_cast<int>((data >> i) & 1U) : 1;  // the stop bit after the data
        if (next != level) {
            tx_plan_.emplace_back(tx_start_ + static_cast<Picos>(1 + i) * bit, next);
            level = next;
        }
    }
    tx_plan_.emplace_back(tx_start_ + static_cast<Picos>(frame_sixteenths()) * bit / 16U, -1);
    tx_step_ = 0;
    tx_step_timer_.arm_at(tx_plan_[0].first);
    update_irq();
}

void Usart::on_tx_step(Picos at)
{
    const int level = tx_plan_[tx_step_].second;
    if (level >= 0) {
        set_tx_level(level, at);
        ++tx_step_;
        tx_step_timer_.arm_at(tx_plan_[tx_step_].first);
        return;
    }
    finish_tx_frame(at);
}

void Usart::finish_tx_frame(Picos at)
{
    if (!tx_idle_frame_)
        for (auto& listener : tx_char_listeners_) listener(tx_shift_, tx_start_, at);
    tx_busy_ = false;
    tx_idle_frame_ = false;
    if (tdr_full_ && transmitter_on()) {
        start_char(at);
    } else if (!tdr_full_) {
        sr_ |= kTc;
    }
    update_irq();
}

// ---------------------------------------------------------------------------------------------------
// The interrupt line: one place.

void Usart::update_irq()
{
    const bool errors_via_eie = (cr3_ & kEie) && (cr3_ & kDmar) && (sr_ & (kFe | kNe | kOre));
    const bool level = ((cr1_ & kTxeie) && (sr_ & kTxe)) || ((cr1_ & kTcie) && (sr_ & kTc)) ||
                       ((cr1_ & kRxneie) && (sr_ & (kRxne | kOre))) || ((cr1_ & kIdleie) && (sr_ & kIdle)) ||
                       ((cr1_ & kPeie) && (sr_ & kPe)) || errors_via_eie;
    if (level == irq_level_) return;
    irq_level_ = level;
    chip_.exceptions().set_line(irq_, level);
}

}  // namespace sim
