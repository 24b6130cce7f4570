// What the bridge publishes: the node's state as retained messages under the base topic, and the
// Home Assistant discovery messages that make the node one device with four entities.
//
//   BASE/availability        online / offline (the last will; offline too while the node is silent)
//   BASE/temperature         the node's reading as it reports it ("22.5", degrees Celsius)
//   BASE/temperature/stale   true while the last reading failed (the temperature is an older one)
//   BASE/switch              ON / OFF
//   BASE/led                 ON / OFF as last sent; None while unknown (the node was reset)
//   BASE/pwm                 the duty last sent, 0 to 100; None while unknown
//   BASE/link                up / down
//   BASE/link/detail         the link as the page names it, or why it is down
//   BASE/led/set, BASE/pwm/set   commands in (read in mqtt_commands.h)
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace dashboard::mqtt {

struct Message {
    std::string topic;
    std::string payload;
};

constexpr const char* kDiscoveryPrefix = "homeassistant";
// Home Assistant publishes "online" here when it starts: the discovery is sent again then.
constexpr const char* kHomeAssistantStatus = "homeassistant/status";
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

std::string availability_topic(const std::string& base);
std::string led_set_topic(const std::string& base);
std::string pwm_set_topic(const std::string& base);

// The retained state for the page's state (Connection::snapshot) and whether the node is present;
// by topic. A value the page does not know yet (no report so far) is left out, so the broker keeps
// the last one published.
std::map<std::string, std::string> state_messages(const std::string& base, const nlohmann::json& snapshot,
                                                  bool node_present);

// The device's id in Home Assistant, from the base topic ("node/sim" -> "node_sim"): the same base
// is the same device.
std::string device_id(const std::string& base);

// The four discovery messages (retained): the temperature sensor, the switch as a binary sensor,
// the LED as a light, the PWM duty as a number.
std::vector<Message> discovery_messages(const std::string& base);

// Every retained topic the bridge publishes, discovery included: --mqtt-forget empties them.
std::vector<std::string> retained_topics(const std::string& base);

}  // namespace dashboard::mqtt
