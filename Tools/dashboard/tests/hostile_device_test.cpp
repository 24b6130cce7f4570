// A device that sends what no node sends: bytes 0x80-0xFF by the megabyte, as a serial adapter at
// the wrong baud rate delivers, and readings no DS18B20 can give. The page must stay alive (every
// log line and the whole state bounded, no stream closed for the state's size), say what is
// probably wrong, and plot no impossible temperature; a history written by such a device must not
// keep the page dead after a restart.
#include <gtest/gtest.h>

#include "dashboard_state.h"
#include "server_bench.h"
#include "test_http.h"

using namespace dashboard;
using namespace dashboard::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kNoiseBytes = 1 << 20;  // a megabyte: over 18 minutes of a line at 9600 baud

// Bytes 0x80-0xFF as a wrong baud rate gives them, in the 256-byte reads the link makes.
std::vector<std::string> line_noise(std::size_t bytes)
{
    std::vector<std::string> reads;
    std::string read;
    for (std::size_t i = 0; i < bytes; ++i) {
        read.push_back(static_cast<char>(0x80 + (i * 37) % 0x80));
        if (read.size() == 256) reads.push_back(std::exchange(read, {}));
    }
    return reads;
}

// The state after a full chart (its longest) and then a megabyte of noise.
nlohmann::json noisy_state(DashboardState& state, DashboardState::WallClock::time_point now)
{
    ReportParser parser;
    for (std::size_t i = 0; i < DashboardState::kHistoryLimit; ++i)
        for (auto& r : parser.feed("!A00=-12.5$!A01=1$")) state.on_report(r, now);
    for (const auto& read : line_noise(kNoiseBytes))
        for (auto& r : parser.feed(read)) state.on_report(r, now);
    return state.to_json(now);
}

// What a stream's client may be behind before it is dropped: the whole state must weigh well
// under it, so that the first piece of a stream never comes near it.
constexpr std::size_t kStateBound = HttpServer::kStreamQueueLimit * 3 / 4;

}  // namespace

TEST(HostileDevice, LineNoiseKeepsEveryLogLineAndTheWholeStateBoundedAndSaysWhy)
{
    DashboardState state;
    DashboardState::WallClock::time_point now{std::chrono::seconds(1'800'000'000)};
    auto j = noisy_state(state, now);
    std::string text = j.dump();
    EXPECT_LT(text.size(), kStateBound) << "the state weighs " << text.size() << " bytes";
    std::size_t longest = 0;
    for (const auto& line : j["log"]) longest = std::max(longest, line["text"].get<std::string>().size());
    EXPECT_LE(longest, DashboardState::kLogTextLimit + 20);
    ASSERT_TRUE(j["link_warning"].is_string()) << j["link_warning"];
    EXPECT_NE(j["link_warning"].get<std::string>().find("wrong baud rate?"), std::string::npos);

    // A good report ends the warning; a break on the line (a byte or two) never raises it.
    ReportParser parser;
    for (auto& r : parser.feed("!A00=21.5$\x80\x00!A01=0$")) state.on_report(r, now);
    EXPECT_TRUE(state.to_json(now)["link_warning"].is_null());
}

TEST(HostileDevice, ClippedLogTextNeverSplitsAnEscapeAndCountsWhatIsLeftOut)
{
    struct Row {
        std::string escaped;
        std::size_t limit;
        std::string shown;
    };
    const std::vector<Row> rows{
        {"!A00=21.5$", 10, "!A00=21.5$"},               // fits exactly: unchanged
        {"abcdef", 4, "abcd ... (+2 bytes)"},           // plain bytes
        {"ab\\x80\\x81", 5, "ab ... (+2 bytes)"},       // \x80 would be cut at 3 of its 4
        {"ab\\x80\\x81", 6, "ab\\x80 ... (+1 bytes)"},  // exactly one escape fits
        {"a\\\\b\\r\\n", 2, "a ... (+4 bytes)"},        // a doubled backslash is one byte
        {"\\x80\\x81\\x82", 3, " ... (+3 bytes)"},      // not even one fits
    };
    for (const auto& r : rows) EXPECT_EQ(clipped_log_text(r.escaped, r.limit), r.shown) << r.escaped;
}

TEST(HostileDevice, ReadingOutsideTheSensorsRangeIsShownInvalidAndNeverPlotted)
{
    struct Row {
        const char* report;
        bool plotted;
    };
    const std::vector<Row> rows{
        {"!A00=-55.0$", true},  {"!A00=125.0$", true},      {"!A00=-55.1$", false},
        {"!A00=125.1$", false}, {"!A00=-999999.9$", false}, {"!A00=999999.9$", false},
    };
    for (const auto& r : rows) {
        DashboardState state;
        ReportParser parser;
        DashboardState::WallClock::time_point now{std::chrono::seconds(1'800'000'000)};
        for (auto& report : parser.feed(std::string("!A00=20.0$!A01=0$") + r.report + "!A01=0$"))
            state.on_report(report, now);
        auto j = state.to_json(now);
        EXPECT_EQ(j["history"].size(), r.plotted ? 2u : 1u) << r.report;
        EXPECT_EQ(j["reading_invalid"], !r.plotted) << r.report;
        EXPECT_EQ(j["celsius"].is_null(), !r.plotted) << r.report;
        EXPECT_FALSE(j["stale"].get<bool>()) << r.report;
    }
}

// The page is fed by a dashboard whose device sends nothing but noise, then by one restarted on
// the history it left: both serve a stream that starts with the whole state and stays open.
TEST(HostileDevice, PageStaysAliveOnANoisyDeviceAndAfterARestartOnItsHistory)
{
    History history(":memory:");
    {
        FakeNode node;
        ServerBench b(node.opener(), &history);
        // A chart's worth of impossible readings first: the history must not hand them back.
        for (int i = 0; i < 20; ++i) send_all(node.node.get(), "!A00=-999999.9$!A01=0$");
        for (const auto& read : line_noise(256 * 1024)) send_all(node.node.get(), read);
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline &&
               nlohmann::json::parse(get(b.port, "/state").body)["garbage_bytes"] < 256 * 1024)
            std::this_thread::sleep_for(100ms);
        auto state = get(b.port, "/state");
        EXPECT_LT(state.body.size(), kStateBound);
        auto j = nlohmann::json::parse(state.body);
        EXPECT_EQ(j["garbage_bytes"], 256 * 1024);
        EXPECT_NE(j["link_warning"].dump().find("wrong baud rate?"), std::string::npos) << j["link_warning"];
        UniqueFd stream = connect_loopback(b.port);
        send_all(stream.get(), request_text("GET", "/events", b.port));
        bool closed = false;
        std::string got = read_until(stream.get(), "\x01never", 1500ms, &closed);
        EXPECT_NE(got.find("event: full"), std::string::npos) << got.substr(0, 200);
        EXPECT_FALSE(closed) << "the stream was closed";
    }
    // Restarted on the same history with a healthy node.
    FakeNode node;
    ServerBench b(node.opener(), &history);
    auto j = nlohmann::json::parse(get(b.port, "/state").body);
    EXPECT_LT(j.dump().size(), kStateBound);
    for (const auto& point : j["history"]) EXPECT_GE(point[1].get<double>(), -55.0) << point;
    auto chart = nlohmann::json::parse(get(b.port, "/history.json?from=0").body);
    EXPECT_TRUE(chart["points"].empty()) << chart["points"].dump().substr(0, 200);
    std::string got = round_trip(b.port, request_text("GET", "/events", b.port), 2s, "\n\n").body;
    EXPECT_EQ(got.rfind("event: full", 0), 0u) << got.substr(0, 200);
}

// However large the state a stream opens with, the stream is not closed for it: only what a
// client falls behind after it counts.
TEST(HostileDevice, StreamsOpeningLargerThanTheQueueLimitStillStart)
{
    HttpServer server;
    auto opening = std::make_shared<const std::string>(
        "event: full\ndata: " + std::string(HttpServer::kStreamQueueLimit + 100'000, 'x') + "\n\n");
    server.stream("/events", [opening] { return opening; });
    int port = server.bind("127.0.0.1", 0);
    std::thread loop([&] { server.serve(); });
    auto reply = round_trip(port, "GET /events HTTP/1.1\r\nHost: x\r\n\r\n", 5s, "\n\n");
    server.stop();
    loop.join();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.size(), opening->size());
}
