#include "mqtt_topics.h"

#include "mqtt_options.h"

namespace dashboard::mqtt {
namespace {

constexpr const char* kStateLeaves[] = {"temperature", "temperature/stale", "switch", "led", "pwm",
                                        "link",        "link/detail"};
// Home Assistant reads "None" on a light's or a number's state topic as "unknown".
constexpr const char* kUnknown = "None";

std::string on_off(bool on)
{
    return on ? "ON" : "OFF";
}

struct Entity {
    const char* component;  // Home Assistant's platform
    const char* object;     // the entity's id within the device
    nlohmann::json fields;
};

}  // namespace

std::string availability_topic(const std::string& base)
{
    return base + "/availability";
}

std::string led_set_topic(const std::string& base)
{
    return base + "/led/set";
}

std::string pwm_set_topic(const std::string& base)
{
    return base + "/pwm/set";
}

std::map<std::string, std::string> state_messages(const std::string& base, const nlohmann::json& snapshot,
                                                  bool node_present)
{
    std::map<std::string, std::string> out;
    auto put = [&](const char* leaf, std::string payload) { out[base + "/" + leaf] = std::move(payload); };
    put("availability", node_present ? kOnline : kOffline);
    auto field = [&](const char* name) { return snapshot.value(name, nlohmann::json()); };
    const auto temperature = field("temperature"), switch_on = field("switch"), led = field("led"), pwm = field("pwm");
    if (temperature.is_string()) put("temperature", temperature.get<std::string>());
    put("temperature/stale", temperature.is_string() && !snapshot.value("stale", true) ? "false" : "true");
    if (switch_on.is_boolean()) put("switch", on_off(switch_on.get<bool>()));
    put("led", led.is_boolean() ? on_off(led.get<bool>()) : kUnknown);
    put("pwm", pwm.is_number_integer() ? std::to_string(pwm.get<int>()) : kUnknown);
    put("link", snapshot.value("connected", false) ? "up" : "down");
    put("link/detail", snapshot.value("link", std::string()));
    return out;
}

std::string device_id(const std::string& base)
{
    return id_characters(base, '_');
}

std::vector<Message> discovery_messages(const std::string& base)
{
    const std::string id = device_id(base);
    const nlohmann::json device = {
        {"identifiers", {id}},
        {"name", "Node " + base},
        {"model", "STM32F411 sensor-and-actuator node"},
        {"manufacturer", "node"},
    };
    const nlohmann::json available = {{"topic", availability_topic(base)}};
    const std::vector<Entity> entities = {
        {"sensor",
         "temperature",
         {{"name", "Temperature"},
          {"state_topic", base + "/temperature"},
          {"unit_of_measurement", "°C"},
          {"device_class", "temperature"},
          {"state_class", "measurement"},
          // A reading that failed makes the sensor unavailable rather than show an old value as new.
          {"availability",
           {available,
            {{"topic", base + "/temperature/stale"},
             {"payload_available", "false"},
             {"payload_not_available", "true"}}}},
          {"availability_mode", "all"}}},
        {"binary_sensor",
         "switch",
         {{"name", "Switch"}, {"state_topic", base + "/switch"}, {"availability", {available}}}},
        {"light",
         "led",
         {{"name", "LED"},
          {"state_topic", base + "/led"},
          {"command_topic", led_set_topic(base)},
          {"availability", {available}}}},
        {"number",
         "pwm",
         {{"name", "PWM duty"},
          {"state_topic", base + "/pwm"},
          {"command_topic", pwm_set_topic(base)},
          {"min", 0},
          {"max", 100},
          {"step", 1},
          {"unit_of_measurement", "%"},
          {"mode", "slider"},
          {"availability", {available}}}},
    };
    std::vector<Message> out;
    for (const auto& e : entities) {
        nlohmann::json config = e.fields;
        config["unique_id"] = id + "_" + e.object;
        config["object_id"] = id + "_" + e.object;
        config["device"] = device;
        out.push_back(
            {std::string(kDiscoveryPrefix) + "/" + e.component + "/" + id + "/" + e.object + "/config", config.dump()});
    }
    return out;
}

std::vector<std::string> retained_topics(const std::string& base)
{
    std::vector<std::string> out;
    for (const auto& m : discovery_messages(base)) out.push_back(m.topic);
    out.push_back(availability_topic(base));
    for (const char* leaf : kStateLeaves) out.push_back(base + "/" + leaf);
    return out;
}

}  // namespace dashboard::mqtt
