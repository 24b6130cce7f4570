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

// Every kind a trace holds, with the decoding of its fields.
using Decoder = Payload (*)(const json& j);
struct KindDecoder {
    std::string_view kind;
    Decoder decode;
};
constexpr KindDecoder kKinds[] = {
    {"tx",
     [](const json& j) -> Payload {
         return Tx{text(j, "port"), j.at("byte").get<uint8_t>()};
     }},
    {"rx",
     [](const json& j) -> Payload {
         return Rx{text(j, "port"), j.at("byte").get<uint8_t>()};
     }},
    {"pin",
     [](const json& j) -> Payload {
         PinLevel e{text(j, "pin"), j.at("level").get<int>(), std::nullopt};
         if (j.contains("driven")) e.driven = j["driven"].get<bool>();
         return e;
     }},
    {"pwm",
     [](const json& j) -> Payload {
         return Pwm{from_micros(j, "period_us"), from_micros(j, "high_us")};
     }},
    {"onewire",
     [](const json& j) -> Payload {
         OneWire e{text(j, "what"), j.value("value", -1), std::nullopt, from_seconds(j, "start"),
                   from_micros(j, "duration_us")};
         if (j.contains("celsius")) e.celsius = j["celsius"].get<double>();
         return e;
     }},
    {"violation",
     [](const json& j) -> Payload {
         return Violation{text(j, "what"), from_micros(j, "measured_us")};
     }},
    {"stimulus",
     [](const json& j) -> Payload {
         return Stimulus{text(j, "verb"), text(j, "text"), j.value("line", 0)};
     }},
    {"log", [](const json& j) -> Payload { return Note{text(j, "text")}; }},
    {"halt", [](const json& j) -> Payload { return Halt{text(j, "reason")}; }},
    {"end", [](const json& j) -> Payload { return End{text(j, "reason")}; }},
    {"rx_armed",
     [](const json& j) -> Payload {
         return RxArmed{text(j, "port"), j.at("armed").get<bool>()};
     }},
    {"reset", [](const json& j) -> Payload { return Reset{text(j, "cause")}; }},
};

// A kind the table does not know is an error: a trace from a newer simulator, or a damaged one, is
// refused rather than read with events missing.
Payload payload(const std::string& kind, const json& j)
{
    for (const KindDecoder& k : kKinds)
        if (k.kind == kind) return k.decode(j);
    throw std::runtime_error("unknown kind '" + kind + "'");
}

}  // namespace

std::optional<Event> read_event(std::string_view line)
{
    const json j = json::parse(line.begin(), line.end(), nullptr, false);
    try {
        if (j.is_discarded() || !j.is_object()) throw std::runtime_error("not a JSON object");
        return Event{from_seconds(j, "t"), payload(text(j, "kind"), j)};
    } catch (const std::exception& error) {
        throw std::runtime_error("not a trace event (" + std::string(error.what()) +
                                 "): " + std::string(line.substr(0, 120)));
    }
}

}  // namespace sim::trace
