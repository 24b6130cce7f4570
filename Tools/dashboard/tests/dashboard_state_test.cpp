// What the page is told: staleness of the temperature, commanded state, the raw log.
#include <gtest/gtest.h>

#include "dashboard_state.h"

using dashboard::CommandKind;
using dashboard::DashboardState;
using dashboard::Report;
using dashboard::ReportParser;

namespace {

struct StateBench {
    DashboardState state;
    ReportParser parser;
    DashboardState::WallClock::time_point now{std::chrono::seconds(1'800'000'000)};

    void receive(std::string_view bytes)
    {
        for (auto& r : parser.feed(bytes)) state.on_report(r, now);
    }
    nlohmann::json json() const { return state.to_json(now); }
};

}  // namespace

TEST(DashboardState, FailedReadingKeepsLastValueMarkedStaleUntilTheNextGoodOne)
{
    StateBench b;
    b.receive("!A00=25.1$!A01=0$");
    EXPECT_FALSE(b.state.stale());
    b.receive("!A01=0$");  // the next cycle's reading failed
    EXPECT_TRUE(b.state.stale());
    EXPECT_EQ(b.json()["temperature"], "25.1");
    EXPECT_EQ(b.json()["stale"], true);
    b.receive("!A01=0$");
    EXPECT_TRUE(b.state.stale());
    b.receive("!A00=25.2$");
    EXPECT_FALSE(b.state.stale());
    EXPECT_EQ(b.json()["temperature"], "25.2");
}

TEST(DashboardState, FirstSwitchReportAfterConnectingIsNotTakenForAFailedReading)
{
    // We came in after the temperature report of that cycle had gone by.
    StateBench b;
    b.state.on_connected("tcp 127.0.0.1:1", b.now);
    b.receive("0$!A01=1$!A00=20.0$!A01=1$");
    EXPECT_FALSE(b.state.stale());
    EXPECT_EQ(b.json()["switch"], true);
    // A reconnection starts over the same way.
    b.state.on_disconnected("lost", b.now);
    b.state.on_connected("tcp 127.0.0.1:1", b.now);
    b.receive("!A01=0$");
    EXPECT_FALSE(b.state.stale());
    EXPECT_EQ(b.json()["switch"], false);
}

TEST(DashboardState, CommandedStateFollowsFramesSentAndResetsWhenTheNodeRestarts)
{
    StateBench b;
    EXPECT_TRUE(b.json()["led"].is_null());
    b.state.on_sent(CommandKind::Led, "V00=1", b.now);
    b.state.on_sent(CommandKind::Pwm, "V01=75$", b.now);
    auto j = b.json();
    EXPECT_EQ(j["led"], true);
    EXPECT_EQ(j["pwm"], 75);
    EXPECT_EQ(j["pwm_command"]["sent"]["frame"], "V01=75$");
    b.state.on_sent(CommandKind::Led, "V00=0", b.now);
    EXPECT_EQ(b.json()["led"], false);
    b.receive("Hola\r\n");
    EXPECT_TRUE(b.json()["led"].is_null());
    EXPECT_TRUE(b.json()["pwm"].is_null());
}

TEST(DashboardState, GreetingAgainMidSessionShowsARestartButTheFirstAfterConnectingDoesNot)
{
    // The node's bytes after the link comes up, and the restarts the page must show.
    struct Row {
        const char* what;
        std::string_view bytes;
        std::uint64_t restarts;
    };
    const Row rows[] = {
        {"a node started with us greets first", "Hola\r\n!A00=20.0$!A01=0$", 0},
        {"noise on power-up is not the node", "\xFF\x00Hola\r\n!A01=0$", 0},
        {"reset between two cycles", "!A00=20.0$!A01=0$Hola\r\n", 1},
        {"reset before its first report", "Hola\r\nHola\r\n", 1},
        {"two resets", "Hola\r\n!A01=0$Hola\r\n!A01=0$Hola\r\n!A01=0$", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        StateBench b;
        b.state.on_connected("tcp 127.0.0.1:1", b.now);
        std::uint64_t noted = 0;
        double noted_at = 0;
        for (auto& r : b.parser.feed(row.bytes)) {
            b.now += std::chrono::seconds(1);
            if (auto line = b.state.on_report(r, b.now)) {
                ++noted;
                noted_at = dashboard::unix_seconds(b.now);
                EXPECT_NE(line->find("node restarted"), std::string::npos);
                EXPECT_NE(line->find("USART2"), std::string::npos);  // where to look for the cause
            }
        }
        EXPECT_EQ(noted, row.restarts);  // what goes to the history
        auto j = b.json();
        std::uint64_t logged = 0;
        for (const auto& line : j["log"]) logged += line["kind"] == "restart";
        EXPECT_EQ(logged, row.restarts);
        if (row.restarts == 0) {
            EXPECT_TRUE(j["restart"].is_null());
        } else {
            EXPECT_EQ(j["restart"]["count"], row.restarts);
            EXPECT_DOUBLE_EQ(j["restart"]["t"].get<double>(), noted_at);  // the last greeting's time
        }
    }
}

TEST(DashboardState, ReconnectingForgetsTheRestartsAndWaitsForTheNodeAgain)
{
    StateBench b;
    b.state.on_connected("tcp 127.0.0.1:1", b.now);
    b.receive("!A01=0$Hola\r\n");
    EXPECT_EQ(b.json()["restart"]["count"], 1u);
    b.state.on_disconnected("lost", b.now);
    b.state.on_connected("tcp 127.0.0.1:1", b.now);
    EXPECT_TRUE(b.json()["restart"].is_null());
    b.receive("Hola\r\n");  // a node plugged in again greets: no restart of ours to show
    EXPECT_TRUE(b.json()["restart"].is_null());
}

TEST(DashboardState, LastReportAgeCountsFromTheLastReport)
{
    StateBench b;
    EXPECT_TRUE(b.json()["last_report_age"].is_null());
    b.receive("!A00=20.0$");
    b.now += std::chrono::milliseconds(2500);
    EXPECT_NEAR(b.json()["last_report_age"].get<double>(), 2.5, 1e-6);
    b.receive("garbage");  // noise is no report
    b.now += std::chrono::milliseconds(500);
    EXPECT_NEAR(b.json()["last_report_age"].get<double>(), 3.0, 1e-6);
}

TEST(DashboardState, LogAndHistoryAreBoundedAndLineNoiseStaysValidJson)
{
    StateBench b;
    for (std::size_t i = 0; i < DashboardState::kHistoryLimit + 10; ++i) b.receive("!A00=21.0$\xC3\x28\xFF!A01=0$");
    auto j = b.json();
    EXPECT_EQ(j["history"].size(), DashboardState::kHistoryLimit);
    EXPECT_EQ(j["log"].size(), DashboardState::kLogLimit);
    EXPECT_NO_THROW((void)j.dump());  // invalid UTF-8 would make the dump throw
    EXPECT_EQ(j["log"][DashboardState::kLogLimit - 2]["text"], "\\xC3(\\xFF");  // before the last switch report
    EXPECT_FALSE(b.state.to_json(b.now, false).contains("history"));
}

TEST(DashboardState, RepeatedFailureToOpenIsLoggedOnce)
{
    StateBench b;
    for (int i = 0; i < 5; ++i) b.state.on_disconnected("cannot open /dev/ttyUSB0: No such file", b.now);
    auto j = b.json();
    EXPECT_EQ(j["connected"], false);
    EXPECT_EQ(j["link"], "cannot open /dev/ttyUSB0: No such file");
    EXPECT_EQ(j["log"].size(), 1u);
}

TEST(CrlfHexEscaped, EscapesControlAndNonAsciiBytes)
{
    EXPECT_EQ(dashboard::crlf_hex_escaped("Hola\r\n"), "Hola\\r\\n");
    EXPECT_EQ(dashboard::crlf_hex_escaped(std::string_view("a\0b\\", 4)), "a\\x00b\\\\");
    EXPECT_EQ(dashboard::crlf_hex_escaped("\x7F\x80"), "\\x7F\\x80");
    EXPECT_EQ(dashboard::crlf_hex_escaped("a\tb"), "a\\x09b");  // as the stored history has it
}
