// The HTTP side: commands checked before they are queued, state and events readable.
#include <gtest/gtest.h>
#include <httplib.h>

#include "web_server.h"

using namespace dashboard;
using namespace std::chrono_literals;

namespace {

struct ServerBench {
    Connection connection{[]() -> OpenResult { return std::string("no device here"); }};
    WebServer server{connection, WebFiles{DASHBOARD_TEST_WEB_DIR, "/nonexistent"}};
    int port = server.bind("127.0.0.1", 0);
    std::thread thread{[this] { server.serve(); }};
    httplib::Client client{"127.0.0.1", port};

    ServerBench() { connection.start(); }
    ~ServerBench() {
        server.stop();
        thread.join();
        connection.stop();
    }
    int post(const std::string& path, const std::string& body) {
        auto r = client.Post(path.c_str(), body, "application/json");
        return r ? r->status : -1;
    }
};

}  // namespace

TEST(WebServer, CommandsOutsideTheirRangeOrMalformedAreRefused) {
    ServerBench b;
    ASSERT_GT(b.port, 0);
    EXPECT_EQ(b.post("/pwm", R"({"duty":101})"), 400);
    EXPECT_EQ(b.post("/pwm", R"({"duty":-1})"), 400);
    EXPECT_EQ(b.post("/pwm", R"({"duty":"75"})"), 400);
    EXPECT_EQ(b.post("/pwm", R"({"duty":7.5})"), 400);
    EXPECT_EQ(b.post("/led", "not json"), 400);
    EXPECT_EQ(b.post("/led", R"({"on":1})"), 400);
    auto state = nlohmann::json::parse(b.client.Get("/state")->body);
    EXPECT_TRUE(state["pwm_command"].empty());
    EXPECT_TRUE(state["led_command"].empty());
}

TEST(WebServer, AcceptedCommandsWaitInTheQueueWhileTheDeviceIsAway) {
    ServerBench b;
    EXPECT_EQ(b.post("/pwm", R"({"duty":75})"), 200);
    EXPECT_EQ(b.post("/led", R"({"on":true})"), 200);
    auto state = nlohmann::json::parse(b.client.Get("/state")->body);
    EXPECT_EQ(state["pwm_command"]["queued"], "V01=75$");
    EXPECT_EQ(state["led_command"]["queued"], "V00=1");
    EXPECT_EQ(state["connected"], false);
    EXPECT_EQ(state["link"], "no device here");
}

TEST(WebServer, EventStreamStartsWithTheWholeStateAndPageIsServed) {
    ServerBench b;
    std::string received;
    b.client.Get("/events", [&](const char* data, std::size_t n) {
        received.append(data, n);
        return received.find("\n\n") == std::string::npos;  // stop after the first event
    });
    ASSERT_EQ(received.rfind("event: full\ndata: {", 0), 0u) << received;
    auto json = nlohmann::json::parse(received.substr(received.find('{'), received.find("\n\n") - received.find('{')));
    EXPECT_TRUE(json.contains("history"));
    auto page = b.client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("uPlot"), std::string::npos);
    auto chart = b.client.Get("/uplot/uPlot.iife.min.js");
    ASSERT_TRUE(chart);
    EXPECT_EQ(chart->status, 404);  // a missing install says so
    EXPECT_NE(chart->body.find("npm ci"), std::string::npos);
}

TEST(WebServer, OnlyLoopbackAddressesAreServed) {
    EXPECT_TRUE(loopback_host("127.0.0.1"));
    EXPECT_TRUE(loopback_host("127.1.2.3"));
    EXPECT_TRUE(loopback_host("localhost"));
    EXPECT_TRUE(loopback_host("::1"));
    EXPECT_FALSE(loopback_host("0.0.0.0"));
    EXPECT_FALSE(loopback_host("192.168.1.2"));
    EXPECT_FALSE(loopback_host(""));
}
