// The dashboard as the node's MQTT bridge, against a real broker (mosquitto on a free loopback port)
// with mosquitto_sub and mosquitto_pub as the other client, and a simulated node at 5 times real time
// (a report cycle in 0.97 s).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "mqtt_broker.h"
#include "temp_dir.h"
#include "test_http.h"

using namespace dashboard::testing;
using namespace std::chrono_literals;

namespace {

const std::string kBase = "node/sim";  // the dashboard's own nodesim
const std::vector<std::string> kDiscovery = {
    "homeassistant/sensor/node_sim/temperature/config", "homeassistant/binary_sensor/node_sim/switch/config",
    "homeassistant/light/node_sim/led/config", "homeassistant/number/node_sim/pwm/config"};

// A dashboard with a nodesim of its own at 5 times real time (its trace in the folder), bridged to
// `broker`.
std::unique_ptr<Program> bridged_dashboard(const TempDir& dir, Broker& broker, std::vector<std::string> more = {})
{
    std::vector<std::string> args = {"--nodesim", DASHBOARD_TEST_NODESIM,     "--listen", "127.0.0.1:0", "--speed", "5",
                                     "--db",      dir.file("history.sqlite"), "--mqtt",   broker.url()};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"--", "--trace", dir.file("trace.jsonl")});
    return std::make_unique<Program>(args, dir.path.string(), dir.file("dashboard.log"));
}

// What the peer sent the node, from nodesim's trace (written out when nodesim ends).
std::string bytes_to_node(const std::vector<nlohmann::json>& trace)
{
    std::string out;
    for (const auto& e : trace)
        if (e["kind"] == "rx") out.push_back(static_cast<char>(e["byte"].get<int>()));
    return out;
}

std::vector<nlohmann::json> read_trace(const std::string& path)
{
    std::vector<nlohmann::json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line, nullptr, false));
    return out;
}

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

// Retained state and discovery; a command from MQTT goes through the command path to the node, with
// its history row; the hostile payloads (out of range, not whole, text, empty, 1 MB, a flood of 10 000
// of them) send nothing and take one console line per kind.
TEST(MqttBroker, StateOutCommandsInAndHostilePayloadsSendNothing)
{
    ASSERT_TRUE(std::filesystem::exists(DASHBOARD_TEST_NODESIM)) << "build the host preset's nodesim first";
    TempDir dir;
    Broker broker(dir);
    ASSERT_EQ(broker.error(), "");
    // An old retained command, which the broker hands to every new subscriber: not an order.
    ASSERT_TRUE(broker.publish(kBase + "/pwm/set", "33", true));
    Subscriber state(dir, broker, kBase + "/#", "state");
    auto dashboard = bridged_dashboard(dir, broker);
    ASSERT_GT(dashboard->port(), 0) << read_file(dir.file("dashboard.log"));
    ASSERT_TRUE(state.wait_for(kBase + "/availability", "online", 30s)) << state.log();

    auto retained = broker.retained("#");
    for (const auto& topic : kDiscovery) {
        ASSERT_TRUE(retained.count(topic)) << topic << " not retained";
        auto config = nlohmann::json::parse(retained[topic], nullptr, false);
        EXPECT_EQ(config["availability"][0]["topic"], kBase + "/availability") << topic;
        EXPECT_EQ(config["device"]["identifiers"][0], "node_sim") << topic;
    }
    EXPECT_EQ(retained[kBase + "/availability"], "online");
    EXPECT_EQ(retained[kBase + "/temperature"], "22.0");
    EXPECT_EQ(retained[kBase + "/temperature/stale"], "false");
    EXPECT_EQ(retained[kBase + "/switch"], "OFF");
    EXPECT_EQ(retained[kBase + "/link"], "up");

    const std::string pwm_set = kBase + "/pwm/set", led_set = kBase + "/led/set";
    for (const char* payload : {"101", "-1", "50.5", "text", "", "1e2"}) EXPECT_TRUE(broker.publish(pwm_set, payload));
    for (const char* payload : {"on", "", "TOGGLE"}) EXPECT_TRUE(broker.publish(led_set, payload));
    std::ofstream(dir.file("megabyte")) << std::string(1 << 20, '7');
    EXPECT_TRUE(broker.publish_file(pwm_set, dir.file("megabyte"), false));
    {
        std::ofstream flood(dir.file("flood"));
        for (int i = 0; i < 10000; ++i) flood << (i % 2 ? "255\n" : "ON\n");  // each wrong for pwm/set
    }
    EXPECT_TRUE(broker.publish_file(pwm_set, dir.file("flood"), true));
    EXPECT_TRUE(broker.publish(pwm_set, "75"));
    ASSERT_TRUE(state.wait_for(kBase + "/pwm", "75", 30s)) << state.log();
    EXPECT_TRUE(broker.publish(led_set, "OFF"));
    ASSERT_TRUE(state.wait_for(kBase + "/led", "OFF", 30s)) << state.log();

    auto csv = get(dashboard->port(), "/history.csv");
    EXPECT_EQ(count_of(csv.body, ",command,"), 2) << csv.body;
    EXPECT_EQ(count_of(csv.body, ",command,pwm,V01=75$,,mqtt\n"), 1) << csv.body;
    EXPECT_EQ(count_of(csv.body, ",command,led,V00=0,,mqtt\n"), 1) << csv.body;

    EXPECT_EQ(dashboard->end(SIGTERM), 0);
    auto log = read_file(dir.file("dashboard.log"));
    // pwm/set: retained, out of range, not whole, not a number, empty, oversized; led/set: not ON/OFF,
    // empty.
    EXPECT_EQ(count_of(log, "dashboard: mqtt: ignored '") + count_of(log, "dashboard: mqtt: ignored an empty"), 8)
        << log;
    // At the end, the counts of the rest (the broker drops what a subscriber cannot take fast enough,
    // beyond its 1 000 queued messages, so not always all of the flood arrives).
    EXPECT_TRUE(
        std::regex_search(log, std::regex("ignored [0-9]+ more payloads on node/sim/pwm/set: outside 0 to 100")))
        << log;
    // The node got the two good commands and nothing else.
    auto trace = read_trace(dir.file("trace.jsonl"));
    EXPECT_EQ(bytes_to_node(trace), "V01=75$V00=0");
    bool duty_75 = std::any_of(trace.begin(), trace.end(), [](const nlohmann::json& e) {
        return e["kind"] == "pwm" && e["high_us"] == 15000 && e["period_us"] == 20001;
    });
    EXPECT_TRUE(duty_75) << "no 75 % duty on A0";
    EXPECT_EQ(broker.retained(kBase + "/availability")[kBase + "/availability"], "offline");
}

// The broker killed mid-run: the page's commands still reach the node meanwhile, the dashboard
// connects again on its own, and the restarted broker (which kept nothing) gets the state and the
// discovery again. Then the dashboard killed: the broker publishes its will.
TEST(MqttBroker, BrokerRestartAndDashboardKill)
{
    ASSERT_TRUE(std::filesystem::exists(DASHBOARD_TEST_NODESIM)) << "build the host preset's nodesim first";
    TempDir dir;
    Broker broker(dir);
    ASSERT_EQ(broker.error(), "");
    auto dashboard = bridged_dashboard(dir, broker);
    ASSERT_GT(dashboard->port(), 0) << read_file(dir.file("dashboard.log"));
    {
        Subscriber state(dir, broker, kBase + "/availability", "before");
        ASSERT_TRUE(state.wait_for(kBase + "/availability", "online", 30s)) << state.log();
    }

    broker.kill();
    auto reply = round_trip(dashboard->port(), request_text("POST", "/led", dashboard->port(), "", R"({"on":false})"));
    EXPECT_EQ(reply.status, 200) << reply.body;
    bool sent = false;
    for (auto until = std::chrono::steady_clock::now() + 10s; !sent && std::chrono::steady_clock::now() < until;) {
        auto s = nlohmann::json::parse(get(dashboard->port(), "/state").body, nullptr, false);
        sent = s.is_object() && s["led"] == false;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(sent) << "the page's command did not go out while the broker was away";
    ASSERT_TRUE(broker.restart()) << broker.error();

    Subscriber after(dir, broker, "#", "after");
    ASSERT_TRUE(after.wait_for(kBase + "/availability", "online", 15s))
        << after.log() << read_file(dir.file("dashboard.log"));
    auto retained = broker.retained("#");
    for (const auto& topic : kDiscovery) EXPECT_TRUE(retained.count(topic)) << topic << " not published again";
    EXPECT_EQ(retained[kBase + "/led"], "OFF");
    EXPECT_EQ(retained[kBase + "/temperature"], "22.0");
    auto log = read_file(dir.file("dashboard.log"));
    EXPECT_NE(log.find("dashboard: mqtt: lost " + broker.url()), std::string::npos) << log;
    EXPECT_NE(log.find("dashboard: mqtt: connected again to " + broker.url()), std::string::npos) << log;

    dashboard->end(SIGKILL);
    EXPECT_TRUE(after.wait_for(kBase + "/availability", "offline", 15s)) << after.log();
    EXPECT_EQ(broker.retained(kBase + "/availability")[kBase + "/availability"], "offline");
}

// A node that stops reporting while its link stays up (nodesim stopped with SIGSTOP) is offline
// after two report cycles of silence, and online again when it reports.
TEST(MqttBroker, SilentNodeIsOfflineAfterTwoReportCycles)
{
    ASSERT_TRUE(std::filesystem::exists(DASHBOARD_TEST_NODESIM)) << "build the host preset's nodesim first";
    TempDir dir;
    Broker broker(dir);
    ASSERT_EQ(broker.error(), "");
    Subscriber state(dir, broker, kBase + "/#", "state");
    auto dashboard = bridged_dashboard(dir, broker);
    ASSERT_GT(dashboard->port(), 0) << read_file(dir.file("dashboard.log"));
    auto nodesim = dashboard->child(10s);
    ASSERT_TRUE(nodesim);
    ASSERT_TRUE(state.wait_for(kBase + "/availability", "online", 30s)) << state.log();
    // Four cycles, so that the cycle is measured (0.97 s at 5 times real time).
    std::this_thread::sleep_for(4s);

    ::kill(*nodesim, SIGSTOP);
    auto stopped = std::chrono::steady_clock::now();
    auto at_stop = nlohmann::json::parse(get(dashboard->port(), "/state").body, nullptr, false);
    ASSERT_TRUE(at_stop.is_object() && at_stop["last_report_age"].is_number());
    EXPECT_TRUE(state.wait_for(kBase + "/availability", "offline", 6s)) << state.log();
    // Silent since the last report: 2.1 cycles of 0.97 s (2.03 s), noticed within a quarter of a
    // second; not one cycle, nor the 10.1 s of a node at its own speed.
    double silent = at_stop["last_report_age"].get<double>() +
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    EXPECT_GT(silent, 1.9);
    EXPECT_LT(silent, 3.5);
    EXPECT_EQ(broker.retained(kBase + "/link")[kBase + "/link"], "up");

    ::kill(*nodesim, SIGCONT);
    EXPECT_TRUE(state.wait_for(kBase + "/availability", "online", 15s)) << state.log();
}

// TLS with a password: the bridge works; a wrong password and a certificate from another CA end the
// dashboard at start with status 2 and a message; --mqtt-forget empties what it had retained.
TEST(MqttBroker, TlsWithAPasswordAndWhatIsRefused)
{
    TempDir dir;
    TlsFiles tls = make_tls_files(dir);
    ASSERT_EQ(tls.error, "");
    Broker broker(dir, &tls, {"node", "s3cret word"});
    ASSERT_EQ(broker.error(), "");
    std::ofstream(dir.file("good-password")) << "s3cret word\n";
    std::ofstream(dir.file("wrong-password")) << "secret word\n";
    ::chmod(dir.file("good-password").c_str(), 0600);
    ::chmod(dir.file("wrong-password").c_str(), 0600);
    auto options = [&](const std::string& ca, const std::string& password) {
        return std::vector<std::string>{"--device",
                                        "/dev/no-such-node",
                                        "--listen",
                                        "127.0.0.1:0",
                                        "--db",
                                        ":memory:",
                                        "--mqtt",
                                        broker.url(),
                                        "--mqtt-ca",
                                        ca,
                                        "--mqtt-user",
                                        "node",
                                        "--mqtt-password-file",
                                        password};
    };
    const std::string base = "node/no-such-node";
    {
        Program dashboard(options(tls.ca, dir.file("good-password")), dir.path.string(), dir.file("good.log"));
        ASSERT_GT(dashboard.port(), 0) << read_file(dir.file("good.log"));
        Subscriber state(dir, broker, base + "/#", "state");
        EXPECT_TRUE(state.wait_for(base + "/link", "down", 10s)) << state.log() << read_file(dir.file("good.log"));
        EXPECT_EQ(dashboard.end(SIGTERM), 0);
    }
    EXPECT_EQ(broker.retained(base + "/availability")[base + "/availability"], "offline");
    EXPECT_EQ(broker.retained("homeassistant/#").size(), 4u);

    struct Refused {
        const char* name;
        std::string ca, password, message;
    };
    for (const Refused& r :
         {Refused{"wrong-password", tls.ca, dir.file("wrong-password"), "not authorised"},
          Refused{"other-ca", tls.other_ca, dir.file("good-password"), "certificate verify failed"}}) {
        const std::string log = dir.file(std::string(r.name) + ".log");
        Program dashboard(options(r.ca, r.password), dir.path.string(), log);
        EXPECT_EQ(dashboard.port(), 0) << r.name << ": it served the page";
        EXPECT_EQ(dashboard.end(SIGKILL), 2 << 8) << r.name << ": " << read_file(log);
        EXPECT_NE(read_file(log).find(r.message), std::string::npos) << r.name << ": " << read_file(log);
    }

    auto forget = options(tls.ca, dir.file("good-password"));
    forget.insert(forget.begin(), DASHBOARD_TEST_PROGRAM);
    forget.push_back("--mqtt-forget");
    ProgramRun forgot = run_program(forget, 20s);
    EXPECT_EQ(forgot.exit_code, 0) << forgot.output;
    EXPECT_TRUE(broker.retained("homeassistant/#").empty());
    EXPECT_TRUE(broker.retained(base + "/#").empty());
}
