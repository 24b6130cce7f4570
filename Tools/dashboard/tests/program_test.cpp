// The dashboard program as a user runs it: its own nodesim must not outlive it, and the history
// must outlive it.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "temp_dir.h"
#include "test_http.h"

using namespace dashboard::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string log_of(const TempDir& dir)
{
    return read_file(dir.file("dashboard.log"));
}

nlohmann::json state_of(int port)
{
    auto reply = get(port, "/state");
    if (reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

// Polls /state until `ok` holds or `wait` passes; the last state read.
nlohmann::json state_when(int port, std::chrono::milliseconds wait,
                          const std::function<bool(const nlohmann::json&)>& ok)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    nlohmann::json state;
    do {
        state = state_of(port);
        if (state.is_object() && ok(state)) break;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return state;
}

std::vector<std::string> own_nodesim(const std::string& speed)
{
    return {"--nodesim", DASHBOARD_TEST_NODESIM, "--listen", "127.0.0.1:0", "--speed", speed};
}

}  // namespace

TEST(DashboardProgram, KilledDashboardTakesItsNodesimAlong)
{
    ASSERT_TRUE(fs::exists(DASHBOARD_TEST_NODESIM)) << "build the host preset's nodesim first";
    TempDir dir;
    Program dashboard(own_nodesim("5"), dir.path.string(), dir.file("dashboard.log"));
    ASSERT_GT(dashboard.port(), 0) << log_of(dir);
    auto nodesim = dashboard.child(10s);
    ASSERT_TRUE(nodesim) << "no nodesim started: " << log_of(dir);
    state_when(dashboard.port(), 10s, [](const nlohmann::json& s) { return s["connected"] == true; });

    dashboard.end(SIGKILL);
    EXPECT_TRUE(ended_within(*nodesim, 5s)) << "nodesim " << *nodesim << " still runs after its dashboard was killed";
}

// A run killed with SIGKILL: every report it had shown is in the file, and the next run's chart
// and export start with them.
TEST(DashboardProgram, HistorySurvivesAKillAndARestart)
{
    ASSERT_TRUE(fs::exists(DASHBOARD_TEST_NODESIM)) << "build the host preset's nodesim first";
    TempDir dir;
    const std::string db = dir.file("history.sqlite");
    nlohmann::json before;
    {
        auto args = own_nodesim("20");
        args.insert(args.end(), {"--db", db});
        Program first(args, dir.path.string(), dir.file("dashboard.log"));
        ASSERT_GT(first.port(), 0) << log_of(dir);
        before = state_when(first.port(), 30s, [](const nlohmann::json& s) { return s["reports"] >= 12; });
        first.end(SIGKILL);
    }
    ASSERT_GE(before["reports"].get<int>(), 12) << log_of(dir);
    int temperatures_before = 0;
    for (const auto& entry : before["log"]) temperatures_before += entry["kind"] == "temperature";

    Program second({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", db}, dir.path.string(),
                   dir.file("dashboard.log"));
    ASSERT_GT(second.port(), 0) << log_of(dir);
    auto after = state_of(second.port());
    ASSERT_TRUE(after.is_object());
    EXPECT_GE(after["history"].size(), static_cast<std::size_t>(temperatures_before));
    // The chart's points are the temperatures shown before the kill.
    auto history = after["history"];
    for (const auto& entry : before["log"]) {
        if (entry["kind"] != "temperature") continue;
        double t = entry["t"];
        bool found = std::any_of(history.begin(), history.end(),
                                 [&](const nlohmann::json& p) { return std::abs(p[0].get<double>() - t) < 0.001; });
        EXPECT_TRUE(found) << "temperature at " << std::fixed << t << " missing from the restarted chart";
    }
    auto csv = get(second.port(), "/history.csv");
    ASSERT_EQ(csv.status, 200);
    EXPECT_NE(csv.headers.find("text/csv"), std::string::npos);
    int report_rows = 0;
    for (std::size_t at = 0; (at = csv.body.find(",rx,", at)) != std::string::npos; ++at) {
        auto line_end = csv.body.find('\n', at);
        std::string rest = csv.body.substr(at, line_end - at);
        report_rows += rest.find(",temperature,") != std::string::npos || rest.find(",switch,") != std::string::npos;
    }
    EXPECT_GE(report_rows, before["reports"].get<int>()) << csv.body;
}

TEST(DashboardProgram, CorruptHistoryFileIsNamedAndLeftAloneAndTheDashboardRuns)
{
    TempDir dir;
    const std::string db = dir.file("history.sqlite");
    const std::string junk(8192, 'x');
    std::ofstream(db) << junk;
    Program dashboard({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", db},
                      dir.path.string(), dir.file("dashboard.log"));
    ASSERT_GT(dashboard.port(), 0) << log_of(dir);
    auto state = state_of(dashboard.port());
    ASSERT_TRUE(state.is_object());
    EXPECT_NE(state["history_store"].get<std::string>().find("not a database"), std::string::npos)
        << state["history_store"];
    EXPECT_NE(log_of(dir).find(db), std::string::npos) << log_of(dir);
    EXPECT_EQ(round_trip(dashboard.port(), request_text("POST", "/led", dashboard.port(), "", R"({"on":true})")).status,
              200);
    EXPECT_EQ(read_file(db), junk);
}

TEST(DashboardProgram, DefaultHistoryFileIsInTheUsersDataFolder)
{
    TempDir dir;
    Program dashboard({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0"}, dir.path.string(),
                      dir.file("dashboard.log"));
    ASSERT_GT(dashboard.port(), 0) << log_of(dir);
    EXPECT_TRUE(fs::exists(dir.path / "node-dashboard" / "history.sqlite")) << log_of(dir);
}

// A 200 for a command means it is in the history file: killed in the middle of a burst (a command
// every 20 ms), the next run's download has every command that was answered, as asked.
TEST(DashboardProgram, EveryAcknowledgedCommandSurvivesAKill)
{
    TempDir dir;
    const std::string db = dir.file("history.sqlite");
    std::vector<int> acknowledged;
    {
        Program first({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", db},
                      dir.path.string(), dir.file("dashboard.log"));
        ASSERT_GT(first.port(), 0) << log_of(dir);
        std::thread burst([&] {
            for (int duty = 0; duty <= 100; ++duty) {
                auto r = round_trip(
                    first.port(),
                    request_text("POST", "/pwm", first.port(), "", "{\"duty\":" + std::to_string(duty) + "}"), 1s);
                if (r.status == 200) acknowledged.push_back(duty);
                if (r.status == -1) break;  // killed
                std::this_thread::sleep_for(20ms);
            }
        });
        std::this_thread::sleep_for(1s);
        first.end(SIGKILL);
        burst.join();
    }
    ASSERT_GE(acknowledged.size(), 5u) << log_of(dir);
    Program second({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", db}, dir.path.string(),
                   dir.file("dashboard.log"));
    ASSERT_GT(second.port(), 0) << log_of(dir);
    auto csv = get(second.port(), "/history.csv");
    ASSERT_EQ(csv.status, 200);
    for (int duty : acknowledged)
        EXPECT_NE(csv.body.find(",command,pwm,V01=" + std::to_string(duty) + "$,"), std::string::npos)
            << "acknowledged V01=" << duty << "$ missing from\n"
            << csv.body.substr(0, 2000);
}

// Connections that send a request head a byte at a time and never finish it cannot take every file
// descriptor the program may hold: the page is still served.
TEST(DashboardProgram, UnfinishedRequestsCannotExhaustFileDescriptors)
{
    TempDir dir;
    Program dashboard({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", ":memory:"},
                      dir.path.string(), dir.file("dashboard.log"), 256);
    ASSERT_GT(dashboard.port(), 0) << log_of(dir);
    const std::string partial = "GET /state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(dashboard.port()) + "\r\n";
    std::vector<dashboard::UniqueFd> tricklers;
    for (int i = 0; i < 600; ++i) {
        tricklers.push_back(connect_loopback(dashboard.port()));
        if (tricklers.back()) send_all(tricklers.back().get(), partial);
    }
    for (auto& t : tricklers)
        if (t) send_all(t.get(), "X");
    auto reply = round_trip(dashboard.port(), request_text("GET", "/state", dashboard.port()), 5s);
    EXPECT_EQ(reply.status, 200);
}

// The program under a real limit of open files (320: 256 connections), against one client holding
// more event streams, read and unread, and more bodies that never come than it may keep: a user's
// /state and command still get through, on a fresh connection and on one kept alive.
TEST(DashboardProgram, OneClientHoldingEveryConnectionLocksNoUserOut)
{
    raise_file_limit();
    TempDir dir;
    Program dashboard({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", ":memory:"},
                      dir.path.string(), dir.file("dashboard.log"), 320);
    ASSERT_GT(dashboard.port(), 0) << log_of(dir);
    const int port = dashboard.port();
    dashboard::UniqueFd mine = connect_loopback(port);
    auto keep_alive = [](std::string text) { return text.replace(text.find("Connection: close"), 17, "X-User: 1"); };
    ASSERT_TRUE(send_all(mine.get(), keep_alive(request_text("GET", "/state", port))));
    ASSERT_NE(read_until(mine.get(), "\"log\"", 3s).find("200 OK"), std::string::npos);

    std::string body_head = request_text("POST", "/led", port, "", std::string(1000, ' '));
    body_head.resize(body_head.find("\r\n\r\n") + 4);
    std::vector<dashboard::UniqueFd> held;
    for (int i = 0; i < 600; ++i) {
        held.push_back(connect_loopback(port, i % 2 ? 4096 : 0));
        if (held.back()) send_all(held.back().get(), i < 300 ? request_text("GET", "/events", port) : body_head);
    }
    EXPECT_EQ(round_trip(port, request_text("GET", "/state", port), 5s).status, 200);
    EXPECT_EQ(round_trip(port, request_text("POST", "/led", port, "", R"({"on":true})"), 5s).status, 200);
    ASSERT_TRUE(send_all(mine.get(), keep_alive(request_text("POST", "/led", port, "", R"({"on":false})"))));
    EXPECT_NE(read_until(mine.get(), "V00=", 5s).find("200 OK"), std::string::npos) << "the kept-alive connection";
}
