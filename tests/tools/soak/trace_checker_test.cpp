// The soak's judge on hand-made traces: a node that behaves passes, and each kind of fault it must
// catch is caught (and a loss the design allows is not called a fault).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "trace_checker.h"

namespace {

using soak::FrameOutcome;
namespace tr = sim::trace;

constexpr double kChar = 10.0 / 9600.0;       // a character from the dashboard
constexpr double kPortBit = 10417.0 / 100e6;  // a bit as USART1 times it

sim::Picos picos(double seconds)
{
    return static_cast<sim::Picos>(std::llround(seconds * 1e12));
}

// Writes the events a node would leave in its trace, in time order, into the checker.
class NodeTrace : public ::testing::Test {
protected:
    void feed(double t, tr::Payload what) { checker.feed(tr::Event{picos(t), std::move(what)}); }
    void armed(double t, bool on) { feed(t, tr::RxArmed{"USART1", on}); }
    // Returns the time of the last byte.
    double tx(double t, const char* port, const std::string& text)
    {
        for (size_t i = 0; i < text.size(); ++i)
            feed(t + static_cast<double>(i) * kChar, tr::Tx{port, static_cast<uint8_t>(text[i])});
        return t + static_cast<double>(text.size() - 1) * kChar;
    }
    void pwm(double t, uint64_t high_us) { feed(t, tr::Pwm{sim::microseconds(20001), sim::microseconds(high_us)}); }
    void led(double t, int level) { feed(t, tr::PinLevel{"C13", level}); }
    // The LED's pin as a trace that says whether the chip drives it has it.
    void led_state(double t, int level, bool driven) { feed(t, tr::PinLevel{"C13", level, driven}); }
    // A stimulus as the trace shows it: the bytes of a send in their printable form.
    void stimulus(double t, const char* verb, const std::string& text = "")
    {
        feed(t, tr::Stimulus{verb, std::string(verb) == "send" ? tr::printable(text) : text, 1});
    }
    // A frame sent at t, ended by the idle line: reception stops one character after its last byte.
    void frame(double t, const std::string& bytes)
    {
        stimulus(t, "send", bytes);
        armed(t + static_cast<double>(bytes.size()) * kChar + 10 * kPortBit + 5e-6, false);
    }
    // The greeting, USART2's reset line and the PWM at 50 %; returns the first cycle's start.
    double start()
    {
        armed(0.0017, true);
        tx(0.0038, "USART2", "Hola\r\n");
        tx(0.0100, "USART1", "Hola\r\n");
        double b = tx(0.0162, "USART2", "reset: power-on\r\n");
        pwm(b + 1e-6, 0);
        pwm(b + 0.02, 10000);
        return b;
    }
    // One report cycle from b: the sensor's conversion, the reports (none for the temperature when
    // `a00` is empty). Returns the next cycle's start.
    double cycle(double b, double celsius, const std::string& a00)
    {
        tr::OneWire conversion{"conversion"};
        conversion.celsius = celsius;
        feed(b + 0.75, conversion);
        double last = b + 0.81 - kChar;
        if (!a00.empty()) last = tx(b + 0.81, "USART1", a00);
        last = tx(last + kChar, "USART1", "!A01=0$");
        return last + 4.0;
    }
    void end(double t)
    {
        feed(t, tr::End{"time limit"});
        checker.finish();
    }
    const soak::SoakTally& tally() const { return checker.tally(); }
    std::string first_failure() const
    {
        return tally().first_violations.empty() ? "" : tally().first_violations.front().what;
    }

    soak::TraceChecker checker;
};

TEST_F(NodeTrace, CommandAloneWhileArmedTakesEffectAtTheNextCycle)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    frame(b - 3.0, "V00=0$");
    led(b - 1e-6, 1);
    armed(b + 1e-6, true);
    b = cycle(b, 22.0, "!A00=22.0$");
    end(b);
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
    EXPECT_EQ(tally().outcome(FrameOutcome::ActedOn), 1U);
    EXPECT_EQ(tally().cycles, 2U);
}

TEST_F(NodeTrace, CommandTakenOverWithoutItsEffectFails)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    frame(b - 3.0, "V00=0$");
    armed(b + 1e-6, true);  // re-armed, but the LED stayed low
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 1U);
    EXPECT_EQ(tally().outcome(FrameOutcome::Failed), 1U);
}

TEST_F(NodeTrace, DutyShowsWithinOnePeriodOrFails)
{
    for (double delay : {0.012, 0.040}) {
        checker = soak::TraceChecker{};
        double b = cycle(start(), 22.0, "!A00=22.0$");
        frame(b - 3.0, "V01=75$");
        armed(b + 1e-6, true);
        pwm(b + delay, 15000);
        end(cycle(b, 22.0, "!A00=22.0$"));
        if (delay < 0.021) {
            EXPECT_EQ(tally().violation_count, 0U) << first_failure();
            EXPECT_EQ(tally().outcome(FrameOutcome::ActedOn), 1U);
        } else {
            EXPECT_GE(tally().violation_count, 1U);
            EXPECT_EQ(tally().outcome(FrameOutcome::Failed), 1U);
        }
    }
}

TEST_F(NodeTrace, WrongDutyOrUnaskedChangeFails)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    frame(b - 3.0, "V01=-1$");  // constantly high
    armed(b + 1e-6, true);
    pwm(b + 0.01, 20000);
    b = cycle(b, 22.0, "!A00=22.0$");
    pwm(b - 2.0, 400);  // nothing asked for this
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 2U);
}

TEST_F(NodeTrace, TemperatureReportIsTheLatchedValueRounded)
{
    double b = cycle(start(), 23.25, "!A00=23.2$");
    b = cycle(b, 23.25, "!A00=23.3$");  // half away from zero: wrong
    b = cycle(b, -0.0625, "!A00=-0.1$");
    end(b);
    EXPECT_EQ(tally().violation_count, 1U);
    EXPECT_EQ(tally().reports_sent, 3U);
}

TEST_F(NodeTrace, ReportLeftOutOnlyWhileTheSensorIsFaulty)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    b = cycle(b, 22.0, "");  // sensor fine, report missing
    EXPECT_EQ(tally().violation_count, 1U);
    stimulus(b - 1.0, "sensor", "absent");
    b = cycle(b, 22.0, "");
    stimulus(b + 0.3, "sensor", "ok");
    b = cycle(b, 22.0, "");  // back during the conversion wait: the cycle began without it
    b = cycle(b, 22.0, "!A00=22.0$");
    end(b);
    EXPECT_EQ(tally().violation_count, 1U) << first_failure();
    EXPECT_EQ(tally().reports_left_out, 3U);
}

TEST_F(NodeTrace, ReceptionEndedByALineErrorIsReArmedNextCycle)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    stimulus(b - 3.0, "noise");
    armed(b - 3.0 + 9.5625 * kPortBit + 10e-6, false);
    armed(b + 1e-6, true);
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
    EXPECT_EQ(tally().errors_ending_reception, 1U);
    EXPECT_EQ(tally().recoveries, 1U);
}

TEST_F(NodeTrace, ASensorOffTheBusMidCycleMayLeaveTheOlderReading)
{
    // Off the bus for 20 ms over the command to convert: no conversion, the scratchpad read 0.8 s later
    // holds the last one (85 C, the power-on value, before any). Any other value, or the same without a
    // dropout, fails.
    struct Case {
        bool dropout;
        const char* report;
        bool right;
    };
    for (const Case c :
         {Case{true, "!A00=22.0$", true}, Case{true, "!A00=21.0$", false}, Case{false, "!A00=22.0$", false}}) {
        checker = soak::TraceChecker{};
        double b = cycle(start(), 22.0, "!A00=22.0$");
        if (c.dropout) {
            stimulus(b + 0.0013, "sensor", "absent");
            stimulus(b + 0.0213, "sensor", "ok");
        }
        double last = tx(b + 0.81, "USART1", c.report);
        end(tx(last + kChar, "USART1", "!A01=0$") + 4.0);
        if (c.right) {
            EXPECT_EQ(tally().violation_count, 0U) << first_failure();
            EXPECT_EQ(tally().stale_readings, 1U);
        } else {
            EXPECT_EQ(first_failure(), "temperature report without a conversion in its cycle") << c.report;
        }
    }
}

TEST_F(NodeTrace, AByteAtTheReArmingInstantMayBelongToTheNewReception)
{
    // The noisy byte completes 5 us before the re-arming: after the arming cleared the port's flags and
    // before its DMA request went on, so the new reception ends as soon as it is live. Had it come
    // 50 us earlier, the arming's clearing would have discarded it and the reception gone on.
    for (double before : {5e-6, 50e-6}) {
        checker = soak::TraceChecker{};
        double b = cycle(start(), 22.0, "!A00=22.0$");
        frame(b - 3.0, "xx");
        stimulus(b - before - 9.5625 * kPortBit, "noise");
        armed(b, true);
        armed(b + 3e-6, false);
        end(cycle(b, 22.0, "!A00=22.0$"));
        if (before < 20e-6) {
            EXPECT_EQ(tally().violation_count, 0U) << first_failure();
            EXPECT_EQ(tally().errors_ending_reception, 1U);
        } else {
            EXPECT_EQ(first_failure(), "reception ended with nothing received and no line error");
        }
    }
    // A clean byte there is stored when the DMA request comes on: a frame of one byte, ended by the idle
    // line after it.
    checker = soak::TraceChecker{};
    double b = cycle(start(), 22.0, "!A00=22.0$");
    frame(b - 3.0, "xx");
    stimulus(b - 5e-6 - 9.5625 * kPortBit, "send", "1");
    armed(b, true);
    armed(b - 5e-6 + 0.5 * kPortBit + 10 * kPortBit + 5e-6, false);
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
}

TEST_F(NodeTrace, ReceptionLeftOffForACycleIsDeafness)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    stimulus(b - 3.0, "break", "20");
    armed(b - 3.0 + 9.5625 * kPortBit + 10e-6, false);
    b = cycle(b, 22.0, "!A00=22.0$");  // no re-arm at this cycle's start
    frame(b - 2.0, "V00=0");           // lost while deaf: arrived while off after an error
    end(b);
    EXPECT_EQ(tally().violation_count, 1U);
    EXPECT_EQ(first_failure(), "reception not re-armed at the start of a cycle");
    EXPECT_EQ(tally().outcome(FrameOutcome::OffAfterError), 1U);
}

TEST_F(NodeTrace, ReArmingOnlyAtACyclesStart)
{
    // The main loop re-arms within microseconds after the flag test that starts a cycle; 1 ms before it
    // the loop is still in its 4 s wait.
    struct Case {
        double offset;
        bool right;
    };
    for (const Case c : {Case{-1e-3, false}, Case{-30e-6, true}, Case{1e-6, true}, Case{2.5e-3, true}}) {
        checker = soak::TraceChecker{};
        double b = cycle(start(), 22.0, "!A00=22.0$");
        frame(b - 3.0, "xx");
        armed(b + c.offset, true);
        end(cycle(b, 22.0, "!A00=22.0$"));
        if (c.right) {
            EXPECT_EQ(tally().violation_count, 0U) << c.offset << ": " << first_failure();
        } else {
            EXPECT_EQ(first_failure(), "reception re-armed outside the start of a cycle") << c.offset;
        }
    }
}

TEST_F(NodeTrace, ANodeThatStopsReportingFails)
{
    // Reports stop after the first cycle (held up in an interrupt, say): the second cycle's never come.
    double b = cycle(start(), 22.0, "!A00=22.0$");
    end(b + 10.0);
    EXPECT_EQ(first_failure(), "the node fell silent");
    // No greeting at all.
    checker = soak::TraceChecker{};
    end(5.0);
    EXPECT_EQ(first_failure(), "the node fell silent");
    // A run that ends before the reports are due is no silence.
    checker = soak::TraceChecker{};
    end(start() + 0.5);
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
}

TEST_F(NodeTrace, FrameThatNeverEndsFails)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    stimulus(b - 3.0, "send", "V00=0$");  // the idle line passes and reception stays armed
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(first_failure(), "reception did not end");
}

TEST_F(NodeTrace, LossesTheDesignAllowsAreNoFaults)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    frame(b - 3.0, "V00=0$");
    stimulus(b - 2.0, "send", "V01=20$");  // reception is stopped: a frame is pending
    frame(b - 1.5 + 0, "xx");              // not stored either
    led(b - 1e-6, 1);
    armed(b + 1e-6, true);
    b = cycle(b, 22.0, "!A00=22.0$");
    // 60 bytes, the command past the cut: reception ends at the 50th byte and nothing happens.
    const std::string long_frame = std::string(55, 'x') + "V00=1";
    const double t0 = b - 3.0;
    stimulus(t0, "send", long_frame);
    armed(t0 + 49 * kChar + 9.5625 * kPortBit + 5e-6, false);
    armed(b + 1e-6, true);
    b = cycle(b, 22.0, "!A00=22.0$");
    frame(b - 3.0, "hello");
    armed(b + 1e-6, true);
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
    EXPECT_EQ(tally().frames_sent, 5U);
    EXPECT_EQ(tally().outcome(FrameOutcome::ActedOn), 1U);
    EXPECT_EQ(tally().outcome(FrameOutcome::SecondInCycle), 2U);
    EXPECT_EQ(tally().outcome(FrameOutcome::CutAt50), 1U);
    EXPECT_EQ(tally().outcome(FrameOutcome::NotACommand), 1U);
}

TEST_F(NodeTrace, SensorTimingViolationAndHaltFail)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    feed(b + 0.1, tr::Violation{"time slot shorter than 60 us", sim::microseconds(55)});
    feed(b + 0.2, tr::Halt{"fault"});
    feed(b + 0.2, tr::End{"halt"});
    checker.finish();
    EXPECT_EQ(tally().onewire_violations, 1U);
    EXPECT_EQ(tally().violation_count, 3U);
}

// ---------------------------------------------------------------------------------------------------
// The LED's pin from reset.

TEST_F(NodeTrace, PinStatesAtResetAndTheSetUpDrivingTheLedAreNoChanges)
{
    led_state(0.0, 0, false);  // an input from reset
    feed(0.0, tr::PinLevel{"B12", 0, false});
    led_state(0.0015, 0, true);  // the set-up makes it an output, already low
    double b = cycle(start(), 22.0, "!A00=22.0$");
    frame(b - 3.0, "V00=0$");
    led_state(b - 1e-6, 1, true);
    armed(b + 1e-6, true);
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
    EXPECT_EQ(tally().outcome(FrameOutcome::ActedOn), 1U);
}

TEST_F(NodeTrace, LedPinLetGoOrNeverDrivenFails)
{
    // Released to an input mid-run: the LED goes dark although the level stays.
    led_state(0.0, 0, false);
    led_state(0.0015, 0, true);
    double b = cycle(start(), 22.0, "!A00=22.0$");
    led_state(b - 2.0, 0, false);
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(first_failure(), "the LED changed with no command taken over");

    // Never made an output: a command finds it undriven at the level it asks for.
    checker = soak::TraceChecker{};
    led_state(0.0, 1, false);
    b = start();
    b = cycle(b, 22.0, "!A00=22.0$");
    frame(b - 3.0, "V00=0$");
    armed(b + 1e-6, true);
    end(cycle(b, 22.0, "!A00=22.0$"));
    ASSERT_EQ(tally().violation_count, 2U);
    EXPECT_EQ(tally().first_violations[0].what, "the LED's pin not driven after the set-up");
    EXPECT_EQ(tally().first_violations[1].seen, "C13 not driven (reads 1)");
    EXPECT_EQ(tally().outcome(FrameOutcome::Failed), 1U);
}

// A line error the node misses: its flag cleared before the handler saw it (by the main loop's poll of
// SR while it sends a report, followed by the DMA's read of DR), the byte stored and the frame before it
// taken. A fault whenever it happens.

TEST_F(NodeTrace, ALineErrorThatDoesNotEndTheReceptionFailsWhileSendingOrNot)
{
    for (bool while_sending : {true, false}) {
        checker = soak::TraceChecker{};
        const double b = cycle(start(), 22.0, "!A00=22.0$");
        feed(b + 0.75, tr::OneWire{"conversion", -1, 22.0});
        // The noise completes half a character into the report's first character, or in the pause, right
        // behind a frame; reception ends at the idle line after the noisy byte.
        const double report = b + 0.81;
        const double error = while_sending ? report - 0.5 * kChar : b - 3.0;
        const double sent = error - 6 * kChar - 9.5625 * kPortBit;
        stimulus(sent, "send", "V00=0$");
        stimulus(sent, "noise");
        const double off = sent + 7 * kChar + 10 * kPortBit + 5e-6;
        double next = b;
        if (while_sending) {
            tx(report, "USART1", "!");
            armed(off, false);
            double last = tx(report + kChar, "USART1", "A00=22.0$");
            next = tx(last + kChar, "USART1", "!A01=0$") + 4.0;
        } else {
            armed(off, false);
        }
        led_state(next - 1e-6, 1, true);  // the frame, noise and all, taken: V00=0
        armed(next + 1e-6, true);
        end(cycle(next, 22.0, "!A00=22.0$"));
        EXPECT_EQ(first_failure(), "reception did not end after a line error") << while_sending;
        EXPECT_EQ(tally().errors_ending_reception, 0U);
    }
}

}  // namespace

namespace {

// A reset the scenario's button (or a fault, or the supply) explains starts the checks afresh from the
// new greeting; one nothing explains fails, and so does a node that does not come back.
class NodeTraceResets : public NodeTrace {
protected:
    // The chip resets at t and the node starts again: greetings, USART2's line, a cycle of reports.
    double restart_at(double t, const char* cause, const char* line)
    {
        feed(t, tr::Reset{cause});
        armed(t + 0.0017, true);
        tx(t + 0.0038, "USART2", "Hola\r\n");
        tx(t + 0.0100, "USART1", "Hola\r\n");
        const double b = tx(t + 0.0162, "USART2", line);
        pwm(b + 1e-6, 0);
        pwm(b + 0.02, 10000);
        return cycle(b, 22.0, "!A00=22.0$");
    }
};

TEST_F(NodeTraceResets, AResetTheButtonExplainsIsFollowedFromTheNewGreeting)
{
    double b = cycle(start(), 22.0, "!A00=22.0$");
    stimulus(b + 1.0, "reset");
    b = restart_at(b + 1.0, "pin", "reset: pin\r\n");
    stimulus(b + 1.0, "fault", "hardfault");
    b = restart_at(b + 1.0, "software", "reset: software (hardfault)\r\n");
    end(cycle(b, 22.0, "!A00=22.0$"));
    EXPECT_EQ(tally().violation_count, 0U) << first_failure();
    EXPECT_EQ(tally().restarts, 2U);
}

TEST_F(NodeTraceResets, AResetNothingExplainsFails)
{
    const double b = cycle(start(), 22.0, "!A00=22.0$");
    restart_at(b + 1.0, "watchdog", "reset: watchdog\r\n");
    EXPECT_EQ(first_failure(), "a reset nothing explains (watchdog)");
    EXPECT_EQ(tally().restarts, 0U);
}

// Explained, but the node never greets again: it fell silent.
TEST_F(NodeTraceResets, ANodeThatDoesNotComeBackFails)
{
    const double b = cycle(start(), 22.0, "!A00=22.0$");
    stimulus(b + 1.0, "brownout", "50");
    feed(b + 1.0, tr::Reset{"brown-out"});
    end(b + 10.0);
    EXPECT_EQ(first_failure(), "the node fell silent");
}

// The stimulus explains only a reset at its own time (a stuck flag: the watchdog's, within 25 s).
TEST_F(NodeTraceResets, AResetLongAfterItsStimulusIsNotExplained)
{
    const double b = cycle(start(), 22.0, "!A00=22.0$");
    stimulus(b + 1.0, "reset");
    restart_at(b + 1.5, "pin", "reset: pin\r\n");
    EXPECT_EQ(first_failure(), "a reset nothing explains (pin)");
}

}  // namespace
