#include "trace_checker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <variant>

#include "hex_escape.h"
#include "node_facts.h"

namespace soak {

namespace {

// A peer's character, the port's bit and the moment its receiver has a character.
constexpr double kPeerChar = node_facts::kPeerCharSeconds;
constexpr double kPortBit = node_facts::kPortBitSeconds;
constexpr double kComplete = node_facts::kStopSampledBits * kPortBit;
// The idle line is one whole character of high line after the last stop bit.
constexpr double kIdleAfter = node_facts::kBitsPerCharacter * kPortBit;
// A frame ends at its 50th byte: the half-buffer interrupt of a 100-byte reception.
constexpr size_t kFrameCut = 50;

// How late the node may be. Interrupt entry, the platform's handler and the callback take a few
// microseconds; 0.5 ms is far above that and far below a character.
constexpr double kEndSlack = 0.5e-3;
// The main loop's 4 s wait on the cycle counter ends at most one tick (1 ms) late in the simulator; the
// flag test and the re-arming follow within microseconds.
constexpr double kCycleWindow = 3e-3;
constexpr double kCycleEarly = 50e-6;
constexpr double kCycleWait = node_facts::kCycleWaitSeconds;
// The LED is written right before the re-arming that follows the interpretation.
constexpr double kLedBeforeRearm = 2e-3;
// A new compare value shows at the next counter overflow: within one PWM period of 20.001 ms.
constexpr double kPwmPeriod = 20.001e-3;
constexpr double kPwmSlack = 1e-3;
// A stuck flag ends in the watchdog's reset: at most its longest timeout (18.8 s at the slowest LSI)
// after the last refresh, which came at most a cycle (4.83 s) before the flag stuck.
constexpr double kStuckRecovery = 25.0;
// A cycle's reports follow its start within about 0.83 s (the 1-Wire transfer, the 0.8 s conversion
// wait, 17 characters at 9600 baud); a failed reading makes them come sooner. Later than this, the node
// has stopped reporting: halted, or held up in an interrupt.
constexpr double kReportsWithin = 2.0;
// What a DS18B20's scratchpad holds from power-on until its first conversion.
constexpr double kPowerOnCelsius = 85.0;
// A byte completed this close before the re-arming may have been stored or discarded: the arming reads
// the data register, then enables the request a few microseconds later.
constexpr double kArmingRace = 20e-6;

std::string number(double v, int decimals = 6)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string pwm_text(double period, double high)
{
    return "period " + number(period, 3) + " us, high " + number(high, 3) + " us";
}

// The checker's own form of bytes in a message: \xNN for everything outside printable ASCII and for
// the backslash itself, so that it cannot be mistaken for the trace's escapes.
std::string report_bytes(const std::string& bytes)
{
    return hex_escape(bytes, [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; });
}

// The greeting as a message shows it: "Hola\r\n".
std::string greeting_text()
{
    return sim::trace::printable(std::string(node_facts::kGreeting));
}

}  // namespace

void TraceChecker::fail(double t, std::string what, std::string expected, std::string seen)
{
    ++tally_.violation_count;
    if (tally_.first_violations.size() < violations_kept_)
        tally_.first_violations.push_back({t, std::move(what), std::move(expected), std::move(seen)});
}

void TraceChecker::decide(int frame, FrameOutcome outcome)
{
    auto it = frames_.find(frame);
    if (it == frames_.end()) return;
    ++tally_.outcome(outcome);
    frames_.erase(it);
}

// ---------------------------------------------------------------------------------------------------
// Time: the line's characters and the deadlines, in order, up to (not including) t.

void TraceChecker::advance(double t)
{
    for (;;) {
        constexpr double kNone = std::numeric_limits<double>::infinity();
        const double item = line_.empty() ? kNone : line_.front().complete;
        const double end = armed_ && session_.end_deadline ? *session_.end_deadline : kNone;
        const double led = led_change_unexplained_ ? *led_change_unexplained_ + kLedBeforeRearm : kNone;
        const double pwm = pwm_check_at_ ? *pwm_check_at_ : kNone;
        const double cycle = next_cycle_ ? *next_cycle_ + kCycleWindow : kNone;
        const double silent = reports_due_ ? *reports_due_ : kNone;
        const double first = std::min({item, end, led, pwm, cycle, silent});
        if (first >= t) return;
        now_ = first;
        if (first == item) {
            LineItem li = line_.front();
            line_.pop_front();
            take_line_item(li);
        } else if (first == end) {
            session_.end_deadline.reset();
            if (session_.error_at)
                error_not_taken();
            else
                fail(first, "reception did not end", "ended by the idle line, the 50th byte or the line error",
                     "still armed " + number((first - session_.last_end) * 1e3, 3) + " ms after the last byte");
        } else if (first == silent) {
            reports_due_.reset();
            fail(first, "the node fell silent", "a report cycle's reports by " + number(first),
                 cycle_start_ < 0 ? "no greeting" : "nothing since the cycle at " + number(cycle_start_));
        } else if (first == led) {
            fail(*led_change_unexplained_, "the LED changed with no command taken over", "no change", led_text());
            led_change_unexplained_.reset();
        } else if (first == pwm) {
            pwm_check_at_.reset();
            const double want = pwm_expected_high_;
            const bool right = pwm_uncertain_ || (pwm_high_ == want && pwm_period_ == kPwmPeriodUs);
            if (!right)
                fail(first, "PWM not as the command sets it", pwm_text(kPwmPeriodUs, want),
                     pwm_text(pwm_period_, pwm_high_));
            for (int f : pwm_frames_)
                decide(f, pwm_uncertain_ ? FrameOutcome::NotJudged
                          : right        ? FrameOutcome::ActedOn
                                         : FrameOutcome::Failed);
            pwm_frames_.clear();
        } else {
            // The start of a cycle is over: reception must be armed unless it ended after the cycle began.
            const double start = *next_cycle_;
            next_cycle_.reset();
            if (!armed_ && off_since_ < start)
                fail(first, "reception not re-armed at the start of a cycle", "armed by " + number(first),
                     std::string("off since ") + number(off_since_) +
                         (off_reason_ == OffReason::LineError ? " (line error)" : " (frame taken)"));
            // From the first cycle on a command may light the LED: its pin must be an output by then.
            if (cycle_start_ < 0 && led_driven_ == false)
                fail(first, "the LED's pin not driven after the set-up", "C13 an output", led_text());
            cycle_start_ = start;
            reports_due_ = start + kReportsWithin;
            temperature_reported_ = false;
        }
    }
}

// A character reaches the receiver: stored when reception is armed, lost otherwise.
void TraceChecker::take_line_item(const LineItem& item)
{
    Frame* frame = nullptr;
    if (item.frame >= 0) {
        auto it = frames_.find(item.frame);
        if (it != frames_.end()) frame = &it->second;
    }
    if (frame) ++frame->seen;
    if (armed_) {
        session_.stored += item.byte;
        session_.last_complete = item.complete;
        session_.last_end = item.end;
        if (item.error && !session_.error_at) session_.error_at = item.complete;
        if (frame) {
            ++frame->stored;
            if (!frame->in_session) {
                frame->in_session = true;
                session_.frames.push_back(item.frame);
            }
        }
        if (session_.error_at)
            session_.end_deadline = *session_.error_at + kEndSlack;
        else if (session_.stored.size() >= kFrameCut)
            session_.end_deadline = item.complete + kEndSlack;
        else
            session_.end_deadline = item.end + kIdleAfter + kEndSlack;
        return;
    }
    last_lost_complete_ = item.complete;
    last_lost_ = item;
    if (item.error) last_lost_error_complete_ = item.complete;
    if (!frame) return;
    if (frame->stored == 0) {
        ++frame->lost_before_stored;
        if (frame->lost_before_stored == 1)
            frame->lost_reason = off_reason_ == OffReason::FramePending ? FrameOutcome::SecondInCycle
                                 : off_reason_ == OffReason::LineError  ? FrameOutcome::OffAfterError
                                                                        : FrameOutcome::NotJudged;
    }
    // A frame none of whose bytes was stored is decided once its last byte is gone.
    if (frame->seen == frame->bytes.size() && !frame->in_session) decide(item.frame, frame->lost_reason);
}

// The node did not end reception at a line error: the error was lost (its flag cleared before the
// handler saw it) and the byte stored like any other. The session goes on as one without the error, so
// that one fault is reported once.
void TraceChecker::error_not_taken()
{
    const double at = *session_.error_at;
    session_.error_at.reset();
    fail(at, "reception did not end after a line error", "ended within " + number(kEndSlack * 1e3, 1) + " ms",
         "still armed, the errored byte stored");
    const bool cut = session_.stored.size() >= kFrameCut;
    session_.end_deadline = (cut ? session_.last_complete : session_.last_end + kIdleAfter) + kEndSlack;
}

// ---------------------------------------------------------------------------------------------------
// Reception.

void TraceChecker::on_armed(double t)
{
    if (armed_) return;
    if (greeting1_.size() >= 6) {
        const bool at_cycle_start = next_cycle_ && t >= *next_cycle_ - kCycleEarly && t <= *next_cycle_ + kCycleWindow;
        if (!at_cycle_start)
            fail(t, "reception re-armed outside the start of a cycle",
                 next_cycle_ ? "at " + number(*next_cycle_) : std::string("at a cycle's start"), "at " + number(t));
    }
    if (ended_by_error_) ++tally_.recoveries;
    ended_by_error_ = false;
    armed_ = true;
    session_ = Session{};
    session_.armed_at = t;
    session_.uncertain = last_lost_complete_ >= 0 && t - last_lost_complete_ < kArmingRace;
    session_.error_before_arming = last_lost_error_complete_ >= 0 && t - last_lost_error_complete_ < kArmingRace;
    if (pending_) {
        TakeOver frame = std::move(*pending_);
        pending_.reset();
        take_over(t, frame);
    }
}

void TraceChecker::on_disarmed(double t)
{
    if (!armed_) return;
    armed_ = false;
    off_since_ = t;
    Session s = std::move(session_);
    session_ = Session{};
    if (s.error_at) {
        // A framing or noise error ends the reception without a frame.
        if (t < *s.error_at || t - *s.error_at > kEndSlack)
            fail(t, "reception ended at an odd time after a line error", "within 0.5 ms of " + number(*s.error_at),
                 number(t));
        ++tally_.errors_ending_reception;
        off_reason_ = OffReason::LineError;
        ended_by_error_ = true;
        for (int f : s.frames) decide(f, s.uncertain ? FrameOutcome::NotJudged : FrameOutcome::HitByError);
        return;
    }
    if (s.stored.empty() && s.error_before_arming) {
        // The errored byte completed in the arming, after its clearing of the port's flags and before
        // the DMA request went on: its error ends the new reception as soon as that is live.
        ++tally_.errors_ending_reception;
        off_reason_ = OffReason::LineError;
        ended_by_error_ = true;
        if (t - s.armed_at > kEndSlack)
            fail(t, "reception ended at an odd time after a line error", "within 0.5 ms of the arming", number(t));
        return;
    }
    off_reason_ = OffReason::FramePending;
    if (s.stored.empty() && s.uncertain) {
        // The byte that completed in the arming, after its read of DR and before the DMA request went
        // on, was stored when the request came on: the frame is that byte.
        s.stored = std::string(1, last_lost_.byte);
        s.last_complete = last_lost_.complete;
        s.last_end = last_lost_.end;
    }
    if (s.stored.empty()) {
        fail(t, "reception ended with nothing received and no line error", "armed", "ended");
        return;
    }
    if (s.stored.size() > kFrameCut)
        fail(t, "more than 50 bytes stored in one frame", "at most 50", std::to_string(s.stored.size()));
    const bool cut = s.stored.size() >= kFrameCut;
    const double due = cut ? s.last_complete : s.last_end + kIdleAfter;
    const double early = cut ? 0.0 : 0.1e-3;
    if (t < due - early || t > due + kEndSlack)
        fail(t, cut ? "frame not ended at its 50th byte" : "frame not ended by the idle line", "at " + number(due),
             "at " + number(t));
    TakeOver frame;
    frame.stored = s.stored.substr(0, kFrameCut);
    frame.frames = std::move(s.frames);
    frame.cut = cut;
    frame.uncertain = s.uncertain;
    pending_ = std::move(frame);
}

// The main loop interprets the pending frame right before it re-arms reception.
void TraceChecker::take_over(double t, const TakeOver& frame)
{
    const Effect effect = interpret_frame(frame.stored);
    if (led_change_unexplained_ && (*led_change_unexplained_ < t - kLedBeforeRearm)) {
        // Older than the interpretation could be: judged by the deadline, not here.
    } else if (led_change_unexplained_ && (frame.uncertain || effect.kind == Effect::Kind::Led)) {
        led_change_unexplained_.reset();
    }
    bool right = true;
    if (!frame.uncertain && effect.kind == Effect::Kind::Led &&
        (led_level_ != effect.led_level || led_driven_ == false)) {
        right = false;
        fail(t, "LED not as the command sets it: " + report_bytes(frame.stored),
             "C13 driven at " + std::to_string(effect.led_level), led_text());
    }
    if (frame.uncertain || effect.kind == Effect::Kind::Pwm) {
        pwm_window_start_ = t;
        pwm_window_end_ = t + kPwmPeriod + kPwmSlack;
        pwm_check_at_ = pwm_window_end_;
        pwm_expected_high_ = pwm_high_us(effect.duty);
        pwm_uncertain_ = frame.uncertain || effect.kind != Effect::Kind::Pwm;
    }
    for (int id : frame.frames) {
        auto it = frames_.find(id);
        if (it == frames_.end()) continue;
        const Frame& f = it->second;
        if (frame.uncertain) {
            if (effect.kind == Effect::Kind::Pwm)
                pwm_frames_.push_back(id);
            else
                decide(id, FrameOutcome::NotJudged);
        } else if (effect.kind == Effect::Kind::Pwm) {
            pwm_frames_.push_back(id);
            if (f.bytes.size() > kFrameCut) ++tally_.acted_on_after_cut;
        } else if (effect.kind == Effect::Kind::Led) {
            if (right && f.bytes.size() > kFrameCut) ++tally_.acted_on_after_cut;
            decide(id, right ? FrameOutcome::ActedOn : FrameOutcome::Failed);
        } else if (f.lost_before_stored > 0) {
            decide(id, FrameOutcome::PartlyReceived);
        } else if (frame.cut && interpret_frame(f.bytes).kind != Effect::Kind::None) {
            decide(id, FrameOutcome::CutAt50);
        } else {
            decide(id, FrameOutcome::NotACommand);
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// What the node sends.

void TraceChecker::on_tx(double t, const sim::trace::Tx& e)
{
    const char c = static_cast<char>(e.byte);
    if (e.port == "USART2") {
        // The greeting, then one line saying why the node started ("reset: power-on\r\n"), then nothing.
        greeting2_ += c;
        const size_t greeting = node_facts::kGreeting.size();
        if (greeting2_.size() == greeting && greeting2_ != node_facts::kGreeting)
            fail(t, "greeting on USART2", greeting_text(), report_bytes(greeting2_));
        if (greeting2_.size() <= greeting) return;
        if (cause_line_done_) {
            fail(t, "USART2 sends after the reset line", "nothing", report_bytes(greeting2_));
            return;
        }
        const std::string line = greeting2_.substr(greeting);
        constexpr std::string_view prefix = "reset: ";
        // Byte by byte: what has come so far agrees with the prefix as far as both go.
        if (line.size() > 48 || !(prefix.starts_with(line) || line.starts_with(prefix))) {
            fail(t, "the reset line on USART2", "reset: CAUSE\\r\\n", report_bytes(line));
            cause_line_done_ = true;
        } else if (line.size() > prefix.size() && line.ends_with("\r\n")) {
            cause_line_done_ = true;
            // The first cycle starts once the line is out (the PWM set-up takes microseconds); the PWM runs
            // at 50 % from the first overflow.
            next_cycle_ = t;
            reports_due_.reset();
            pwm_window_start_ = t - 1e-3;
            pwm_window_end_ = t + kPwmPeriod + kPwmSlack;
            pwm_check_at_ = pwm_window_end_;
            pwm_expected_high_ = pwm_high_us(50);
            pwm_uncertain_ = false;
        }
        return;
    }
    if (greeting1_.size() < node_facts::kGreeting.size()) {
        greeting1_ += c;
        if (greeting1_.size() == node_facts::kGreeting.size()) {
            if (greeting1_ != node_facts::kGreeting)
                fail(t, "greeting on USART1", greeting_text(), report_bytes(greeting1_));
            // The first cycle begins once USART2's reset line is out (above).
            next_cycle_ = t;
        }
        return;
    }
    if (message_.empty()) message_start_ = t;
    message_ += c;
    if (c == node_facts::kReportEnd) {
        std::string text = std::move(message_);
        message_.clear();
        on_message(message_start_, text);
    } else if (message_.size() > 64) {
        fail(t, "output that is no report", "!A00=...$ or !A01=...$", report_bytes(message_));
        message_.clear();
    }
}

void TraceChecker::on_message(double t, const std::string& text)
{
    if (text.starts_with(node_facts::kTemperatureTag)) {
        ++tally_.reports_sent;
        if (temperature_reported_) fail(t, "two temperature reports in one cycle", "one", report_bytes(text));
        temperature_reported_ = true;
        if (!conversion_t_ || *conversion_t_ < cycle_start_) {
            // A sensor that was off the bus during this cycle may have missed the command to convert: the
            // node then reads what the scratchpad held, the last conversion or the power-on 85 C, and
            // cannot tell it from a reading.
            const bool disturbed = !sensor_ok_ || sensor_ok_since_ > cycle_start_ || sensor_fault_at_ >= cycle_start_;
            if (disturbed && text == temperature_report(conversion_t_ ? conversion_celsius_ : kPowerOnCelsius)) {
                ++tally_.stale_readings;
                return;
            }
            fail(t, "temperature report without a conversion in its cycle", "no report", report_bytes(text));
            return;
        }
        const std::string want = temperature_report(conversion_celsius_);
        if (text != want)
            fail(t, "temperature report differs from the sensor's reading of " + number(conversion_celsius_, 4) + " C",
                 want, text);
        return;
    }
    if (text == node_facts::kSwitchOff || text == node_facts::kSwitchOn) {
        ++tally_.switch_reports;
        ++tally_.cycles;
        // The switch is read right before the report's first character goes out; a change within the
        // last few milliseconds may fall on either side.
        const std::string_view level = switch_level_ ? node_facts::kSwitchOn : node_facts::kSwitchOff;
        if (switch_changed_at_ < t - 5e-3 && text != level)
            fail(t, "switch report differs from B12", std::string(level), text);
        if (!temperature_reported_) {
            ++tally_.reports_left_out;
            if (sensor_ok_ && sensor_ok_since_ < cycle_start_)
                fail(t, "temperature report left out while the sensor works", "!A00=...$", "none in the cycle");
        }
        next_cycle_ = now_ + kCycleWait;
        reports_due_.reset();
        return;
    }
    fail(t, "output that is no report", "!A00=...$ or !A01=...$", report_bytes(text));
}

// ---------------------------------------------------------------------------------------------------
// Pins, the PWM meter and the stimuli.

void TraceChecker::on_pin(double t, const sim::trace::PinLevel& e)
{
    if (e.pin == "C13") {
        // The trace states the pin's level at reset and again when the chip starts driving it: neither is
        // a change of the LED by itself. Older traces say neither whether the pin is driven nor its
        // state at reset: every event of theirs is a change.
        if (e.driven && !led_driven_) {
            led_level_ = e.level;
            led_driven_ = e.driven;
            return;
        }
        const bool level_changed = e.level != led_level_;
        const bool drive_changed = e.driven && *e.driven != *led_driven_;
        if (e.driven) led_driven_ = e.driven;
        if (!level_changed && !drive_changed) return;
        // The set-up turns the LED's pin into an output before the greeting; it may not change its level.
        if (!level_changed && greeting1_.size() < node_facts::kGreeting.size()) return;
        if (led_change_unexplained_)
            fail(*led_change_unexplained_, "the LED changed twice in a row", "one change", "two");
        led_level_ = e.level;
        led_change_unexplained_ = t;
    } else if (e.pin == "B12") {
        switch_level_ = e.level;
        switch_changed_at_ = t;
    }
}

std::string TraceChecker::led_text() const
{
    if (led_driven_ == false) return "C13 not driven (reads " + std::to_string(led_level_) + ")";
    return "C13 at " + std::to_string(led_level_);
}

void TraceChecker::on_pwm(double t, const sim::trace::Pwm& e)
{
    if (!(t >= pwm_window_start_ && t <= pwm_window_end_) && greeting1_.size() >= 6)
        fail(t, "PWM changed with no command taken over", pwm_text(pwm_period_, pwm_high_),
             pwm_text(sim::to_micros(e.period), sim::to_micros(e.high)));
    pwm_period_ = sim::to_micros(e.period);
    pwm_high_ = sim::to_micros(e.high);
}

void TraceChecker::add_to_line(double at, const std::string& bytes, int frame, bool error, double hold)
{
    double start = std::max(at, line_free_);
    if (hold > 0) {
        // A break: the line held low; the receiver takes it for a character with a low stop bit.
        line_.push_back({start + kComplete, start + hold, -1, true, 0});
        line_free_ = start + hold;
        return;
    }
    for (char c : bytes) {
        line_.push_back({start + kComplete, start + kPeerChar, frame, error, c});
        start += kPeerChar;
    }
    line_free_ = start;
}

void TraceChecker::on_stimulus(double t, const sim::trace::Stimulus& e)
{
    if (e.verb == "send") {
        // The trace shows the bytes sent in their printable form.
        const std::string bytes = sim::trace::unprintable(e.text);
        if (bytes.empty()) return;
        const int id = next_frame_++;
        Frame frame;
        frame.bytes = bytes;
        frames_.emplace(id, std::move(frame));
        ++tally_.frames_sent;
        if (interpret_frame(bytes).kind != Effect::Kind::None) ++tally_.frames_with_command;
        add_to_line(t, bytes, id, false);
    } else if (e.verb == "noise") {
        ++tally_.noise;
        add_to_line(t, std::string(1, '\xFF'), -1, true);
    } else if (e.verb == "break") {
        ++tally_.breaks;
        add_to_line(t, "", -1, true, std::stod(e.text) * 1e-3);
    } else if (e.verb == "sensor") {
        const bool ok = e.text == "ok";
        if (!ok) ++tally_.sensor_faults;
        if (ok && !sensor_ok_) sensor_ok_since_ = t;
        if (!ok) sensor_fault_at_ = t;
        sensor_ok_ = ok;
    } else if (e.verb == "switch") {
        ++tally_.switch_changes;
    } else if (e.verb == "temp") {
        ++tally_.temperature_changes;
    } else if (e.verb == "reset") {
        restart_cause_ = RestartCause{t, e.verb, 20e-6};
    } else if (e.verb == "power") {
        powered_off_ = e.text == "off";
        if (powered_off_) restart_cause_ = RestartCause{t, e.verb, 0};
        // Back on: the node greets within its start-up, as after any reset.
        if (!powered_off_) reports_due_ = t + 1.0;
    } else if (e.verb == "brownout") {
        restart_cause_ = RestartCause{t, e.verb, std::stod(e.text) * 1e-3};
    } else if (e.verb == "fault") {
        restart_cause_ = RestartCause{t, e.verb, 0};
    } else if (e.verb == "stuck") {
        // The node may fall silent from its next send until the watchdog resets it.
        restart_cause_ = RestartCause{t, e.verb, 0};
        next_cycle_.reset();
        reports_due_ = t + kStuckRecovery + 1.0;
    }
}

// A fault, the button or the supply reset the node at once (the fault at the core's next boundary, a
// few microseconds); a stuck flag leaves it waiting until the watchdog, at most its longest timeout
// (18.8 s at the slowest LSI) after the cycle's refresh (4.83 s earlier), so within 25 s.
void TraceChecker::on_reset(double t, const std::string& cause)
{
    const bool explained = restart_cause_ && t >= restart_cause_->t &&
                           t - restart_cause_->t <= (restart_cause_->verb == "stuck" ? kStuckRecovery : 1e-3);
    if (!explained) {
        fail(t, "a reset nothing explains (" + cause + ")", "no reset", cause);
        return;
    }
    const double hold = restart_cause_->hold;
    restart_cause_.reset();
    ++tally_.restarts;
    restart(t);
    // The greeting and the first cycle's reports within the start-up and a cycle; none while the supply
    // is off (power on sets the deadline).
    if (powered_off_)
        reports_due_.reset();
    else
        reports_due_ = t + hold + 1.0;
}

// The node's side as at power-on; the board's (the sensor, the switch, the dashboard's line) goes on.
// Frames on their way are lost to the reset.
void TraceChecker::restart(double t)
{
    std::vector<int> left;
    for (const auto& [id, frame] : frames_) left.push_back(id);
    for (int id : left) decide(id, FrameOutcome::LostToReset);
    TraceChecker fresh(violations_kept_);
    fresh.tally_ = std::move(tally_);
    fresh.now_ = t;
    fresh.next_frame_ = next_frame_;
    fresh.line_free_ = line_free_;
    fresh.sensor_fault_at_ = sensor_fault_at_;
    fresh.sensor_ok_ = sensor_ok_;
    fresh.sensor_ok_since_ = sensor_ok_since_;
    fresh.switch_level_ = switch_level_;
    fresh.switch_changed_at_ = switch_changed_at_;
    fresh.powered_off_ = powered_off_;
    fresh.off_since_ = t;
    *this = std::move(fresh);
}

// ---------------------------------------------------------------------------------------------------

void TraceChecker::feed(const sim::trace::Event& event)
{
    namespace tr = sim::trace;
    const double t = sim::to_seconds(event.t);
    advance(t);
    now_ = t;
    tally_.simulated_seconds = t;
    const tr::Payload& what = event.what;
    if (const auto* tx = std::get_if<tr::Tx>(&what)) {
        on_tx(t, *tx);
    } else if (const auto* pin = std::get_if<tr::PinLevel>(&what)) {
        on_pin(t, *pin);
    } else if (const auto* pwm = std::get_if<tr::Pwm>(&what)) {
        on_pwm(t, *pwm);
    } else if (const auto* onewire = std::get_if<tr::OneWire>(&what)) {
        if (onewire->what == "conversion" && onewire->celsius) {
            conversion_t_ = t;
            conversion_celsius_ = *onewire->celsius;
        }
    } else if (const auto* violation = std::get_if<tr::Violation>(&what)) {
        ++tally_.onewire_violations;
        fail(t, "1-Wire timing violation: " + violation->what, "none",
             number(sim::to_micros(violation->measured), 3) + " us");
    } else if (const auto* stimulus = std::get_if<tr::Stimulus>(&what)) {
        on_stimulus(t, *stimulus);
    } else if (const auto* reset = std::get_if<tr::Reset>(&what)) {
        on_reset(t, reset->cause);
    } else if (const auto* note = std::get_if<tr::Note>(&what)) {
        fail(t, "simulator note: " + note->text);
    } else if (const auto* halt = std::get_if<tr::Halt>(&what)) {
        fail(t, "the node halted: " + halt->reason, "running", "halted");
    } else if (const auto* end = std::get_if<tr::End>(&what)) {
        tally_.end_reason = end->reason;
        if (end->reason != "time limit") fail(t, "the run ended early", "time limit", end->reason);
    } else if (const auto* armed = std::get_if<tr::RxArmed>(&what)) {
        if (armed->port == "USART1") {
            if (armed->armed)
                on_armed(t);
            else
                on_disarmed(t);
        }
    }
    // rx: the line model places the peer's bytes; the rx events only echo them.
}

void TraceChecker::finish()
{
    advance(now_);
    if (tally_.end_reason.empty()) fail(now_, "the trace has no end", "an end event", "none");
    // Frames not yet decided: in a reception still running, waiting for the main loop, or on the line.
    std::vector<int> left;
    for (const auto& [id, frame] : frames_) left.push_back(id);
    for (int id : left) decide(id, FrameOutcome::PendingAtEnd);
    pwm_frames_.clear();
}

}  // namespace soak
