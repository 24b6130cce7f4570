// The link layer of a 1-Wire slave, externally powered: what every device on the line does the same
// way, driven by the master's edges and by time and judged against the datasheet's windows:
//   reset       master low >= 480 us; the slave answers 30 us after the release (15-60 us) with a
//               presence pulse of 120 us (60-240 us); the master should sample 60-75 us after the release,
//               the only span every part guarantees low, and wait 480 us before the first slot
//   write slot  the slave samples 30 us after the falling edge: released before 15 us is a 1, held past
//               60 us is a 0, in between the bit depends on the part (recorded as a violation)
//   read slot   master low >= 1 us; for a 0 the slave holds the line from the falling edge for 30 us;
//               data is valid only 15 us from the falling edge, so a later sample is a violation
//   every slot  >= 60 us from falling edge to falling edge, >= 1 us of high line between slots
// Written bits are assembled into bytes, least significant first, and handed to the device; bytes the
// device sends go out the same way in read slots. Its drive is computed from time when the port asks;
// each of its own edges is also scheduled so the line's level changes at the right moment in a trace.
//
// A device derives from this and decides, byte by byte, what the following slots carry: bytes to
// receive, bytes to send, a status bit in each read slot, or nothing until the next reset.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "onewire_bus.h"
#include "sim_time.h"

namespace sim {

class OneWireSlave : public OneWireDevice {
public:
    // A master timing outside the slave's windows.
    struct Violation {
        Picos at;  // when it was judged
        std::string what;
        Picos measured;  // the offending duration
    };

    // The traffic as the slave saw it; the last two kinds are the device's own.
    struct Transaction {
        enum class Kind : uint8_t { Reset, Presence, Written, Read, ConversionDone, Unsupported };
        Kind kind;
        Picos at;            // reset: its falling edge; presence: its start; a byte: its first slot's edge
        Picos duration = 0;  // reset low time, presence length, a byte's span from first edge to last release
        uint8_t byte = 0;    // the byte written or read, the unsupported command
        double celsius = 0;  // ConversionDone: the temperature the conversion latched
    };

    // One slot (or reset) as the master timed it, for measuring the firmware's timing. Slots the slave
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

    // A part that is not on the line at all, or one whose data pin is shorted to ground.
    enum class LineFault : uint8_t { None, Absent, HeldLow };

    OneWireSlave(const OneWireSlave&) = delete;
    OneWireSlave& operator=(const OneWireSlave&) = delete;

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
    // Each slot once it is complete, records kept or not: at the master's next falling edge (its length
    // known then), or at finish_slot() for the last one of a run.
    void on_slot(std::function<void(const Slot&)> listener) { slot_listener_ = std::move(listener); }
    void finish_slot();
    void clear_records();

    // OneWireDevice
    Drive drive(Picos now) const override;
    void master_changed(bool low, Picos now) override;
    void master_sampled(Picos now) override;

    static constexpr Picos kPresenceWait = microseconds(30);
    static constexpr Picos kPresenceLength = microseconds(120);
    static constexpr Picos kWriteSample = microseconds(30);
    static constexpr Picos kReadZeroHold = microseconds(30);

protected:
    explicit OneWireSlave(OneWireBus& bus);
    ~OneWireSlave() = default;

    // What the next slots carry, from now until the device says otherwise or a reset comes. After a
    // reset the slave receives: write slots, each byte assembled handed to on_byte.
    enum class AfterSending : uint8_t { Receive, Ignore };
    void send_bytes(std::vector<uint8_t> bytes, AfterSending after);  // read slots, then `after`
    void answer_status();                                             // each read slot answers status_bit()
    void ignore_slots();                                              // nothing until the next reset

    void set_line_fault(LineFault fault);
    void transaction(Transaction t);

    // A reset pulse ended: the slave is receiving again; the device starts over from its first command.
    virtual void on_reset_pulse() = 0;
    virtual void on_byte(uint8_t byte, Picos now) = 0;
    // The bit a read slot answers while answering status.
    virtual int status_bit(Picos /*now*/) { return 1; }
    // Time has reached `now` at an edge of the master: the device's own timed work catches up first.
    virtual void catch_up(Picos /*now*/) {}

private:
    enum class Mode : uint8_t { Ignoring, Receiving, Sending, AnsweringStatus };

    void on_fall(Picos now);
    void on_release(Picos now);
    void on_reset(Picos low, Picos now);
    void on_write_slot(Picos low, Picos now);
    void on_read_slot(Picos low, Picos now);
    int next_bit_to_send(Picos now);
    void pull_low(Picos from, Picos until);
    void violation(Picos at, std::string what, Picos measured);
    // The slot in progress (begun at the master's last falling edge), or nullptr; after changing it,
    // slot_changed() copies it to the records.
    Slot* current_slot();
    void slot_changed();
    void record_slot(Slot slot)
    {
        open_slot_ = slot;
        if (keep_) slots_.push_back(slot);
    }

    OneWireBus& bus_;
    LineFault line_fault_ = LineFault::None;

    // Line and slot timing.
    bool master_low_ = false;
    Picos fall_ = 0;           // last falling edge of the master
    Picos last_release_ = 0;   // last rising edge of the master
    bool after_slot_ = false;  // the last low phase was a slot of an active transfer
    Picos reset_release_ = 0;
    bool awaiting_first_slot_ = false;
    bool presence_sampled_ = false;
    Picos low_from_ = 0;  // the slave pulls low over [low_from_, low_until_)
    Picos low_until_ = 0;
    bool slot_is_read_ = false;  // the slot in progress is one the slave answers
    bool slot_sampled_ = false;
    int pending_bit_ = 1;  // what the slave answers in that slot

    // Bytes.
    Mode mode_ = Mode::Ignoring;
    uint8_t rx_byte_ = 0;
    int rx_bits_ = 0;
    Picos rx_first_fall_ = 0;
    std::vector<uint8_t> tx_;
    std::size_t tx_bit_ = 0;
    AfterSending after_sending_ = AfterSending::Ignore;
    Picos tx_first_fall_ = 0;

    bool keep_ = true;
    std::function<void(const Transaction&)> transaction_listener_;
    std::function<void(const Violation&)> violation_listener_;
    std::vector<Transaction> transactions_;
    std::vector<Violation> violations_;
    std::vector<Slot> slots_;
    std::optional<Slot> open_slot_;
    std::function<void(const Slot&)> slot_listener_;
};

}  // namespace sim
