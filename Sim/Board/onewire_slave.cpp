#include "onewire_slave.h"

#include <algorithm>

namespace sim {

namespace {
constexpr Picos kResetLow = microseconds(480);            // tRSTL
constexpr Picos kResetHigh = microseconds(480);           // tRSTH: presence window before the first slot
constexpr Picos kPresenceSampleFirst = microseconds(60);  // latest start of a presence pulse
constexpr Picos kPresenceSampleLast = microseconds(75);   // earliest end (15 us wait + 60 us pulse)
constexpr Picos kSlot = microseconds(60);                 // tSLOT
constexpr Picos kRecovery = microseconds(1);              // tREC
constexpr Picos kLow1Min = microseconds(1);               // tLOW1 min, and the read slot's master low
constexpr Picos kSampleWindowStart = microseconds(15);    // the slave samples a written bit 15-60 us in
constexpr Picos kLow0Max = microseconds(120);             // tLOW0 max
constexpr Picos kReadValid = microseconds(15);            // tRDV
}  // namespace

OneWireSlave::OneWireSlave(OneWireBus& bus) : bus_(bus)
{
    bus_.connect(*this);
}

void OneWireSlave::clear_records()
{
    transactions_.clear();
    violations_.clear();
    slots_.clear();
}

// ---------------------------------------------------------------------------------------------------
// The line.

Drive OneWireSlave::drive(Picos now) const
{
    switch (line_fault_) {
        case LineFault::Absent:
            return Drive::None;
        case LineFault::HeldLow:
            return Drive::Low;
        default:
            return (now >= low_from_ && now < low_until_) ? Drive::Low : Drive::None;
    }
}

void OneWireSlave::pull_low(Picos from, Picos until)
{
    // The start needs its own event only when the line may be high then (a presence pulse); a read 0
    // starts on the master's own falling edge.
    if (from > fall_ && from > last_release_) bus_.device_edge_at(from);
    low_from_ = from;
    low_until_ = until;
    bus_.device_edge_at(until);
}

void OneWireSlave::set_line_fault(LineFault fault)
{
    const bool was_held = line_fault_ == LineFault::HeldLow;
    line_fault_ = fault;
    // Shorting the line or lifting the short changes its level at once.
    if (was_held != (fault == LineFault::HeldLow)) bus_.device_changed_now();
}

void OneWireSlave::master_changed(bool low, Picos now)
{
    if (low == master_low_) return;
    master_low_ = low;
    if (line_fault_ != LineFault::None) {
        // Not listening, but the edges are kept so that a part that comes back starts from the truth.
        if (low)
            fall_ = now;
        else
            last_release_ = now;
        mode_ = Mode::Ignoring;
        after_slot_ = false;
        slot_is_read_ = false;
        awaiting_first_slot_ = false;
        return;
    }
    catch_up(now);
    if (low)
        on_fall(now);
    else
        on_release(now);
}

void OneWireSlave::on_fall(Picos now)
{
    if (awaiting_first_slot_) {
        awaiting_first_slot_ = false;
        if (now - reset_release_ < kResetHigh)
            violation(now, "first slot less than 480 us after the reset pulse (presence window)", now - reset_release_);
    }
    if (Slot* slot = current_slot()) {
        slot->length = now - fall_;
        slot_changed();
    }
    finish_slot();
    if (after_slot_) {
        if (now - fall_ < kSlot) violation(now, "time slot shorter than 60 us", now - fall_);
        // The line is high again once both the master and the slave have let go.
        Picos high_since = std::max(last_release_, low_until_);
        Picos recovery = now > high_since ? now - high_since : 0;
        if (recovery < kRecovery) violation(now, "recovery between slots shorter than 1 us", recovery);
    }
    fall_ = now;
    slot_sampled_ = false;
    slot_is_read_ = mode_ == Mode::Sending || mode_ == Mode::AnsweringStatus;
    if (slot_is_read_) {
        pending_bit_ = next_bit_to_send(now);
        if (pending_bit_ == 0) pull_low(now, now + kReadZeroHold);
    }
}

void OneWireSlave::on_release(Picos now)
{
    Picos low = now - fall_;
    last_release_ = now;
    if (low >= kResetLow) {
        on_reset(low, now);
        return;
    }
    switch (mode_) {
        case Mode::Ignoring: {
            // Not listening: the slot is only recorded, as the write slot its low time makes it.
            int bit = low >= kWriteSample ? 0 : 1;
            record_slot({.kind = bit ? Slot::Kind::Write1 : Slot::Kind::Write0, .fall = fall_, .low = low, .bit = bit});
            after_slot_ = false;
            return;
        }
        case Mode::Sending:
        case Mode::AnsweringStatus:
            on_read_slot(low, now);
            return;
        case Mode::Receiving:
            on_write_slot(low, now);
            return;
    }
}

void OneWireSlave::on_reset(Picos low, Picos now)
{
    transaction({.kind = Transaction::Kind::Reset, .at = fall_, .duration = low});
    record_slot({.kind = Slot::Kind::Reset, .fall = fall_, .low = low});
    // A reset ends whatever transfer was under way.
    mode_ = Mode::Receiving;
    on_reset_pulse();
    rx_byte_ = 0;
    rx_bits_ = 0;
    tx_.clear();
    tx_bit_ = 0;
    after_slot_ = false;
    slot_is_read_ = false;
    reset_release_ = now;
    awaiting_first_slot_ = true;
    presence_sampled_ = false;
    pull_low(now + kPresenceWait, now + kPresenceWait + kPresenceLength);
    transaction({.kind = Transaction::Kind::Presence, .at = now + kPresenceWait, .duration = kPresenceLength});
}

void OneWireSlave::on_write_slot(Picos low, Picos now)
{
    // The slave samples the line kWriteSample after the falling edge.
    int bit = low >= kWriteSample ? 0 : 1;
    if (low < kLow1Min) violation(now, "write slot: low shorter than 1 us", low);
    if (low >= kSampleWindowStart && low < kSlot)
        violation(now, "write slot: released 15-60 us after the falling edge, inside the sampling window", low);
    if (low > kLow0Max) violation(now, "write 0: low longer than 120 us", low);
    record_slot({.kind = bit ? Slot::Kind::Write1 : Slot::Kind::Write0, .fall = fall_, .low = low, .bit = bit});
    after_slot_ = true;

    if (rx_bits_ == 0) rx_first_fall_ = fall_;
    rx_byte_ = static_cast<uint8_t>(rx_byte_ | (bit << rx_bits_));
    if (++rx_bits_ < 8) return;
    uint8_t byte = rx_byte_;
    rx_byte_ = 0;
    rx_bits_ = 0;
    transaction(
        {.kind = Transaction::Kind::Written, .at = rx_first_fall_, .duration = now - rx_first_fall_, .byte = byte});
    on_byte(byte, now);
}

void OneWireSlave::on_read_slot(Picos low, Picos now)
{
    if (low < kLow1Min) violation(now, "read slot: master low shorter than 1 us", low);
    if (low > kReadValid) violation(now, "read slot: master held the line low past the 15 us of valid data", low);
    record_slot({.kind = Slot::Kind::Read, .fall = fall_, .low = low, .bit = pending_bit_});
    after_slot_ = true;
    if (mode_ != Mode::Sending || tx_bit_ % 8 != 0) return;
    transaction({.kind = Transaction::Kind::Read,
                 .at = tx_first_fall_,
                 .duration = now - tx_first_fall_,
                 .byte = tx_[tx_bit_ / 8 - 1]});
    if (tx_bit_ == tx_.size() * 8) mode_ = after_sending_ == AfterSending::Receive ? Mode::Receiving : Mode::Ignoring;
}

void OneWireSlave::master_sampled(Picos now)
{
    if (line_fault_ != LineFault::None || master_low_) return;
    if (awaiting_first_slot_ && !presence_sampled_) {
        // Only the first read after a reset is the presence sample.
        presence_sampled_ = true;
        Picos after = now - reset_release_;
        if (Slot* slot = current_slot(); slot && slot->kind == Slot::Kind::Reset) {
            slot->sample = after;
            slot_changed();
        }
        if (after < kPresenceSampleFirst || after > kPresenceSampleLast)
            violation(now, "presence sampled outside 60-75 us after the reset pulse", after);
        return;
    }
    if (!slot_is_read_ || slot_sampled_) return;
    slot_sampled_ = true;
    Picos after = now - fall_;
    if (Slot* slot = current_slot(); slot && slot->kind == Slot::Kind::Read) {
        slot->sample = after;
        slot_changed();
    }
    if (after > kReadValid) violation(now, "read slot: sampled later than 15 us after the falling edge", after);
}

OneWireSlave::Slot* OneWireSlave::current_slot()
{
    if (!open_slot_ || open_slot_->fall != fall_) return nullptr;
    return &*open_slot_;
}

void OneWireSlave::slot_changed()
{
    if (keep_ && !slots_.empty() && slots_.back().fall == open_slot_->fall) slots_.back() = *open_slot_;
}

void OneWireSlave::finish_slot()
{
    if (open_slot_ && slot_listener_) slot_listener_(*open_slot_);
    open_slot_.reset();
}

// ---------------------------------------------------------------------------------------------------
// Bytes.

int OneWireSlave::next_bit_to_send(Picos now)
{
    if (mode_ == Mode::AnsweringStatus) return status_bit(now);
    if (tx_bit_ % 8 == 0) tx_first_fall_ = now;
    int bit = (tx_[tx_bit_ / 8] >> (tx_bit_ % 8)) & 1;
    ++tx_bit_;
    return bit;
}

void OneWireSlave::send_bytes(std::vector<uint8_t> bytes, AfterSending after)
{
    tx_ = std::move(bytes);
    tx_bit_ = 0;
    after_sending_ = after;
    if (!tx_.empty())
        mode_ = Mode::Sending;
    else
        mode_ = after == AfterSending::Receive ? Mode::Receiving : Mode::Ignoring;
}

void OneWireSlave::answer_status()
{
    mode_ = Mode::AnsweringStatus;
}

void OneWireSlave::ignore_slots()
{
    mode_ = Mode::Ignoring;
}

// ---------------------------------------------------------------------------------------------------
// Records.

void OneWireSlave::violation(Picos at, std::string what, Picos measured)
{
    Violation v{at, std::move(what), measured};
    if (violation_listener_) violation_listener_(v);
    if (keep_) violations_.push_back(std::move(v));
}

void OneWireSlave::transaction(Transaction t)
{
    if (transaction_listener_) transaction_listener_(t);
    if (keep_) transactions_.push_back(t);
}

}  // namespace sim
