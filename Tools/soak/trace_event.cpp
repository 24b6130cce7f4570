#include "trace_event.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace soak {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

TraceEvent::Kind kind_of(const std::string& kind)
{
    using Kind = TraceEvent::Kind;
    if (kind == "tx") return Kind::Tx;
    if (kind == "rx") return Kind::Rx;
    if (kind == "pin") return Kind::Pin;
    if (kind == "pwm") return Kind::Pwm;
    if (kind == "onewire") return Kind::OneWire;
    if (kind == "violation") return Kind::Violation;
    if (kind == "stimulus") return Kind::Stimulus;
    if (kind == "log") return Kind::Log;
    if (kind == "halt") return Kind::Halt;
    if (kind == "end") return Kind::End;
    if (kind == "rx_armed") return Kind::RxArmed;
    return Kind::Other;
}

}  // namespace

std::string unprintable(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        char e = text[++i];
        if (e == 'r') {
            out += '\r';
        } else if (e == 'n') {
            out += '\n';
        } else if (e == 't') {
            out += '\t';
        } else if (e == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += e;  // "\\" and anything unknown: the character itself
        }
    }
    return out;
}

TraceEvent parse_trace_line(std::string_view line)
{
    const auto j = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("t") || !j.contains("kind"))
        throw std::runtime_error("not a trace event: " + std::string(line.substr(0, 120)));
    TraceEvent e;
    e.t = j["t"].get<double>();
    e.kind = kind_of(j["kind"].get<std::string>());
    using Kind = TraceEvent::Kind;
    switch (e.kind) {
        case Kind::Tx:
        case Kind::Rx:
            e.port = j.value("port", "");
            e.byte = j.value("byte", 0);
            break;
        case Kind::Pin:
            e.pin = j.value("pin", "");
            e.level = j.value("level", 0);
            break;
        case Kind::Pwm:
            e.period_us = j.value("period_us", 0.0);
            e.high_us = j.value("high_us", 0.0);
            break;
        case Kind::OneWire:
            e.what = j.value("what", "");
            if (j.contains("celsius")) e.celsius = j["celsius"].get<double>();
            break;
        case Kind::Violation:
            e.what = j.value("what", "");
            e.measured_us = j.value("measured_us", 0.0);
            break;
        case Kind::Stimulus:
            e.verb = j.value("verb", "");
            e.text = j.value("text", "");
            if (e.verb == "send") e.text = unprintable(e.text);
            break;
        case Kind::Log:
            e.what = j.value("text", "");
            break;
        case Kind::Halt:
        case Kind::End:
            e.what = j.value("reason", "");
            break;
        case Kind::RxArmed:
            e.port = j.value("port", "");
            e.armed = j.value("armed", false);
            break;
        case Kind::Other:
            break;
    }
    return e;
}

}  // namespace soak
