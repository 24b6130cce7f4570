// The HTTP side: commands checked before they are queued, state and events readable.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sstream>

#include "history.h"
#include "server_bench.h"
#include "temp_dir.h"
#include "test_http.h"
#include "web_server.h"

using namespace dashboard;
using namespace std::chrono_literals;

namespace {

using dashboard::testing::Reply;
using dashboard::testing::request_text;
using dashboard::testing::round_trip;

struct Bench : dashboard::testing::ServerBench {
    using ServerBench::ServerBench;
    Reply get(const std::string& path) { return dashboard::testing::get(port, path); }
    int post(const std::string& path, const std::string& body)
    {
        return round_trip(port, request_text("POST", path, port, "", body)).status;
    }
    nlohmann::json state() { return nlohmann::json::parse(get("/state").body); }
};

}  // namespace

TEST(WebServer, CommandsOutsideTheirRangeOrMalformedAreRefused)
{
    Bench b;
    ASSERT_GT(b.port, 0);
    EXPECT_EQ(b.post("/pwm", R"({"duty":101})"), 400);
    EXPECT_EQ(b.post("/pwm", R"({"duty":-1})"), 400);
    EXPECT_EQ(b.post("/pwm", R"({"duty":"75"})"), 400);
    EXPECT_EQ(b.post("/pwm", R"({"duty":7.5})"), 400);
    EXPECT_EQ(b.post("/led", "not json"), 400);
    EXPECT_EQ(b.post("/led", R"({"on":1})"), 400);
    auto state = b.state();
    EXPECT_TRUE(state["pwm_command"].empty());
    EXPECT_TRUE(state["led_command"].empty());
}

TEST(WebServer, AcceptedCommandsWaitInTheQueueWhileTheDeviceIsAway)
{
    Bench b;
    EXPECT_EQ(b.post("/pwm", R"({"duty":75})"), 200);
    EXPECT_EQ(b.post("/led", R"({"on":true})"), 200);
    auto state = b.state();
    EXPECT_EQ(state["pwm_command"]["queued"], "V01=75$");
    EXPECT_EQ(state["led_command"]["queued"], "V00=1");
    EXPECT_EQ(state["connected"], false);
    EXPECT_EQ(state["link"], "no device here");
}

TEST(WebServer, EventStreamStartsWithTheWholeStateAndPageIsServed)
{
    Bench b;
    std::string received = round_trip(b.port, request_text("GET", "/events", b.port), 3s, "\n\n").body;
    ASSERT_EQ(received.rfind("event: full\ndata: {", 0), 0u) << received;
    auto json = nlohmann::json::parse(received.substr(received.find('{'), received.find("\n\n") - received.find('{')));
    EXPECT_TRUE(json.contains("history"));
    auto page = b.get("/");
    ASSERT_NE(page.status, -1);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("uPlot"), std::string::npos);
    // Another site may not show the page in a frame of its own (and click its buttons for the user).
    auto headers = lower_case(page.headers);
    EXPECT_TRUE(headers.find("frame-ancestors 'none'") != std::string::npos ||
                headers.find("\r\nx-frame-options: deny") != std::string::npos)
        << page.headers;
    auto chart = b.get("/uplot/uPlot.iife.min.js");
    ASSERT_NE(chart.status, -1);
    EXPECT_EQ(chart.status, 404);  // a missing install says so, but not where on this machine
    EXPECT_NE(chart.body.find("npm ci"), std::string::npos);
    EXPECT_EQ(chart.body.find("/nonexistent"), std::string::npos) << chart.body;
}

TEST(WebServer, OnlyLoopbackAddressesAreServed)
{
    EXPECT_TRUE(loopback_host("127.0.0.1"));
    EXPECT_TRUE(loopback_host("127.1.2.3"));
    EXPECT_TRUE(loopback_host("localhost"));
    EXPECT_TRUE(loopback_host("::1"));
    EXPECT_FALSE(loopback_host("0.0.0.0"));
    EXPECT_FALSE(loopback_host("192.168.1.2"));
    EXPECT_FALSE(loopback_host(""));
}

// A page on any other site can make the browser send a "simple" request (text/plain, no preflight)
// to the loopback; only the page's own requests may change the node.
TEST(WebServer, CommandsFromOtherSitesOrNotJsonAreRefused)
{
    Bench b;
    const std::string evil = "Origin: http://evil.example\r\n";
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/led", b.port, evil, R"({"on":false})", "text/plain")).status,
              403);
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/led", b.port, evil, R"({"on":false})")).status, 403);
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/pwm", b.port, evil, R"({"duty":5})")).status, 403);
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/pwm", b.port, "Origin: null\r\n", R"({"duty":5})")).status,
              403);
    // Without an Origin header (curl, a script) JSON is still required.
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/led", b.port, "", R"({"on":false})", "text/plain")).status,
              415);
    EXPECT_EQ(
        round_trip(b.port, request_text("POST", "/led", b.port, "", "on=false", "application/x-www-form-urlencoded"))
            .status,
        415);
    auto state = b.state();
    EXPECT_TRUE(state["led_command"].empty()) << state["led_command"];
    EXPECT_TRUE(state["pwm_command"].empty()) << state["pwm_command"];

    // The page's own origin, by either loopback name, with a charset parameter.
    const std::string own = "Origin: http://127.0.0.1:" + std::to_string(b.port) + "\r\n";
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/led", b.port, own, R"({"on":false})",
                                              "application/json; charset=utf-8"))
                  .status,
              200);
    const std::string by_name =
        "Host: localhost:" + std::to_string(b.port) + "\r\nOrigin: http://localhost:" + std::to_string(b.port) + "\r\n";
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/pwm", b.port, by_name, R"({"duty":40})")).status, 200);
    // The page's origin exactly: scheme, name and port; a name that merely ends like ours, another
    // scheme or another port on the loopback is another site.
    const std::string port = std::to_string(b.port);
    for (const std::string& foreign :
         {"Origin: http://127.0.0.1:" + std::to_string(b.port + 1) + "\r\n",
          "Origin: http://evil.localhost:" + port + "\r\n", "Origin: https://localhost:" + port + "\r\n",
          "Origin: http://127.0.0.1:" + port + ".evil.example\r\n", "Origin: http://x127.0.0.1:" + port + "\r\n",
          // Without an Origin, the browser's own word that the request comes from another site.
          std::string("Sec-Fetch-Site: cross-site\r\n"), std::string("Sec-Fetch-Site: same-site\r\n")}) {
        auto r = round_trip(b.port, request_text("POST", "/pwm", b.port, foreign, R"({"duty":41})"));
        EXPECT_EQ(r.status, 403) << foreign;
    }
    EXPECT_EQ(round_trip(b.port, request_text("POST", "/pwm", b.port, own + "Sec-Fetch-Site: same-origin\r\n",
                                              R"({"duty":40})"))
                  .status,
              200);
    state = b.state();
    EXPECT_EQ(state["led_command"]["queued"], "V00=0");
    EXPECT_EQ(state["pwm_command"]["queued"], "V01=40$");
}

// DNS rebinding: a remote name that resolves to 127.0.0.1 makes the browser send that name as
// Host; nothing may be served to it, on any path.
TEST(WebServer, ForeignHostHeadersAreRefusedOnEveryPath)
{
    Bench b;
    const std::string port = std::to_string(b.port);
    for (const std::string& host :
         std::vector<std::string>{"evil.example:" + port, "evil.example", "127.0.0.1",
                                  "localhost:" + std::to_string(b.port + 1), "127.0.0.1:" + port + ".evil.example"}) {
        const std::string header = "Host: " + host + "\r\n";
        for (const char* path : {"/", "/state", "/events", "/app.js", "/history.csv", "/nothing"}) {
            auto r = round_trip(b.port, request_text("GET", path, b.port, header), 2s);
            EXPECT_TRUE(r.status == 421 || r.status == 403) << host << " " << path << ": " << r.status;
            EXPECT_EQ(r.body.find("celsius"), std::string::npos) << host << " " << path;
        }
        auto r = round_trip(b.port, request_text("POST", "/led", b.port, header, R"({"on":false})"), 2s);
        EXPECT_TRUE(r.status == 421 || r.status == 403) << host << " POST /led: " << r.status;
    }
    auto state = b.state();
    EXPECT_TRUE(state["led_command"].empty());
    for (const std::string& host : std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port}) {
        auto r = round_trip(b.port, request_text("GET", "/state", b.port, "Host: " + host + "\r\n"));
        EXPECT_EQ(r.status, 200) << host;
    }
    // HTTP/1.1 requires the header; a request without it is not served either.
    auto bare = round_trip(b.port, "GET /state HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_NE(bare.status, 200);
}

// An acknowledged command is in the history: when its row cannot be stored (here a trigger in the file
// refuses command rows, as a full disk would refuse any), the command is not sent and the answer is an
// error; once the history stores again, commands go through.
TEST(WebServer, CommandThatTheHistoryCannotStoreIsNeitherSentNorAcknowledged)
{
    dashboard::testing::TempDir dir;
    const std::string db = dir.file("history.sqlite");
    {
        History created(db);
    }
    auto in_file = [&](const char* sql) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
        sqlite3_close(raw);
    };
    in_file(
        "CREATE TRIGGER refuse_commands BEFORE INSERT ON events WHEN NEW.dir = 'command' "
        "BEGIN SELECT RAISE(ABORT, 'disk full'); END");
    History history(db);
    ASSERT_TRUE(history.persistent()) << history.status();
    Bench b(dashboard::testing::no_device(), &history);

    EXPECT_EQ(b.post("/led", R"({"on":true})"), 503);
    EXPECT_EQ(b.post("/pwm", R"({"duty":75})"), 503);
    auto state = b.state();
    EXPECT_TRUE(state["led_command"].empty()) << state["led_command"];
    EXPECT_TRUE(state["pwm_command"].empty()) << state["pwm_command"];

    in_file("DROP TRIGGER refuse_commands");
    EXPECT_EQ(b.post("/led", R"({"on":true})"), 200);
    EXPECT_EQ(b.state()["led_command"]["queued"], "V00=1");
}

// Each command on one kept-alive connection is stored with who sent it, the second as the first.
TEST(WebServer, EveryCommandOnOneConnectionKeepsItsSource)
{
    History history(History::kMemoryOnly);
    Bench b(dashboard::testing::no_device(), &history);
    auto fd = dashboard::testing::connect_loopback(b.port);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(b.port) + "\r\n";
    const std::string body = R"({"on":true})";
    const std::string post = "POST /led HTTP/1.1\r\n" + host +
                             "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\n";
    ASSERT_TRUE(dashboard::testing::send_all(fd.get(), post + "\r\n" + body));
    ASSERT_NE(dashboard::testing::read_until(fd.get(), "V00=1", std::chrono::seconds(3)).find("200"),
              std::string::npos);
    ASSERT_TRUE(dashboard::testing::send_all(fd.get(), post + "Connection: close\r\n\r\n" + body));
    EXPECT_TRUE(dashboard::testing::closed_within(fd.get(), std::chrono::seconds(3)));
    std::istringstream csv(b.get("/history.csv").body);
    int commands = 0, with_source = 0;
    for (std::string row; std::getline(csv, row);) {
        commands += row.find(",command,led,V00=1,,") != std::string::npos;
        with_source += row.find(",command,led,V00=1,,127.0.0.1:") != std::string::npos;
    }
    EXPECT_EQ(commands, 2);
    EXPECT_EQ(with_source, 2);
}

// A download larger than one piece read from the file comes whole, in order, and a span bounds it.
TEST(WebServer, HistoryDownloadIsWholeAcrossPiecesAndTheChartIsThinned)
{
    History history(History::kMemoryOnly);
    const double t0 = 1'800'000'000;
    for (int i = 0; i < 12000; ++i)
        history.record({t0 + i, "rx", "temperature", "!A00=" + std::to_string(i) + "$", double(i)});
    Bench b(dashboard::testing::no_device(), &history);
    auto csv = b.get("/history.csv?from=1800000000&to=1800011000");
    ASSERT_NE(csv.status, -1);
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(std::count(csv.body.begin(), csv.body.end(), '\n'), 1 + 11000);
    EXPECT_EQ(csv.body.rfind("time_utc,", 0), 0u);
    EXPECT_NE(csv.body.find(",!A00=0$,0,\n"), std::string::npos);
    EXPECT_NE(csv.body.find(",!A00=10999$,10999,\n"), std::string::npos);
    EXPECT_EQ(csv.body.find("!A00=11000$"), std::string::npos);

    auto chart = nlohmann::json::parse(b.get("/history.json?from=1800000000&to=1800020000&points=100").body);
    EXPECT_LE(chart["points"].size(), 101u);
    EXPECT_GE(chart["points"].size(), 90u);
    EXPECT_EQ(b.get("/history.csv?from=last+week").status, 400);
}
