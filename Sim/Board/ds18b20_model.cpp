#include "ds18b20_model.h"

#include <algorithm>
#include <cmath>

#include "dallas_crc8.h"

namespace sim {

namespace {
constexpr Picos kResetLow = microseconds(480);            // tRSTL
constexpr Picos kResetHigh = microseconds(480);           // tRSTH: presence window before the first slot
constexpr Picos kPresenceSampleFirst = microseconds(60);  // latest start of a presence pulse
constexpr Picos kPresenceSampleLast = microseconds(75);   // earliest end (15 us wait + 60 us pulse)
constexpr Picos kSlot = microseconds(60);                 // tSLOT
constexpr Picos kRecovery = microseconds(1);              // tREC
constexpr Picos kLow1Min = microseconds(1);               // tLOW1 min, and the read slot's master low
constexpr Picos kSampleWindowStart = microseconds(15);    // the device samples a written bit 15-60 us in
constexpr Picos kLow0Max = microseconds(120);             // tLOW0 max
constexpr Picos kReadValid = microseconds(15);            // tRDV

constexpr uint8_t kSkipRom = 0xCC, kReadRom = 0x33, kMatchRom = 0x55;
constexpr uint8_t kConvertT = 0x44, kReadScratchpad = 0xBE, kWriteScratchpad = 0x4E, kReadPowerSupply = 0xB4;

int resolution_bits(uint8_t config)
{
    return 9 + ((config >> 5) & 3);
}
}  // namespace

Ds18b20Model::Ds18b20Model(OneWireBus& bus, uint64_t serial) : bus_(bus)
{
    rom_[0] = 0x28;  // family code of the DS18B20
    for (int i = 0; i < 6; ++i) rom_[1 + i] = static_cast<uint8_t>(serial >> (8 * i));
    rom_[7] = dallas_crc8(std::span<const uint8_t>(rom_.data(), 7));
    // Power-on scratchpad: +85 C, TH 75, TL 70, 12 bits, reserved bytes.
    scratchpad_ = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0};
    update_crc();
    set_temperature(21.5);
    bus_.connect(*this);
}

void Ds18b20Model::set_temperature(double celsius)
{
    profile_ = [celsius](Picos) { return celsius; };
}

uint8_t Ds18b20Model::crc_of_first(const std::array<uint8_t, 9>& bytes, std::size_t n)
{
    return dallas_crc8(std::span<const uint8_t>(bytes.data(), n));
}

Picos Ds18b20Model::conversion_time(uint8_t config)
{
    // 93.75 ms at 9 bits, doubling with each bit: 750 ms at 12.
    return nanoseconds(93'750'000) << (resolution_bits(config) - 9);
}

void Ds18b20Model::clear_records()
{
    transactions_.clear();
    violations_.clear();
    slots_.clear();
}

// ---------------------------------------------------------------------------------------------------
// The line.

Drive Ds18b20Model::drive(Picos now) const
{
    switch (fault_) {
        case Fault::Absent:
            return Drive::None;
        case Fault::HeldLow:
            return Drive::Low;
        default:
            return (now >= low_from_ && now < low_until_) ? Drive::Low : Drive::None;
    }
}

void Ds18b20Model::pull_low(Picos from, Picos until)
{
    // The start needs its own event only when the line may be high then (a presence pulse); a read 0
    // starts on the master's own falling edge.
    if (from > fall_ && from > last_release_) bus_.device_edge_at(from);
    low_from_ = from;
    low_until_ = until;
    bus_.device_edge_at(until);
}

void Ds18b20Model::set_fault(Fault fault)
{
    bool was_held = fault_ == Fault::HeldLow;
    fault_ = fault;
    // Shorting the line or lifting the short changes its level at once.
    if (was_held != (fault == Fault::HeldLow)) bus_.device_changed_now();
}

void Ds18b20Model::master_changed(bool low, Picos now)
{
    if (low == master_low_) return;
    master_low_ = low;
    if (fault_ == Fault::Absent || fault_ == Fault::HeldLow) {
        // Not listening, but the edges are kept so that a part that comes back starts from the truth.
        if (low)
            fall_ = now;
        else
            last_release_ = now;
        phase_ = Phase::Idle;
        after_slot_ = false;
        slot_is_read_ = false;
        awaiting_first_slot_ = false;
        return;
    }
    settle(now);
    if (low)
        on_fall(now);
    else
        on_release(now);
}

void Ds18b20Model::on_fall(Picos now)
{
    if (awaiting_first_slot_) {
        awaiting_first_slot_ = false;
        if (now - reset_release_ < kResetHigh)
            violation(now, "first slot less than 480 us after the reset pulse (presence window)", now - reset_release_);
    }
    if (Slot* slot = current_slot()) slot->length = now - fall_;
    if (after_slot_) {
        if (now - fall_ < kSlot) violation(now, "time slot shorter than 60 us", now - fall_);
        // The line is high again once both the master and the device have let go.
        Picos high_since = std::max(last_release_, low_until_);
        Picos recovery = now > high_since ? now - high_since : 0;
        if (recovery < kRecovery) violation(now, "recovery between slots shorter than 1 us", recovery);
    }
    fall_ = now;
    slot_sampled_ = false;
    slot_is_read_ = phase_ == Phase::Sending || phase_ == Phase::ConversionStatus;
    if (slot_is_read_) {
        pending_bit_ = next_bit_to_send(now);
        if (pending_bit_ == 0) pull_low(now, now + kReadZeroHold);
    }
}

void Ds18b20Model::on_release(Picos now)
{
    Picos low = now - fall_;
    last_release_ = now;
    if (low >= kResetLow) {
        on_reset(low, now);
        return;
    }
    switch (phase_) {
        case Phase::Idle: {
            // Not listening: the slot is only recorded, as the write slot its low time makes it.
            int bit = low >= kWriteSample ? 0 : 1;
            if (keep_) slots_.push_back({bit ? Slot::Kind::Write1 : Slot::Kind::Write0, fall_, low, 0, 0, bit});
            after_slot_ = false;
            return;
        }
        case Phase::Sending:
        case Phase::ConversionStatus:
            on_read_slot(low, now);
            return;
        default:
            on_write_slot(low, now);
            return;
    }
}

void Ds18b20Model::on_reset(Picos low, Picos now)
{
    transaction({Transaction::Kind::Reset, fall_, low});
    if (keep_) slots_.push_back({Slot::Kind::Reset, fall_, low});
    // A reset ends whatever transfer was under way; a conversion in progress carries on.
    phase_ = Phase::RomCommand;
    rx_byte_ = 0;
    rx_bits_ = 0;
    rx_bytes_.clear();
    tx_.clear();
    tx_bit_ = 0;
    after_slot_ = false;
    slot_is_read_ = false;
    reset_release_ = now;
    awaiting_first_slot_ = true;
    presence_sampled_ = false;
    pull_low(now + kPresenceWait, now + kPresenceWait + kPresenceLength);
    transaction({Transaction::Kind::Presence, now + kPresenceWait, kPresenceLength});
}

void Ds18b20Model::on_write_slot(Picos low, Picos now)
{
    // The device samples the line kWriteSample after the falling edge.
    int bit = low >= kWriteSample ? 0 : 1;
    if (low < kLow1Min) violation(now, "write slot: low shorter than 1 us", low);
    if (low >= kSampleWindowStart && low < kSlot)
        violation(now, "write slot: released 15-60 us after the falling edge, inside the sampling window", low);
    if (low > kLow0Max) violation(now, "write 0: low longer than 120 us", low);
    if (keep_) slots_.push_back({bit ? Slot::Kind::Write1 : Slot::Kind::Write0, fall_, low, 0, 0, bit});
    after_slot_ = true;

    if (rx_bits_ == 0) rx_first_fall_ = fall_;
    rx_byte_ = static_cast<uint8_t>(rx_byte_ | (bit << rx_bits_));
    if (++rx_bits_ < 8) return;
    uint8_t byte = rx_byte_;
    rx_byte_ = 0;
    rx_bits_ = 0;
    transaction({Transaction::Kind::Written, rx_first_fall_, now - rx_first_fall_, byte});
    on_byte(byte, now);
}

void Ds18b20Model::on_read_slot(Picos low, Picos now)
{
    if (low < kLow1Min) violation(now, "read slot: master low shorter than 1 us", low);
    if (low > kReadValid) violation(now, "read slot: master held the line low past the 15 us of valid data", low);
    if (keep_) slots_.push_back({Slot::Kind::Read, fall_, low, 0, 0, pending_bit_});
    after_slot_ = true;
    if (phase_ != Phase::Sending || tx_bit_ % 8 != 0) return;
    transaction({Transaction::Kind::Read, tx_first_fall_, now - tx_first_fall_, tx_[tx_bit_ / 8 - 1]});
    if (tx_bit_ == tx_.size() * 8) phase_ = after_send_;
}

void Ds18b20Model::master_sampled(Picos now)
{
    if (fault_ == Fault::Absent || fault_ == Fault::HeldLow || master_low_) return;
    if (awaiting_first_slot_ && !presence_sampled_) {
        // Only the first read after a reset is the presence sample.
        presence_sampled_ = true;
        Picos after = now - reset_release_;
        if (Slot* slot = current_slot(); slot && slot->kind == Slot::Kind::Reset) slot->sample = after;
        if (after < kPresenceSampleFirst || after > kPresenceSampleLast)
            violation(now, "presence sampled outside 60-75 us after the reset pulse", after);
        return;
    }
    if (!slot_is_read_ || slot_sampled_) return;
    slot_sampled_ = true;
    Picos after = now - fall_;
    if (Slot* slot = current_slot(); slot && slot->kind == Slot::Kind::Read) slot->sample = after;
    if (after > kReadValid) violation(now, "read slot: sampled later than 15 us after the falling edge", after);
}

Ds18b20Model::Slot* Ds18b20Model::current_slot()
{
    if (!keep_ || slots_.empty() || slots_.back().fall != fall_) return nullptr;
    return &slots_.back();
}

// ---------------------------------------------------------------------------------------------------
// Commands.

int Ds18b20Model::next_bit_to_send(Picos now)
{
    if (phase_ == Phase::ConversionStatus) return converting(now) ? 0 : 1;
    if (tx_bit_ % 8 == 0) tx_first_fall_ = now;
    int bit = (tx_[tx_bit_ / 8] >> (tx_bit_ % 8)) & 1;
    ++tx_bit_;
    return bit;
}

void Ds18b20Model::send(std::vector<uint8_t> bytes, Phase after)
{
    tx_ = std::move(bytes);
    tx_bit_ = 0;
    after_send_ = after;
    phase_ = tx_.empty() ? after : Phase::Sending;
}

void Ds18b20Model::on_byte(uint8_t byte, Picos now)
{
    switch (phase_) {
        case Phase::RomCommand:
            if (byte == kSkipRom) {
                phase_ = Phase::FunctionCommand;
            } else if (byte == kReadRom) {
                send(std::vector<uint8_t>(rom_.begin(), rom_.end()), Phase::FunctionCommand);
            } else if (byte == kMatchRom) {
                rx_bytes_.clear();
                phase_ = Phase::MatchRom;
            } else {
                transaction({Transaction::Kind::Unsupported, now, 0, byte});
                phase_ = Phase::Idle;
            }
            return;
        case Phase::MatchRom:
            rx_bytes_.push_back(byte);
            if (rx_bytes_.size() < rom_.size()) return;
            phase_ = std::equal(rom_.begin(), rom_.end(), rx_bytes_.begin()) ? Phase::FunctionCommand : Phase::Idle;
            return;
        case Phase::FunctionCommand:
            if (byte == kConvertT) {
                converting_ = true;
                conversion_end_ = now + conversion_time(scratchpad_[4]);
                phase_ = Phase::ConversionStatus;
            } else if (byte == kReadScratchpad) {
                std::vector<uint8_t> bytes(scratchpad_.begin(), scratchpad_.end());
                if (fault_ == Fault::Corrupt)
                    for (int bit : corrupt_bits_)
                        if (bit >= 0 && bit < 72)
                            bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] ^ (1U << (bit % 8)));
                send(std::move(bytes), Phase::Idle);
            } else if (byte == kWriteScratchpad) {
                rx_bytes_.clear();
                phase_ = Phase::WriteScratchpad;
            } else if (byte == kReadPowerSupply) {
                phase_ = Phase::Idle;  // externally powered: read slots answer 1, the line left to the pull-up
            } else {
                transaction({Transaction::Kind::Unsupported, now, 0, byte});
                phase_ = Phase::Idle;
            }
            return;
        case Phase::WriteScratchpad:
            rx_bytes_.push_back(byte);
            if (rx_bytes_.size() == 1) scratchpad_[2] = byte;  // TH
            if (rx_bytes_.size() == 2) scratchpad_[3] = byte;  // TL
            if (rx_bytes_.size() == 3) {
                scratchpad_[4] = static_cast<uint8_t>((byte & 0x60U) | 0x1FU);  // only R1 R0 are writable
                phase_ = Phase::Idle;
            }
            update_crc();
            return;
        default:
            return;
    }
}

void Ds18b20Model::settle(Picos now)
{
    if (!converting_ || now < conversion_end_) return;
    converting_ = false;
    // The result is latched at the end of the conversion, rounded to the resolution: 1/16 C at 12 bits,
    // 1/2 C at 9 (the unused low bits read 0), within the part's range of -55 to +125 C.
    int step = 1 << (12 - resolution_bits(scratchpad_[4]));
    double celsius = std::clamp(profile_(conversion_end_), -55.0, 125.0);
    auto raw = static_cast<int16_t>(std::lround(celsius * 16.0 / step) * step);
    scratchpad_[0] = static_cast<uint8_t>(raw & 0xFF);
    scratchpad_[1] = static_cast<uint8_t>((raw >> 8) & 0xFF);
    update_crc();
    transaction({Transaction::Kind::ConversionDone, conversion_end_, 0, 0, raw / 16.0});
}

// ---------------------------------------------------------------------------------------------------
// Records.

void Ds18b20Model::violation(Picos at, std::string what, Picos measured)
{
    Violation v{at, std::move(what), measured};
    if (violation_listener_) violation_listener_(v);
    if (keep_) violations_.push_back(std::move(v));
}

void Ds18b20Model::transaction(Transaction t)
{
    if (transaction_listener_) transaction_listener_(t);
    if (keep_) transactions_.push_back(t);
}

}  // namespace sim
