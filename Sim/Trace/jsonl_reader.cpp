#include "jsonl_reader.h"

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <type_traits>
#include <utility>

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

// One reading for each type of event, chosen by the type: a Payload type without one here stops the
// table below from compiling.
template <class T>
using As = std::type_identity<T>;

Tx read(const json& j, As<Tx>)
{
    return {text(j, "port"), j.at("byte").get<uint8_t>()};
}
Rx read(const json& j, As<Rx>)
{
    return {text(j, "port"), j.at("byte").get<uint8_t>()};
}
PinLevel read(const json& j, As<PinLevel>)
{
    PinLevel e{text(j, "pin"), j.at("level").get<int>(), std::nullopt};
    if (j.contains("driven")) e.driven = j["driven"].get<bool>();
    return e;
}
Pwm read(const json& j, As<Pwm>)
{
    return {from_micros(j, "period_us"), from_micros(j, "high_us")};
}
OneWire read(const json& j, As<OneWire>)
{
    OneWire e{text(j, "what"), j.value("value", -1), std::nullopt, from_seconds(j, "start"),
              from_micros(j, "duration_us")};
    if (j.contains("celsius")) e.celsius = j["celsius"].get<double>();
    return e;
}
Violation read(const json& j, As<Violation>)
{
    return {text(j, "what"), from_micros(j, "measured_us")};
}
Stimulus read(const json& j, As<Stimulus>)
{
    return {text(j, "verb"), text(j, "text"), j.value("line", 0)};
}
Note read(const json& j, As<Note>)
{
    return {text(j, "text")};
}
Halt read(const json& j, As<Halt>)
{
    return {text(j, "reason")};
}
End read(const json& j, As<End>)
{
    return {text(j, "reason")};
}
RxArmed read(const json& j, As<RxArmed>)
{
    return {text(j, "port"), j.at("armed").get<bool>()};
}
Reset read(const json& j, As<Reset>)
{
    return {text(j, "cause")};
}

// A row of the table: the kind as the writer names it (kind_of) and its reading.
struct KindRow {
    std::string kind;
    Payload (*read)(const json&);
};
constexpr size_t kKinds = std::variant_size_v<Payload>;

template <size_t I>
Payload read_alternative(const json& j)
{
    using T = std::variant_alternative_t<I, Payload>;
    return Payload{std::in_place_index<I>, read(j, As<T>{})};
}

template <size_t... I>
std::array<KindRow, kKinds> make_table(std::index_sequence<I...>)
{
    return {KindRow{kind_of(Payload{std::in_place_index<I>}), &read_alternative<I>}...};
}

// In the Payload's order, which is the writer's most frequent first (bytes, pins, the PWM meter).
const std::array<KindRow, kKinds>& kind_table()
{
    static const std::array<KindRow, kKinds> table = make_table(std::make_index_sequence<kKinds>{});
    return table;
}

std::string where(size_t line_number)
{
    return line_number == 0 ? "" : "line " + std::to_string(line_number) + ": ";
}

}  // namespace

std::vector<std::string> known_kinds()
{
    std::vector<std::string> kinds;
    for (const KindRow& row : kind_table()) kinds.push_back(row.kind);
    return kinds;
}

Event read_event(std::string_view line, size_t line_number)
{
    const json j = json::parse(line.begin(), line.end(), nullptr, false);
    std::string kind;
    try {
        if (j.is_discarded() || !j.is_object()) throw std::runtime_error("not a JSON object");
        kind = text(j, "kind");
        for (const KindRow& row : kind_table())
            if (row.kind == kind) return Event{from_seconds(j, "t"), row.read(j)};
    } catch (const std::exception& error) {
        throw std::runtime_error(where(line_number) + "not a trace event" +
                                 (kind.empty() ? "" : " of kind \"" + kind + "\"") + " (" + error.what() +
                                 "): " + std::string(line.substr(0, 120)));
    }
    std::string known;
    for (const KindRow& row : kind_table()) known += (known.empty() ? "" : ", ") + row.kind;
    throw std::runtime_error(where(line_number) + "an event of a kind this reader does not know, \"" + kind +
                             "\" (it knows " + known + "): a trace from a newer simulator?");
}

}  // namespace sim::trace
