// The trace and its writers: what a program reading the JSON lines or a waveform viewer reading the
// VCD relies on (field names, units, time order, the PWM pin's edges interleaved with the others).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "jsonl_writer.h"
#include "trace.h"
#include "vcd_writer.h"

namespace {

using namespace sim;
using namespace sim::trace;

std::vector<nlohmann::json> parse_lines(const std::string& text)
{
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(JsonlWriter, WritesEachKindWithItsFieldsAndUnits)
{
    std::ostringstream out;
    JsonlWriter writer(out);
    Trace trace;
    trace.add(writer);
    trace.record(milliseconds(1500), Tx{"USART1", 0x21});
    trace.record(milliseconds(1500), Rx{"USART1", 0x56});
    trace.record(seconds(2), PinLevel{"C13", 0, true});
    trace.record(seconds(3), Pwm{microseconds(20001), microseconds(20001)});  // constantly high
    trace.record(seconds(3), Pwm{microseconds(20001), microseconds(10000) + 500'000});
    trace.record(seconds(4), Violation{"write slot low", microseconds(20)});
    trace.record(seconds(4), OneWire{"reset", 1});
    trace.record(seconds(5), Halt{"core stopped"});
    trace.record(seconds(5), End{"halt"});
    trace.finish(seconds(5));

    auto lines = parse_lines(out.str());
    ASSERT_EQ(lines.size(), 9U);
    EXPECT_EQ(lines[0], nlohmann::json::parse(R"({"t":1.5,"kind":"tx","port":"USART1","byte":33})"));
    EXPECT_EQ(lines[1]["kind"], "rx");
    EXPECT_EQ(lines[1]["byte"], 0x56);
    EXPECT_EQ(lines[2], nlohmann::json::parse(R"({"t":2.0,"kind":"pin","pin":"C13","level":0,"driven":true})"));
    // Whole microseconds stay integers: readers compare high_us with period_us for "constantly high".
    EXPECT_TRUE(lines[3]["period_us"].is_number_integer());
    EXPECT_EQ(lines[3]["period_us"], 20001);
    EXPECT_EQ(lines[3]["high_us"], lines[3]["period_us"]);
    EXPECT_DOUBLE_EQ(lines[4]["high_us"].get<double>(), 10000.5);
    EXPECT_EQ(lines[5]["measured_us"], 20);
    EXPECT_EQ(lines[6]["value"], 1);
    EXPECT_EQ(lines[7]["reason"], "core stopped");
    EXPECT_EQ(lines[8]["kind"], "end");
}

TEST(JsonlWriter, KeepsPicosecondTimesAndOnlyTheAskedPins)
{
    std::ostringstream out;
    JsonlWriter writer(out);  // default: the LED and the switch
    Trace trace;
    trace.add(writer);
    trace.record(seconds(86399) + 123'456'789, PinLevel{"B12", 1});  // late in a day, to the nanosecond
    trace.record(seconds(86400), PinLevel{"B13", 0});                // the 1-Wire line: not asked for
    auto lines = parse_lines(out.str());
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NEAR(lines[0]["t"].get<double>(), 86399.000123456789, 1e-9);
}

TEST(JsonlWriter, TextThatIsNotUtf8DoesNotStopTheRun)
{
    std::ostringstream out;
    JsonlWriter writer(out);
    EXPECT_NO_THROW(writer.record(Event{0, Stimulus{"send", "V01=\xFF\xFE$", 3}}));
    auto lines = parse_lines(out.str());
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0]["line"], 3);
}

TEST(Trace, HandsEventsOnInTimeOrderToEverySink)
{
    Recorder a, b;
    Trace trace;
    trace.add(a);
    trace.add(b);
    trace.record(seconds(2), Tx{"USART2", 'H'});
    trace.record(seconds(1), Tx{"USART2", 'o'});  // reported late: held to the order files need
    ASSERT_EQ(a.events.size(), 2U);
    EXPECT_EQ(a.events[1].t, seconds(2));
    EXPECT_EQ(b.events.size(), 2U);
    EXPECT_STREQ(kind_of(a.events[0].what), "tx");
    EXPECT_EQ(pin_name('C', 13), "C13");
}

// A square wave of 20 ms period, high for the first 10 ms, as TIM2 would report it.
void square_wave(Picos from, Picos to, const std::function<void(Picos, int)>& edge)
{
    const Picos period = milliseconds(20);
    for (Picos start = from / period * period; start < to; start += period) {
        if (start >= from) edge(start, 1);
        if (start + milliseconds(10) >= from && start + milliseconds(10) < to) edge(start + milliseconds(10), 0);
    }
}

struct VcdChange {
    uint64_t ns;
    std::string id;
    char value;
};

// The value changes after the header, with the time each one is stamped with.
std::vector<VcdChange> changes(const std::string& text)
{
    std::vector<VcdChange> out;
    std::istringstream in(text.substr(text.find("$end", text.find("$dumpvars")) + 4));
    uint64_t now = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line[0] == '#')
            now = std::stoull(line.substr(1));
        else
            out.push_back({now, line.substr(1), line[0]});
    }
    return out;
}

TEST(VcdWriter, DeclaresEveryPinWithItsLevelAtReset)
{
    std::ostringstream out;
    VcdWriter writer(out, {{"A0", 0}, {"A9", 1}, {"B12", -1}});
    writer.finish(0);
    const std::string text = out.str();
    EXPECT_NE(text.find("$timescale 1 ns $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 ! A0 $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 \" A9 $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 # B12 $end"), std::string::npos);
    EXPECT_NE(text.find("$dumpvars\n0!\n1\"\nx#\n$end"), std::string::npos);
}

TEST(VcdWriter, InterleavesTheComputedPinsEdgesInTimeOrder)
{
    std::ostringstream out;
    std::vector<std::pair<Picos, Picos>> asked;
    VcdWriter writer(out, {{"A0", 1}, {"C13", 1}}, "A0", [&](Picos from, Picos to, const auto& edge) {
        asked.emplace_back(from, to);
        square_wave(from, to, edge);
    });
    writer.record(Event{milliseconds(25), PinLevel{"C13", 0}});
    writer.record(Event{milliseconds(25), PinLevel{"A0", 0}});   // the computed pin's own events are ignored
    writer.record(Event{milliseconds(30), PinLevel{"C13", 0}});  // no change: nothing written
    writer.record(Event{milliseconds(45), PinLevel{"C13", 1}});
    writer.finish(milliseconds(50));

    // The edges were asked for in contiguous ranges that cover the whole run, once each.
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.front().first, 0U);
    EXPECT_EQ(asked.back().second, milliseconds(50));
    for (size_t i = 1; i < asked.size(); ++i) EXPECT_EQ(asked[i].first, asked[i - 1].second);

    auto got = changes(out.str());
    // A0 is '!', C13 is '"'. A0 starts high, so its rise at 0 is no change and is not written.
    const std::vector<std::tuple<uint64_t, std::string, char>> expected = {
        {10'000'000, "!", '0'}, {20'000'000, "!", '1'}, {25'000'000, "\"", '0'},
        {30'000'000, "!", '0'}, {40'000'000, "!", '1'}, {45'000'000, "\"", '1'}};
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].ns, std::get<0>(expected[i])) << i;
        EXPECT_EQ(got[i].id, std::get<1>(expected[i])) << i;
        EXPECT_EQ(got[i].value, std::get<2>(expected[i])) << i;
    }
    // The last time stamp is the end of the run, so viewers show all of it.
    const std::string text = out.str();
    EXPECT_EQ(text.substr(text.rfind('#')), "#50000000\n");
}

TEST(VcdWriter, TimeStampsNeverGoBackAndAreWrittenOncePerTime)
{
    std::ostringstream out;
    VcdWriter writer(out, {{"B13", 1}, {"C13", 1}});
    writer.record(Event{microseconds(480), PinLevel{"B13", 0}});
    writer.record(Event{microseconds(480), PinLevel{"C13", 0}});
    writer.record(Event{microseconds(960), PinLevel{"B13", 1}});
    writer.finish(microseconds(960));
    const std::string text = out.str();
    size_t first = text.find("#480000\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("#480000\n", first + 1), std::string::npos);
    EXPECT_EQ(text.find("#960000\n"), text.rfind('#'));
}

}  // namespace
