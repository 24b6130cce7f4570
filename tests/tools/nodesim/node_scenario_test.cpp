// Whole-node behaviour, each test one run of nodesim from reset with a scenario, judged from its trace.
// Times of a typical run: the greeting at about 0.02 s; every cycle the measurement (0.81 s: 1-Wire
// traffic and the 800 ms conversion wait), the two reports (17 characters, 17.7 ms at 9600 baud) and the
// 4 s wait, so cycles start at about 0, 4.83, 9.66 s and their reports at about 0.81, 5.64, 10.47 s.
#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "nodesim_run.h"

namespace {

using scenario_test::NodeRun;
using scenario_test::run_node;
using sim::trace::Pwm;

std::vector<double> temperature_report_times(const NodeRun& run)
{
    std::vector<double> times;
    for (const auto& m : run.reports())
        if (m.text.rfind("!A00=", 0) == 0) times.push_back(m.t);
    return times;
}

// Time from the start of a cycle (when a pending frame is acted on) to its temperature report.
constexpr double kMeasurement = 0.806;

TEST(NodeScenario, FrameDuringTheMeasurementWaitsForTheFollowingCycle)
{
    // Cycle 2 starts at about 4.83 s and measures until about 5.64 s: a frame at 5.2 s is interpreted
    // at the start of cycle 3 (about 9.66 s), before that cycle's measurement.
    NodeRun run = run_node("5.2 send V01=75$\n", 12.0);
    ASSERT_EQ(run.status, 0) << run.output;
    auto times = temperature_report_times(run);
    ASSERT_GE(times.size(), 3U);
    auto pwm = run.of_kind<Pwm>();
    auto at_75 =
        std::find_if(pwm.begin(), pwm.end(), [](const auto& e) { return e.what.high == sim::microseconds(15000); });
    ASSERT_NE(at_75, pwm.end()) << "V01=75$ takes effect";
    double t = at_75->t;
    EXPECT_GT(t, times[1]);
    // The new compare value takes effect at the next counter overflow, within one 20 ms period.
    EXPECT_NEAR(times[2] - t, kMeasurement, 0.03);
}

TEST(NodeScenario, OfTwoFramesInOneCycleOnlyTheFirstIsActedOn)
{
    // Both frames fall in cycle 1's wait. The first is taken and reception stops; the second is lost,
    // so the LED goes high and stays high. A frame after re-arming is taken again.
    NodeRun run = run_node("1.5 send V00=0\n2.5 send V00=1\n6.0 send V00=1\n", 12.0);
    ASSERT_EQ(run.status, 0) << run.output;
    auto led = run.pin("C13");
    ASSERT_EQ(led.size(), 2U);
    EXPECT_EQ(led[0].second, 1);
    EXPECT_NEAR(led[0].first, 4.83, 0.05);
    EXPECT_EQ(led[1].second, 0);
    EXPECT_NEAR(led[1].first, 9.66, 0.05);
}

TEST(NodeScenario, TraceStatesThePinsAtResetAndWhenTheLedIsDriven)
{
    NodeRun run = run_node("", 2.0, {"--switch", "1"});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto led = run.pin_states("C13");
    const auto b12 = run.pin_states("B12");
    ASSERT_EQ(b12.size(), 1U);
    EXPECT_EQ(b12[0].t, 0.0);
    EXPECT_EQ(b12[0].what.level, 1);
    EXPECT_EQ(b12[0].what.driven, false);  // the switch drives it, not the chip
    // At reset an input (the LED dark); then an output already low, before the greeting: the LED lights
    // with no change of level. Nothing else, with no command.
    ASSERT_EQ(led.size(), 2U) << run.output;
    EXPECT_EQ(led[0].t, 0.0);
    EXPECT_EQ(led[0].what.level, 0);
    EXPECT_EQ(led[0].what.driven, false);
    EXPECT_EQ(led[1].what.level, 0);
    EXPECT_EQ(led[1].what.driven, true);
    const auto greeting = run.sent("USART2");
    ASSERT_FALSE(greeting.empty());
    EXPECT_GT(led[1].t, 0.0);
    EXPECT_LT(led[1].t, greeting.front().t);
    EXPECT_TRUE(run.pin("C13").empty());
    // They are the trace's first events.
    ASSERT_GE(run.events.size(), 2U);
    EXPECT_TRUE(std::holds_alternative<sim::trace::PinLevel>(run.events[0].what));
    EXPECT_TRUE(std::holds_alternative<sim::trace::PinLevel>(run.events[1].what));
}

TEST(NodeScenario, TraceShowsTheFramesBytesOnTheLineAtTheirTimes)
{
    NodeRun run = run_node("2.0 send V00=0\\r\\n\n", 3.0);  // the escapes as a scenario writes them
    ASSERT_EQ(run.status, 0) << run.output;
    auto stimuli = run.of_kind<sim::trace::Stimulus>();
    ASSERT_EQ(stimuli.size(), 1U);
    EXPECT_EQ(stimuli[0].what.verb, "send");
    EXPECT_EQ(stimuli[0].what.text, "V00=0\\r\\n");
    EXPECT_EQ(stimuli[0].what.line, 1);
    auto rx = run.of_kind<sim::trace::Rx>();
    ASSERT_EQ(rx.size(), 7U);
    const std::string expected = "V00=0\r\n";
    for (size_t i = 0; i < rx.size(); ++i) {
        EXPECT_EQ(rx[i].what.port, "USART1");
        EXPECT_EQ(rx[i].what.byte, static_cast<unsigned char>(expected[i]));
        // Back to back at 9600 baud: each byte's stop bit ends 1.0417 ms after the one before.
        EXPECT_NEAR(rx[i].t, 2.0 + (i + 1) * 0.0010416667, 1e-6) << i;
    }
}

TEST(NodeScenario, SensorSeesAWholeMeasurementEveryCycleWithinItsTimingWindows)
{
    NodeRun run = run_node("", 1.0, {"--temp", "-10.125"});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto violations = run.of_kind<sim::trace::Violation>();
    EXPECT_TRUE(violations.empty()) << violations[0].what.what;
    std::vector<std::string> seen;
    for (const auto& [t, e] : run.of_kind<sim::trace::OneWire>()) {
        std::string what = e.what;
        if (e.value >= 0) what += " " + std::to_string(e.value);
        if (e.celsius) what += " " + std::to_string(*e.celsius);
        seen.push_back(what);
    }
    // Skip ROM, Convert T, the conversion (750 ms at 12 bits) inside the 800 ms wait, then Skip ROM,
    // Read Scratchpad and all nine bytes.
    std::vector<std::string> expected = {"reset", "presence", "write 204", "write 68", "conversion -10.125000",
                                         "reset", "presence", "write 204", "write 190"};
    ASSERT_EQ(seen.size(), expected.size() + 9) << run.output;
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + expected.size()), expected);
    for (size_t i = expected.size(); i < seen.size(); ++i) EXPECT_EQ(seen[i].rfind("read ", 0), 0U) << seen[i];
}

TEST(NodeScenario, TraceShowsWhenReceptionIsArmed)
{
    // Armed at start-up; stopped one character after a frame's last byte; re-armed at the next cycle's
    // start; stopped by a noisy byte at once; re-armed at the cycle after.
    NodeRun run = run_node("1.0 send V00=0\n6.0 noise\n", 11.0);
    ASSERT_EQ(run.status, 0) << run.output;
    auto armed = run.of_kind<sim::trace::RxArmed>();
    const std::vector<std::pair<double, bool>> expected = {
        {0.0017, true}, {1.0052 + 0.0010417, false}, {4.8607, true}, {6.0010, false}, {9.6887, true}};
    ASSERT_EQ(armed.size(), expected.size());
    for (size_t i = 0; i < armed.size(); ++i) {
        EXPECT_EQ(armed[i].what.port, "USART1");
        EXPECT_EQ(armed[i].what.armed, expected[i].second) << i;
        EXPECT_NEAR(armed[i].t, expected[i].first, 0.001) << i;
    }
}

TEST(NodeScenario, LineHeldLowThroughTheFirstResetGivesNoStaleReading)
{
    // The line is shorted from reset until 5.0 s: cycle 2's first reset (4.84 s) falls in the short, so
    // no conversion starts; the short is gone by its second reset, where the part answers with the
    // scratchpad's power-on 85.0 C and a good CRC. That is no measurement of the 40 C at the sensor.
    NodeRun run = run_node("0 sensor low\n0.5 temp 40\n5.0 sensor ok\n", 14.0);
    ASSERT_EQ(run.status, 0) << run.output;
    auto reports = run.reports();
    ASSERT_EQ(reports.size(), 4U) << run.text("USART1");
    EXPECT_EQ(reports[0].text, "!A01=0$");
    EXPECT_EQ(reports[1].text, "!A01=0$") << "cycle 2 measured nothing";
    EXPECT_EQ(reports[2].text, "!A00=40.0$");
}

TEST(NodeScenario, PwmStartsLowThenRunsAtHalfAndFollowsCommands)
{
    NodeRun run = run_node("1 send V01=75$\n6 send V01=-1$\n11 send V01=0$\n", 16.0);
    ASSERT_EQ(run.status, 0) << run.output;
    auto pwm = run.of_kind<Pwm>();
    ASSERT_EQ(pwm.size(), 5U) << run.output;
    for (const auto& e : pwm) EXPECT_EQ(e.what.period, sim::microseconds(20001));
    EXPECT_EQ(pwm[0].what.high, 0U);  // the first period after start is low
    EXPECT_EQ(pwm[1].what.high, sim::microseconds(10000));
    EXPECT_NEAR(pwm[1].t - pwm[0].t, 0.020001, 1e-6);
    EXPECT_EQ(pwm[2].what.high, sim::microseconds(15000));
    EXPECT_EQ(pwm[3].what.high, sim::microseconds(20001));  // -1 reduces to 65535: constantly high
    EXPECT_EQ(pwm[4].what.high, 0U);
}

TEST(NodeScenario, TraceEndsAtTheTimeLimitAndTheLastLineGivesTheRatio)
{
    NodeRun run = run_node("", 1.5);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.end_reason(), "time limit");
    EXPECT_EQ(run.last().t, sim::milliseconds(1500));
    ASSERT_FALSE(run.output.empty());
    std::string last_line = run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1);
    EXPECT_NE(last_line.find("1.500000 s of virtual time"), std::string::npos) << last_line;
    EXPECT_NE(last_line.find("times real time"), std::string::npos) << last_line;
}

TEST(NodeScenario, WaveformShowsEveryPinTheNodeUses)
{
    const std::string vcd_path = scenario_test::test_directory() + "/node.vcd";
    NodeRun run = run_node("", 1.0, {"--vcd", vcd_path});
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream in(vcd_path);
    ASSERT_TRUE(in.good());
    std::map<std::string, std::string> name_of;  // identifier -> pin
    std::vector<std::string> names;
    std::map<std::string, std::vector<std::pair<uint64_t, char>>> changes;
    uint64_t now = 0;
    bool in_body = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "$var") {
            std::string type, width, id, name;
            words >> type >> width >> id >> name;
            name_of[id] = name;
            names.push_back(name);
        } else if (first == "$enddefinitions") {
            in_body = true;
        } else if (in_body && !line.empty() && line[0] == '#') {
            now = std::stoull(line.substr(1));
        } else if (in_body && !line.empty() && (line[0] == '0' || line[0] == '1')) {
            changes[name_of[line.substr(1)]].emplace_back(now, line[0]);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"A0", "A9", "A10", "A2", "A3", "B12", "B13", "C13"}));
    // Every pin has a level at time 0: the idle receive lines and the pulled-up 1-Wire line high, the
    // rest low. C13 stays low when it becomes driven, which a level cannot show.
    for (const std::string& name : names) {
        ASSERT_FALSE(changes[name].empty()) << name;
        EXPECT_EQ(changes[name].front().first, 0U) << name;
        EXPECT_EQ(changes[name].front().second, name == "A10" || name == "A3" || name == "B13" ? '1' : '0') << name;
    }
    EXPECT_EQ(changes["C13"].size(), 1U);
    EXPECT_EQ(now, 1'000'000'000U) << "the dump runs to the end of the run";

    // A0: the PWM's rising edges 20.001 ms apart, each followed by 10 ms high.
    std::vector<uint64_t> rises, falls;
    for (auto [t, v] : changes["A0"]) (v == '1' ? rises : falls).push_back(t);
    ASSERT_GE(rises.size(), 40U);
    for (size_t i = 1; i < rises.size(); ++i) EXPECT_EQ(rises[i] - rises[i - 1], 20'001'000U) << i;
    ASSERT_GE(falls.size(), rises.size() - 1);
    for (size_t i = 0; i + 1 < rises.size(); ++i) {
        auto fall = std::upper_bound(falls.begin(), falls.end(), rises[i]);
        ASSERT_NE(fall, falls.end());
        EXPECT_EQ(*fall - rises[i], 10'000'000U) << i;
    }
    // Both transmit lines carried their greeting; the 1-Wire line carried the measurement's slots.
    EXPECT_GE(changes["A2"].size(), 12U);
    EXPECT_GE(changes["A9"].size(), 12U);
    EXPECT_GE(changes["B13"].size(), 2U * (2 + 32 + 72));  // two resets, four bytes written, nine read
}

// Runs that share their beginning: each branch's trace is the run of the whole scenario with that
// branch's lines (the stimuli's line numbers are the branches file's), whichever branches ran beside it,
// and the run it branched from goes on as the run without any.
TEST(NodeScenario, EachBranchIsTheRunItContinues)
{
    const std::string dir = scenario_test::test_directory() + "-input";
    std::filesystem::create_directories(dir);
    const std::string branches = dir + "/branches";
    std::ofstream(branches) << "branch frame\n5.2 send V01=75$\nbranch switch\n5.0000001 switch 1\n5.3 temp 30\n"
                               "branch none\n";
    const std::vector<std::string> branching{"--branch-at", "4.9", "--branches", branches, "--jobs", "2"};
    NodeRun parent = run_node("4 send V00=0\n", 10.0, branching);
    ASSERT_EQ(parent.status, 0) << parent.output;
    const std::string traces = scenario_test::test_directory();
    auto alone = [&](const std::string& scenario) {
        NodeRun run = run_node(scenario, 10.0, {"--branch-at", "4.9"});
        EXPECT_EQ(run.status, 0) << run.output;
        return scenario_test::without_line_numbers(traces + "/trace.jsonl");
    };
    const std::string frame = scenario_test::without_line_numbers(traces + "/trace.frame.jsonl");
    const std::string edge = scenario_test::without_line_numbers(traces + "/trace.switch.jsonl");
    const std::string none = scenario_test::without_line_numbers(traces + "/trace.none.jsonl");
    const std::string base = scenario_test::without_line_numbers(traces + "/trace.jsonl");
    EXPECT_NE(frame.find("\"pwm\",\"period_us\":20001,\"high_us\":15000"), std::string::npos);
    EXPECT_EQ(frame, alone("4 send V00=0\n5.2 send V01=75$\n"));
    EXPECT_EQ(edge, alone("4 send V00=0\n5.0000001 switch 1\n5.3 temp 30\n"));
    EXPECT_EQ(none, alone("4 send V00=0\n"));
    EXPECT_EQ(base, none);

    // A branch that would go back in time, and branches with nowhere to branch, are bad input.
    std::ofstream(branches) << "branch late\n4.8 noise\n";
    NodeRun early = run_node("", 5.0, branching);
    EXPECT_EQ(early.status, 2) << early.output;
    EXPECT_NE(early.output.find(branches + ":2:"), std::string::npos) << early.output;
    NodeRun no_moment = run_node("", 5.0, {"--branches", branches});
    EXPECT_EQ(no_moment.status, 2) << no_moment.output;
    EXPECT_NE(no_moment.output.find("--branch-at"), std::string::npos) << no_moment.output;
}

// The built-in firmware's 1-Wire timing over a few measurements, judged at the run's end: every window
// kept, the presence sampled at 70 us or a little after (the cycle counter's poll overshoots).
TEST(NodeScenario, OneWireMarginsAreReportedAtTheEnd)
{
    NodeRun run = run_node("", 10.0, {"--onewire-margins"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("OUTSIDE"), std::string::npos) << run.output;
    const size_t row = run.output.find("presence sample after release  60-75");
    ASSERT_NE(row, std::string::npos) << run.output;
    std::istringstream fields(run.output.substr(row + 36));
    int count = 0;
    double min = 0, max = 0;
    fields >> count >> min >> max;
    EXPECT_EQ(count, 5);  // two resets a measurement, the third measurement begun
    EXPECT_GE(min, 70.0);
    EXPECT_LE(max, 75.0 - 2.0);  // 2 us at least from the earliest end of a presence pulse
}

// Every kind of bad input ends the same way: a message naming what is wrong and status 2, before the
// node runs.
TEST(NodeScenario, BadInputEndsWithAClearMessageAndStatusTwo)
{
    NodeRun bad_scenario = run_node("1 send V00=1\n2 blink\n", 1.0);
    EXPECT_EQ(bad_scenario.status, 2);
    EXPECT_NE(bad_scenario.output.find("stimuli.scn:2: unknown verb 'blink'"), std::string::npos)
        << bad_scenario.output;
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {"--switch", "2"}, {"--temp", "200"}, {"--duration", "-1"}, {"--no-such-option"}, {"--speed"}}) {
        NodeRun bad_option = run_node("", 1.0, options);
        EXPECT_EQ(bad_option.status, 2) << options[0] << ": " << bad_option.output;
        EXPECT_NE(bad_option.output.find(options[0]), std::string::npos) << bad_option.output;
    }
    NodeRun missing_scenario = run_node("", 1.0, {"--scenario", "/nonexistent/stimuli.scn"});
    EXPECT_EQ(missing_scenario.status, 2) << missing_scenario.output;
    NodeRun unwritable = run_node("", 1.0, {"--vcd", "/nonexistent/pins.vcd"});
    EXPECT_EQ(unwritable.status, 2) << unwritable.output;
    EXPECT_NE(unwritable.output.find("/nonexistent/pins.vcd"), std::string::npos) << unwritable.output;
    EXPECT_TRUE(unwritable.events.empty());
}

// A binary file given as the scenario: its bytes are named in the message, escaped, never sent to the
// terminal as they are (an escape sequence would clear the screen or worse), and a line of it is cut.
TEST(NodeScenario, BinaryScenarioIsShownEscapedInTheMessage)
{
    // An ELF header's first bytes, a clear-screen and a set-title sequence, then a long run of one byte.
    const std::string binary = std::string(
                                   "\x7F"
                                   "ELF\x01\x01\x00\x1B[2J\x1B]0;title\x07\xFF\xFE",
                                   23) +
                               std::string(5000, '\x01') + "\n";
    NodeRun run = run_node(binary, 1.0);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("stimuli.scn:1:"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\\x7FELF\\x01\\x01\\x00\\x1B[2J\\x1B]0;title\\x07\\xFF\\xFE"), std::string::npos)
        << run.output;
    for (char c : run.output)
        EXPECT_TRUE((c >= 0x20 && c < 0x7F) || c == '\n') << "raw byte " << int(static_cast<unsigned char>(c));
    EXPECT_LT(run.output.size(), 400U) << run.output;
}

}  // namespace
