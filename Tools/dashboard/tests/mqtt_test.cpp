// The MQTT bridge's rules without a broker: which payloads become frames, how refusals are logged,
// when the node counts as silent, the options, and the messages published.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "mqtt_commands.h"
#include "mqtt_options.h"
#include "mqtt_topics.h"
#include "node_presence.h"
#include "temp_dir.h"

using namespace dashboard;
using namespace dashboard::mqtt;

TEST(MqttCommands, PayloadsBecomeThePagesFramesOrAreRefusedByKind)
{
    struct Row {
        CommandKind kind;
        std::string payload;
        std::variant<std::string, Refusal> expected;
    };
    const Row rows[] = {
        {CommandKind::Led, "ON", "V00=1"},
        {CommandKind::Led, "OFF", "V00=0"},
        {CommandKind::Led, "on", Refusal::NotOnOff},
        {CommandKind::Led, "ON\n", Refusal::NotOnOff},
        {CommandKind::Led, "1", Refusal::NotOnOff},
        {CommandKind::Led, "", Refusal::Empty},
        {CommandKind::Pwm, "0", "V01=0$"},
        {CommandKind::Pwm, "100", "V01=100$"},
        {CommandKind::Pwm, "075", "V01=75$"},
        {CommandKind::Pwm, "101", Refusal::OutOfRange},
        {CommandKind::Pwm, "-1", Refusal::OutOfRange},  // the node would take it as full duty
        {CommandKind::Pwm, "9999999999999999", Refusal::OutOfRange},
        {CommandKind::Pwm, "50.5", Refusal::NotWholeNumber},
        {CommandKind::Pwm, "50.0", Refusal::NotWholeNumber},
        {CommandKind::Pwm, "1e2", Refusal::NotWholeNumber},
        {CommandKind::Pwm, "text", Refusal::NotANumber},
        {CommandKind::Pwm, "nan", Refusal::NotANumber},
        {CommandKind::Pwm, " 5", Refusal::NotANumber},
        {CommandKind::Pwm, "+5", Refusal::NotANumber},
        {CommandKind::Pwm, std::string("5\0", 2), Refusal::NotANumber},
        {CommandKind::Pwm, "", Refusal::Empty},
        {CommandKind::Pwm, "00000000000000050", Refusal::Oversized},
        {CommandKind::Led, std::string(1 << 20, 'O'), Refusal::Oversized},
    };
    for (const Row& row : rows) {
        auto got = read_command(row.kind, row.payload);
        std::string shown = command_name(row.kind) + std::string(" '") + row.payload.substr(0, 20) + "'";
        if (auto* frame = std::get_if<std::string>(&row.expected)) {
            ASSERT_TRUE(std::holds_alternative<Accepted>(got)) << shown;
            EXPECT_EQ(std::get<Accepted>(got).frame, *frame) << shown;
            EXPECT_EQ(std::get<Accepted>(got).kind, row.kind) << shown;
        } else {
            ASSERT_TRUE(std::holds_alternative<Refusal>(got)) << shown << " became " << std::get<Accepted>(got).frame;
            EXPECT_EQ(std::get<Refusal>(got), std::get<Refusal>(row.expected)) << shown;
        }
    }
}

TEST(MqttCommands, RefusalsAreLoggedOncePerTopicAndKindThenCounted)
{
    RefusalLog log;
    auto t = RefusalLog::Clock::time_point{};
    int lines = 0;
    for (int i = 0; i < 10000; ++i) lines += log.note("n/pwm/set", Refusal::OutOfRange, "101", t).has_value();
    EXPECT_EQ(lines, 1);
    EXPECT_TRUE(log.note("n/pwm/set", Refusal::NotANumber, "x", t)) << "another kind has a line of its own";
    EXPECT_TRUE(log.note("n/led/set", Refusal::Empty, "", t));
    EXPECT_TRUE(log.note("n/pwm/set", Refusal::Empty, "", t)) << "the same kind on another topic too";
    auto line = log.note("n/pwm/set", Refusal::Oversized, std::string(1 << 20, '7'), t);
    ASSERT_TRUE(line);
    EXPECT_LT(line->size(), 200u) << "a megabyte payload is shown cut";
    EXPECT_NE(line->find("(1048576 bytes)"), std::string::npos) << *line;

    EXPECT_EQ(log.unreported(), std::vector<std::string>{"ignored 9999 more payloads on n/pwm/set: outside 0 to 100"});
    // An hour later the kind gets a line again, with what was counted meanwhile.
    auto later = log.note("n/pwm/set", Refusal::OutOfRange, "102", t + RefusalLog::kRepeatAfter);
    ASSERT_TRUE(later);
    EXPECT_NE(later->find("9999 more"), std::string::npos) << *later;
    EXPECT_TRUE(log.unreported().empty());
}

TEST(NodePresence, SilentForTwoMeasuredCyclesIsAbsent)
{
    struct Row {
        const char* name;
        std::vector<double> reports;
        double cycle;  // expected measure
    };
    const Row rows[] = {
        {"nothing yet", {}, NodePresence::kReportCycle},
        {"one cycle's pair: no whole cycle seen", {0, 0.02}, NodePresence::kReportCycle},
        {"a real node, pairs", {0, 0.02, 4.85, 4.87, 9.70, 9.72}, 4.83},
        {"five times real time", {0, 0.004, 0.97, 0.974, 1.94, 1.944}, 0.966},
        {"failed readings: the switch only", {0, 0.966, 1.932}, 0.966},
        {"a gap while away is not a cycle", {0, 0.02, 30, 30.02, 34.85, 34.87}, 4.83},
        {"a burst read at once is not a fast node", {10, 10.001, 10.002, 10.003}, NodePresence::kShortestCycle},
    };
    for (const Row& row : rows) {
        NodePresence p;
        for (double t : row.reports) p.on_report(t);
        EXPECT_NEAR(p.cycle(), row.cycle, 1e-9) << row.name;
        if (row.reports.empty()) {
            EXPECT_FALSE(p.present(0)) << row.name << ": present before any report";
            continue;
        }
        const double last = row.reports.back(), limit = NodePresence::kSilentCycles * row.cycle;
        EXPECT_TRUE(p.present(last + limit - 0.01)) << row.name;
        EXPECT_FALSE(p.present(last + limit + 0.01)) << row.name;
    }
}

TEST(MqttOptions, UrlsCredentialsAndTheDefaultBase)
{
    TempDir dir;
    std::ofstream(dir.file("password")) << "pass word\r\nsecond line\n";
    std::ofstream(dir.file("empty")) << "\n";
    std::ofstream(dir.file("ca.pem")) << "-----BEGIN CERTIFICATE-----\n";
    struct Row {
        std::string url, ca, user, password_file, base, device, tcp;
        std::string error;  // a part of the message; empty when accepted
        std::string broker, expected_base;
    };
    const std::string pw = dir.file("password"), ca = dir.file("ca.pem");
    const Row rows[] = {
        {"mqtt://127.0.0.1:1883", "", "", "", "", "", "", "", "mqtt://127.0.0.1:1883", "node/sim"},
        {"mqtt://broker.lan", "", "", "", "", "", "", "", "mqtt://broker.lan:1883", "node/sim"},
        {"MQTTS://broker.lan/", ca, "", "", "", "", "", "", "mqtts://broker.lan:8883", "node/sim"},
        {"mqtts://[::1]:8884", "", "u", pw, "", "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0", "", "",
         "mqtts://[::1]:8884", "node/usb-FTDI_A50285BI-if00-port0"},
        {"mqtt://[::1]", "", "", "", "", "/dev/ttyUSB0", "", "", "mqtt://[::1]:1883", "node/ttyUSB0"},
        {"mqtt://h:1", "", "", "", "garage/node", "", "127.0.0.1:7000", "", "mqtt://h:1", "garage/node"},
        {"mqtt://h:1", "", "", "", "", "", "[::1]:7000", "", "mqtt://h:1", "node/tcp-1-7000"},
        {"mqtt://h:1", "", "", "", "", "", "127.0.0.1:7000", "", "mqtt://h:1", "node/tcp-127-0-0-1-7000"},
        {"http://h:1", "", "", "", "", "", "", "give mqtt://"},
        {"mqtt://u:secret@h:1", "", "", "", "", "", "", "no user or password in the URL"},
        {"mqtt://::1:1883", "", "", "", "", "", "", "in brackets"},
        {"mqtt://h:0", "", "", "", "", "", "", "port 0"},
        {"mqtt://h:70000", "", "", "", "", "", "", "above 65535"},
        {"mqtt://:1883", "", "", "", "", "", "", "host is missing"},
        {"mqtt://h:1", ca, "", "", "", "", "", "for a TLS broker"},
        {"mqtts://h:1", dir.file("none.pem"), "", "", "", "", "", "cannot be read"},
        {"mqtt://h:1", "", "", pw, "", "", "", "needs --mqtt-user"},
        {"mqtt://h:1", "", "u", dir.file("empty"), "", "", "", "first line is empty"},
        {"mqtt://h:1", "", "u", dir.file("none"), "", "", "", "cannot be read"},
        {"mqtt://h:1", "", "", "", "node/#", "", "", "without '+', '#'"},
        {"mqtt://h:1", "", "", "", "node/", "", "", "without '+', '#'"},
        {"", "", "u", "", "", "", "", "need --mqtt"},
    };
    for (const Row& row : rows) {
        Options o{row.url, row.ca, row.user, row.password_file, row.base};
        auto error = resolve(o, row.device, row.tcp);
        if (!row.error.empty()) {
            ASSERT_TRUE(error) << row.url << " was accepted";
            EXPECT_NE(error->find(row.error), std::string::npos) << row.url << ": " << *error;
            continue;
        }
        ASSERT_FALSE(error) << row.url << ": " << *error;
        EXPECT_EQ(o.broker(), row.broker);
        EXPECT_EQ(o.base, row.expected_base);
        if (!row.password_file.empty()) {
            EXPECT_EQ(o.password, "pass word");
        }
    }
}

TEST(MqttTopics, StateMessagesSayWhatThePageKnowsAndNoMore)
{
    auto snapshot = nlohmann::json::parse(R"({"now": 100, "connected": true, "link": "tcp 127.0.0.1:7000",
        "temperature": "23.5", "celsius": 23.5, "stale": true, "switch": null, "led": null, "pwm": 40})");
    auto m = state_messages("n", snapshot, false);
    const std::map<std::string, std::string> expected = {
        {"n/availability", "offline"},
        {"n/temperature", "23.5"},
        {"n/temperature/stale", "true"},
        {"n/led", "None"},  // after a reset: unknown, not what was sent before it
        {"n/pwm", "40"},
        {"n/link", "up"},
        {"n/link/detail", "tcp 127.0.0.1:7000"}};
    EXPECT_EQ(m, expected);  // no switch before its first report

    snapshot["switch"] = true;
    snapshot["led"] = false;
    snapshot["stale"] = false;
    snapshot["temperature"] = nullptr;  // never read: not a fresh reading either
    m = state_messages("n", snapshot, true);
    EXPECT_EQ(m["n/availability"], "online");
    EXPECT_EQ(m["n/switch"], "ON");
    EXPECT_EQ(m["n/led"], "OFF");
    EXPECT_EQ(m["n/temperature/stale"], "true");
    EXPECT_EQ(m.count("n/temperature"), 0u);
}

TEST(MqttTopics, DiscoveryIsOneDeviceWithFourEntitiesForHomeAssistant)
{
    auto messages = discovery_messages("house/garage-node");
    ASSERT_EQ(messages.size(), 4u);
    std::map<std::string, nlohmann::json> by_topic;
    for (const auto& m : messages) by_topic[m.topic] = nlohmann::json::parse(m.payload);
    const std::string p = "homeassistant/", id = "house_garage-node";
    auto sensor = by_topic.at(p + "sensor/" + id + "/temperature/config");
    EXPECT_EQ(sensor["device_class"], "temperature");
    EXPECT_EQ(sensor["state_class"], "measurement");
    EXPECT_EQ(sensor["unit_of_measurement"], "°C");
    EXPECT_EQ(sensor["availability_mode"], "all");
    EXPECT_EQ(sensor["availability"][1]["topic"], "house/garage-node/temperature/stale");
    auto light = by_topic.at(p + "light/" + id + "/led/config");
    EXPECT_EQ(light["command_topic"], "house/garage-node/led/set");
    auto number = by_topic.at(p + "number/" + id + "/pwm/config");
    EXPECT_EQ(number["command_topic"], "house/garage-node/pwm/set");
    EXPECT_EQ(number["min"], 0);
    EXPECT_EQ(number["max"], 100);
    EXPECT_EQ(number["step"], 1);
    ASSERT_TRUE(by_topic.count(p + "binary_sensor/" + id + "/switch/config"));
    std::set<std::string> unique_ids;
    for (const auto& [topic, config] : by_topic) {
        unique_ids.insert(config["unique_id"].get<std::string>());
        EXPECT_EQ(config["device"]["identifiers"], nlohmann::json::array({id})) << topic;
        EXPECT_EQ(config["availability"][0]["topic"], "house/garage-node/availability") << topic;
    }
    EXPECT_EQ(unique_ids.size(), 4u);
    // --mqtt-forget empties every one of them, and the state.
    auto forgotten = retained_topics("house/garage-node");
    for (const auto& m : messages) EXPECT_NE(std::find(forgotten.begin(), forgotten.end(), m.topic), forgotten.end());
    EXPECT_NE(std::find(forgotten.begin(), forgotten.end(), "house/garage-node/availability"), forgotten.end());
}
