#include "jsonl_reader.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace sim::trace {

namespace {

using nlohmann::json;

Picos picos(double units, double picos_per_unit)
{
    const double p = std::round(units * picos_per_unit);
    if (!(p >= 0) || p > 1.8e19) throw std::runtime_error("a time or duration out of range");
    return static_cast<Picos>(p);
}
Picos from_seconds(const json& j, const char* key)
{
    return picos(j.at(key).get<double>(), static_cast<double>(kPicosPerSecond));
}
Picos from_micros(const json& j, const char* key)
{
    return picos(j.at(key).get<double>(), static_cast<double>(kPicosPerMicro));
}
std::string text(const json& j, const char* key)
{
    return j.at(key).get<std::string>();
}

std::optional<Payload> payload(const std::string& kind, const json& j)
{
    if (kind == "tx") return Tx{text(j, "port"), j.at("byte").get<uint8_t>()};
    if (kind == "rx") return Rx{text(j, "port"), j.at("byte").get<uint8_t>()};
    if (kind == "pin") {
        PinLevel e{text(j, "pin"), j.at("level").get<int>(), std::nullopt};
        if (j.contains("driven")) e.driven = j["driven"].get<bool>();
        return e;
    }
    if (kind == "pwm") return Pwm{from_micros(j, "period_us"), from_micros(j, "high_us")};
    if (kind == "onewire") {
        OneWire e{text(j, "what"), j.value("value", -1), std::nullopt, from_seconds(j, "start"),
                  from_micros(j, "duration_us")};
        if (j.contains("celsius")) e.celsius = j["celsius"].get<double>();
        return e;
    }
    if (kind == "violation") return Violation{text(j, "what"), from_micros(j, "measured_us")};
    if (kind == "stimulus") return Stimulus{text(j, "verb"), text(j, "text"), j.value("line", 0)};
    if (kind == "log") return Note{text(j, "text")};
    if (kind == "halt") return Halt{text(j, "reason")};
    if (kind == "end") return End{text(j, "reason")};
    if (kind == "rx_armed") return RxArmed{text(j, "port"), j.at("armed").get<bool>()};
    return std::nullopt;
}

}  // namespace

std::optional<Event> read_event(std::string_view line)
{
    const json j = json::parse(line.begin(), line.end(), nullptr, false);
    try {
        if (j.is_discarded() || !j.is_object()) throw std::runtime_error("not a JSON object");
        std::optional<Payload> what = payload(text(j, "kind"), j);
        if (!what) return std::nullopt;
        return Event{from_seconds(j, "t"), std::move(*what)};
    } catch (const std::exception& error) {
        throw std::runtime_error("not a trace event (" + std::string(error.what()) +
                                 "): " + std::string(line.substr(0, 120)));
    }
}

}  // namespace sim::trace
