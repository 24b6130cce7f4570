// Judges a node's run from its trace, event by event, so that a simulated week streams through without
// being kept. What it holds the node to:
//   - a frame that arrives alone while reception is armed is ended by the idle line (or at its 50th
//     byte), taken over at the start of the next cycle, and has there exactly the protocol's effect: the
//     LED pin changes just before the cycle's re-arming, the measured PWM within one period after it;
//     nothing else changes the LED or the PWM (the set-up makes the LED's pin an output without
//     changing its level, and it stays one)
//   - a line error ends the reception it falls in
//   - reception is never off for more than one cycle: whatever ended it (a frame, a line error), the
//     next cycle's start re-arms it, and only a cycle's start does
//   - every "!A00=" report is the temperature the sensor latched in that cycle, rounded as the report
//     rounds, or in a cycle the sensor was off the bus for a while, what its scratchpad held before (it
//     may have missed the command to convert); a report is left out only in a cycle in which the sensor
//     was faulty; the switch report
//     gives the switch's level
//   - the sensor sees no 1-Wire timing violation, the node never halts or falls silent (each cycle's
//     reports come), the simulator logs nothing
// Bytes from the dashboard are placed on the line as the peer sends them (back to back at 9600 baud,
// queued behind what is still on the line), and each is judged stored or lost by whether reception
// was armed when the port's receiver completed it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "reference_protocol.h"
#include "soak_tally.h"
#include "trace.h"

namespace soak {

class TraceChecker {
public:
    explicit TraceChecker(size_t violations_kept = 12) : violations_kept_(violations_kept) {}

    void feed(const sim::trace::Event& event);
    // The trace is over: whatever still waits is counted as pending.
    void finish();
    const SoakTally& tally() const { return tally_; }

private:
    // One character from the dashboard as the port's receiver sees it.
    struct LineItem {
        double complete = 0;  // when the receiver has it (RXNE, and the error flags with it)
        double end = 0;       // when the line is free after it
        int frame = -1;       // the frame it belongs to; -1 for noise and breaks
        bool error = false;   // noise or a break: a line error
        char byte = 0;
    };
    struct Frame {
        std::string bytes;
        size_t seen = 0;
        size_t stored = 0;
        size_t lost_before_stored = 0;
        FrameOutcome lost_reason = FrameOutcome::NotJudged;
        bool in_session = false;
    };
    struct Session {
        double armed_at = 0;
        std::string stored;
        std::vector<int> frames;
        std::optional<double> error_at;
        double last_complete = 0;
        double last_end = 0;
        bool uncertain = false;
        bool error_before_arming = false;    // a line error completed within the arming's race
        std::optional<double> end_deadline;  // reception must have ended by then
    };
    struct TakeOver {
        std::string stored;
        std::vector<int> frames;
        bool cut = false;
        bool uncertain = false;
    };
    enum class OffReason { Startup, FramePending, LineError };

    void advance(double t);
    void take_line_item(const LineItem& item);
    void on_armed(double t);
    void on_disarmed(double t);
    void error_not_taken();
    void take_over(double t, const TakeOver& frame);
    void on_tx(double t, const sim::trace::Tx& e);
    void on_message(double t, const std::string& text);
    void on_pwm(double t, const sim::trace::Pwm& e);
    void on_pin(double t, const sim::trace::PinLevel& e);
    std::string led_text() const;
    void on_stimulus(double t, const sim::trace::Stimulus& e);
    // A reset: one that a stimulus explains starts the node's side of the checks afresh; any other fails.
    void on_reset(double t, const std::string& cause);
    void restart(double t);
    void add_to_line(double at, const std::string& bytes, int frame, bool error, double hold = 0);
    void decide(int frame, FrameOutcome outcome);
    void fail(double t, std::string what, std::string expected = "", std::string seen = "");

    size_t violations_kept_;
    SoakTally tally_;
    double now_ = 0;

    // The dashboard's line.
    std::deque<LineItem> line_;
    double line_free_ = 0;
    std::unordered_map<int, Frame> frames_;
    int next_frame_ = 0;
    double last_lost_complete_ = -1;
    double last_lost_error_complete_ = -1;
    LineItem last_lost_;

    // Reception.
    bool armed_ = false;
    Session session_;
    OffReason off_reason_ = OffReason::Startup;
    double off_since_ = 0;
    std::optional<TakeOver> pending_;
    bool ended_by_error_ = false;

    // Cycles: the first starts when the greeting on USART1 is out, each next one 4 s after the switch
    // report.
    std::string greeting1_, greeting2_;
    bool cause_line_done_ = false;  // USART2's line after the greeting, why the node started, is out
    std::optional<double> next_cycle_;
    double cycle_start_ = -1;
    // The greeting, then the reports of the cycle under way, must have come by then: the greeting
    // leaves some 10 ms after reset.
    std::optional<double> reports_due_ = 1.0;
    std::string message_;
    double message_start_ = 0;
    bool temperature_reported_ = false;
    std::optional<double> conversion_t_;
    double conversion_celsius_ = 0;
    double sensor_fault_at_ = -1;  // the latest fault's start
    bool sensor_ok_ = true;
    double sensor_ok_since_ = 0;
    int switch_level_ = 0;
    double switch_changed_at_ = -1;

    // Outputs.
    int led_level_ = 0;
    std::optional<bool> led_driven_;  // unknown until the trace says (older traces never do)
    std::optional<double> led_change_unexplained_;
    double pwm_high_ = 0;
    double pwm_period_ = 0;
    double pwm_window_start_ = 0;
    double pwm_window_end_ = -1;
    std::optional<double> pwm_check_at_;
    double pwm_expected_high_ = 0;
    std::vector<int> pwm_frames_;
    bool pwm_uncertain_ = false;

    // The latest stimulus that resets the node (reset, power off, brownout, fault, stuck), its time and
    // how long it holds the node in reset; and whether the supply is off.
    struct RestartCause {
        double t = 0;
        std::string verb;
        double hold = 0;
    };
    std::optional<RestartCause> restart_cause_;
    bool powered_off_ = false;
};

}  // namespace soak
