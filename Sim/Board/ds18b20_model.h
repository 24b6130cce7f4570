// A DS18B20 digital thermometer on the 1-Wire bus, externally powered. A state machine driven by the
// master's edges and by time, judged against the datasheet's windows:
//   reset       master low >= 480 us; the device answers 30 us after the release (15-60 us) with a
//               presence pulse of 120 us (60-240 us); the master should sample 60-75 us after the release,
//               the only span every part guarantees low, and wait 480 us before the first slot
//   write slot  the device samples 30 us after the falling edge: released before 15 us is a 1, held past
//               60 us is a 0, in between the bit depends on the part (recorded as a violation)
//   read slot   master low >= 1 us; for a 0 the device holds the line from the falling edge for 30 us;
//               data is valid only 15 us from the falling edge, so a later sample is a violation
//   every slot  >= 60 us from falling edge to falling edge, >= 1 us of high line between slots
// Its drive is computed from time when the port asks; each of its own edges is also scheduled so the
// line's level changes at the right moment in a trace. Commands: Read ROM, Match ROM, Skip ROM,
// Convert T (busy for 93.75 / 187.5 / 375 / 750 ms at 9-12 bits, read slots answer 0 until done),
// Read Scratchpad, Write Scratchpad. A reset aborts any transfer (a conversion carries on).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "onewire_bus.h"
#include "sim_time.h"

namespace sim {

class Ds18b20Model final : public OneWireDevice {
public:
    enum class Fault : uint8_t {
        None,
        Absent,   // not on the bus: never answers, the pull-up keeps the line high
        HeldLow,  // shorted: holds the line low for ever
        Corrupt,  // answers, but flips the chosen bits of every scratchpad read
    };

    // A master timing outside the device's windows.
    struct Violation {
        Picos at;  // when it was judged
        std::string what;
        Picos measured;  // the offending duration
    };

    // The traffic as the device saw it.
    struct Transaction {
        enum class Kind : uint8_t { Reset, Presence, Written, Read, ConversionDone, Unsupported };
        Kind kind;
        Picos at;            // reset: its falling edge; presence: its start; a byte: its first slot's edge
        Picos duration = 0;  // reset low time, presence length, a byte's span from first edge to last release
        uint8_t byte = 0;    // the byte written or read, the unsupported command
        double celsius = 0;  // ConversionDone: the temperature the conversion latched
    };

    // One slot (or reset) as the master timed it, for measuring the firmware's timing. Slots the device
    // ignores (before a reset, after a transfer) are recorded as write slots by their low time.
    struct Slot {
        enum class Kind : uint8_t { Reset, Write0, Write1, Read };
        Kind kind;
        Picos fall;        // the master's falling edge
        Picos low = 0;     // how long the master held the line low
        Picos length = 0;  // falling edge to the next falling edge; 0 until that edge comes
        Picos sample = 0;  // when the master read the line, from the falling edge (reset: from the release)
        int bit = -1;      // the bit written or sent
    };

    // `serial` is the 48-bit serial number of the ROM code (family 0x28 and the CRC are added).
    explicit Ds18b20Model(OneWireBus& bus, uint64_t serial = 0x00000B5A2C71ULL);
    Ds18b20Model(const Ds18b20Model&) = delete;
    Ds18b20Model& operator=(const Ds18b20Model&) = delete;

    // Temperature in degrees Celsius, constant or over time; a conversion latches it at its end,
    // rounded to the resolution and clamped to the part's -55..+125 C.
    void set_temperature(double celsius);
    void set_profile(std::function<double(Picos)> profile) { profile_ = std::move(profile); }
    void set_fault(Fault fault);
    // Bits of the nine scratchpad bytes (bit 8 * byte + n) that Fault::Corrupt inverts; by default bit 3
    // of the temperature's low byte (0.5 C), which only the CRC can reveal.
    void set_corrupt_bits(std::vector<int> bits) { corrupt_bits_ = std::move(bits); }

    // Records are kept in memory by default; a long run that takes them through listeners turns this off.
    void keep_records(bool on) { keep_ = on; }
    void on_transaction(std::function<void(const Transaction&)> listener)
    {
        transaction_listener_ = std::move(listener);
    }
    void on_violation(std::function<void(const Violation&)> listener) { violation_listener_ = std::move(listener); }
    const std::vector<Transaction>& transactions() const { return transactions_; }
    const std::vector<Violation>& violations() const { return violations_; }
    const std::vector<Slot>& slots() const { return slots_; }
    void clear_records();

    const std::array<uint8_t, 8>& rom() const { return rom_; }
    // The scratchpad as the device holds it now (before any corruption on the wire).
    const std::array<uint8_t, 9>& scratchpad() const { return scratchpad_; }
    bool converting(Picos now) const { return converting_ && now < conversion_end_; }

    // OneWireDevice
    Drive drive(Picos now) const override;
    void master_changed(bool low, Picos now) override;
    void master_sampled(Picos now) override;

    static constexpr Picos kPresenceWait = microseconds(30);
    static constexpr Picos kPresenceLength = microseconds(120);
    static constexpr Picos kWriteSample = microseconds(30);
    static constexpr Picos kReadZeroHold = microseconds(30);
    static Picos conversion_time(uint8_t config);

private:
    enum class Phase : uint8_t {
        Idle,              // waits for a reset; slots are ignored
        RomCommand,        // receives the ROM command after a presence pulse
        MatchRom,          // receives the 8 bytes of a ROM code
        FunctionCommand,   // receives the function command
        WriteScratchpad,   // receives TH, TL and the configuration
        Sending,           // sends tx_ bit by bit; read slots past its end answer 1
        ConversionStatus,  // read slots answer 0 while converting, 1 when done
    };

    void on_fall(Picos now);
    void on_release(Picos now);
    void on_reset(Picos low, Picos now);
    void on_write_slot(Picos low, Picos now);
    void on_read_slot(Picos low, Picos now);
    void on_byte(uint8_t byte, Picos now);
    int next_bit_to_send(Picos now);
    void send(std::vector<uint8_t> bytes, Phase after);
    void settle(Picos now);
    void pull_low(Picos from, Picos until);
    void violation(Picos at, std::string what, Picos measured);
    void transaction(Transaction t);
    Slot* current_slot();
    void update_crc() { scratchpad_[8] = crc_of_first(scratchpad_, 8); }
    static uint8_t crc_of_first(const std::array<uint8_t, 9>& bytes, std::size_t n);

    OneWireBus& bus_;
    Fault fault_ = Fault::None;
    std::function<double(Picos)> profile_;
    std::vector<int> corrupt_bits_{3};
    std::array<uint8_t, 8> rom_{};
    std::array<uint8_t, 9> scratchpad_{};

    // Line and slot timing.
    bool master_low_ = false;
    Picos fall_ = 0;           // last falling edge of the master
    bool after_slot_ = false;  // the last low phase was a slot of an active transfer
    Picos reset_release_ = 0;
    bool awaiting_first_slot_ = false;
    bool presence_sampled_ = false;
    Picos low_from_ = 0;  // the device pulls low over [low_from_, low_until_)
    Picos low_until_ = 0;
    bool slot_is_read_ = false;  // the slot in progress is one the device answers
    bool slot_sampled_ = false;
    int pending_bit_ = 1;  // what the device answers in that slot

    // Protocol state.
    Phase phase_ = Phase::Idle;
    uint8_t rx_byte_ = 0;
    int rx_bits_ = 0;
    Picos rx_first_fall_ = 0;
    std::vector<uint8_t> rx_bytes_;
    std::vector<uint8_t> tx_;
    std::size_t tx_bit_ = 0;
    Phase after_send_ = Phase::Idle;
    Picos tx_first_fall_ = 0;
    Picos last_release_ = 0;

    bool converting_ = false;
    Picos conversion_end_ = 0;

    bool keep_ = true;
    std::function<void(const Transaction&)> transaction_listener_;
    std::function<void(const Violation&)> violation_listener_;
    std::vector<Transaction> transactions_;
    std::vector<Violation> violations_;
    std::vector<Slot> slots_;
};

}  // namespace sim
