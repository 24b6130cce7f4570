// The trace read back from its JSON lines: every kind of event comes back as it was written, and a line
// that is no trace event is refused rather than read as something else.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "jsonl_reader.h"
#include "jsonl_writer.h"

namespace {

namespace tr = sim::trace;

std::string line_of(const tr::Event& event)
{
    return tr::JsonlWriter::to_json(event).dump();
}

TEST(JsonlReader, EveryKindOfEventComesBackAsWritten)
{
    const tr::OneWire conversion{"conversion", -1, 22.0625, sim::microseconds(812'345), sim::microseconds(750)};
    const tr::OneWire read{"read", 0xBE, std::nullopt, sim::seconds(3), sim::nanoseconds(61'500)};
    const std::vector<tr::Event> events = {
        {sim::microseconds(4'812'345), tr::Tx{"USART1", 0xFF}},
        {sim::milliseconds(20), tr::Rx{"USART1", '$'}},
        {sim::nanoseconds(9'600'000'250), tr::PinLevel{"C13", 0}},
        {0, tr::PinLevel{"C13", 0, false}},
        {sim::milliseconds(2), tr::PinLevel{"C13", 0, true}},
        {sim::seconds(1), tr::Pwm{sim::microseconds(20'001), sim::nanoseconds(666'500)}},
        {sim::seconds(2), conversion},
        {sim::seconds(3), read},
        {sim::seconds(4), tr::Violation{"reset pulse shorter than 480 us", sim::nanoseconds(479'990)}},
        {sim::seconds(5), tr::Stimulus{"send", "V00=1\\r\\n", 7}},
        {sim::seconds(5), tr::Stimulus{"noise", "", 0}},
        {sim::seconds(6), tr::Note{"write to an unmodelled offset"}},
        {sim::seconds(7), tr::Halt{"core stopped"}},
        {sim::seconds(7), tr::RxArmed{"USART1", true}},
        {sim::seconds(8), tr::Reset{"watchdog"}},
        {sim::seconds(1800) + 1, tr::End{"time limit"}},
    };
    // Every alternative of the payload is in the list: a new kind without its reader line fails here.
    std::vector<bool> seen(std::variant_size_v<tr::Payload>);
    for (const tr::Event& event : events) seen[event.what.index()] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
    for (const tr::Event& event : events) {
        const std::string line = line_of(event);
        const tr::Event back = tr::read_event(line);
        EXPECT_EQ(back.t, event.t) << line;
        EXPECT_EQ(back.what.index(), event.what.index()) << line;
        EXPECT_EQ(line_of(back), line);
    }
    // Fields compared one by one where the JSON form rounds (durations in microseconds).
    const auto pwm = std::get<tr::Pwm>(tr::read_event(line_of(events[5])).what);
    EXPECT_EQ(pwm.period, sim::microseconds(20'001));
    EXPECT_EQ(pwm.high, sim::nanoseconds(666'500));
    const auto one_wire = std::get<tr::OneWire>(tr::read_event(line_of(events[7])).what);
    EXPECT_EQ(one_wire.value, 0xBE);
    EXPECT_FALSE(one_wire.celsius.has_value());
    EXPECT_EQ(one_wire.duration, sim::nanoseconds(61'500));
    EXPECT_EQ(std::get<tr::Tx>(tr::read_event(line_of(events[0])).what).byte, 0xFF);
    // Whether the chip drives a pin: false and true both come back, and a trace that never said (an
    // older one) leaves it unknown rather than guessing.
    EXPECT_EQ(std::get<tr::PinLevel>(tr::read_event(line_of(events[3])).what).driven, false);
    EXPECT_EQ(std::get<tr::PinLevel>(tr::read_event(line_of(events[4])).what).driven, true);
    EXPECT_FALSE(std::get<tr::PinLevel>(tr::read_event(line_of(events[2])).what).driven.has_value());
}

// A week into a run the file keeps a double's 16 digits of seconds: the time comes back within a
// fraction of a nanosecond.
TEST(JsonlReader, LateTimesComeBackWithinTheFilesPrecision)
{
    const sim::Picos week = sim::seconds(7 * 86'400) + 123'456;
    const tr::Event back = tr::read_event(line_of({week, tr::End{"time limit"}}));
    EXPECT_LE(back.t > week ? back.t - week : week - back.t, 200U);
}

TEST(JsonlReader, RefusesWhatIsNoTraceEvent)
{
    for (const char* line : {"", "not json", "[1,2]", "{\"t\":1.0}", "{\"kind\":\"end\",\"reason\":\"halt\"}",
                             "{\"t\":1.0,\"kind\":\"tx\",\"port\":\"USART1\"}",
                             "{\"t\":1.0,\"kind\":\"pin\",\"pin\":\"C13\",\"level\":\"low\"}",
                             "{\"t\":-1.0,\"kind\":\"end\",\"reason\":\"halt\"}", "{\"t\":1.0,\"kind\":7}",
                             // A kind it does not know: refused, not dropped, so that no judge reads a
                             // trace with events silently missing.
                             "{\"t\":1.0,\"kind\":\"thermal_camera\",\"frame\":3}", "{\"t\":1.0,\"kind\":\"reset\"}"})
        EXPECT_THROW(tr::read_event(line), std::runtime_error) << line;
}

// A kind the reader does not know (a newer simulator's, or one added to the writer alone) stops the
// reading at its line, with the line and the kind in the message: a judge that skipped it would pass a
// run on the events it does know.
TEST(JsonlReader, AKindItDoesNotKnowIsAnErrorNamingTheLineAndTheKind)
{
    const auto message_of = [](tr::JsonlReader& reader, std::string_view line) -> std::string {
        try {
            reader.read(line);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "read without an error";
    };
    tr::JsonlReader reader;
    EXPECT_TRUE(reader.read(line_of({sim::seconds(1), tr::Tx{"USART1", 'H'}})).has_value());
    EXPECT_FALSE(reader.read("").has_value());  // counted, not read
    std::string message = message_of(reader, R"({"t":2.0,"kind":"thermal_camera","frame":3})");
    EXPECT_NE(message.find("line 3:"), std::string::npos) << message;
    EXPECT_NE(message.find("\"thermal_camera\""), std::string::npos) << message;
    EXPECT_NE(message.find("rx_armed"), std::string::npos) << message;  // and what it does know
    // A known kind without a field it always has: the line and the kind as well.
    message = message_of(reader, R"({"t":3.0,"kind":"rx","byte":7})");
    EXPECT_NE(message.find("line 4:"), std::string::npos) << message;
    EXPECT_NE(message.find("\"rx\""), std::string::npos) << message;
    EXPECT_EQ(reader.lines_read(), 4U);
}

// Every type of event the writer can write comes back as that type: the reader's table has a row for
// each, under the name the writer gives it, and no name twice.
template <size_t... I>
void every_payload_type_round_trips(std::index_sequence<I...>)
{
    std::vector<std::string> written;
    const auto check = [&written](tr::Payload what) {
        const tr::Event event{sim::seconds(1), std::move(what)};
        written.emplace_back(tr::kind_of(event.what));
        const std::string line = line_of(event);
        tr::Event back;
        ASSERT_NO_THROW(back = tr::read_event(line)) << line;
        EXPECT_EQ(back.what.index(), event.what.index()) << line;
        EXPECT_EQ(line_of(back), line);
    };
    (check(tr::Payload{std::in_place_index<I>}), ...);
    EXPECT_EQ(tr::known_kinds(), written);
    std::sort(written.begin(), written.end());
    EXPECT_EQ(std::adjacent_find(written.begin(), written.end()), written.end()) << "two types write one kind";
}

TEST(JsonlReader, EveryTypeOfEventTheWriterWritesIsInTheReadersTable)
{
    every_payload_type_round_trips(std::make_index_sequence<std::variant_size_v<tr::Payload>>{});
}

TEST(JsonlReader, PrintableBytesTurnBackIntoTheBytes)
{
    std::string every_byte;
    for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
    EXPECT_EQ(tr::unprintable(tr::printable(every_byte)), every_byte);
    EXPECT_EQ(tr::unprintable("V01=75$\\r\\n\\x00\\\\x"), std::string("V01=75$\r\n\0\\x", 12));
    EXPECT_EQ(tr::unprintable("\\xG1\\"), "xG1\\");  // not an escape: the characters themselves
}

}  // namespace
