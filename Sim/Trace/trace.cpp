#include "trace.h"

#include "hex_digits.h"

namespace sim::trace {

namespace {
template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// clang 14 does not yet deduce an aggregate's template arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;
}  // namespace

const char* kind_of(const Payload& what)
{
    return std::visit(Overloaded{
                          [](const Tx&) { return "tx"; },
                          [](const Rx&) { return "rx"; },
                          [](const PinLevel&) { return "pin"; },
                          [](const Pwm&) { return "pwm"; },
                          [](const OneWire&) { return "onewire"; },
                          [](const Violation&) { return "violation"; },
                          [](const Stimulus&) { return "stimulus"; },
                          [](const Note&) { return "log"; },
                          [](const Halt&) { return "halt"; },
                          [](const End&) { return "end"; },
                          [](const RxArmed&) { return "rx_armed"; },
                          [](const Reset&) { return "reset"; },
                      },
                      what);
}

std::string pin_name(char port, int pin)
{
    return std::string(1, port) + std::to_string(pin);
}

std::string printable(const std::string& bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c > 0x7E) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

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
        } else if (e == 'x' && common::hex_byte_at(text, i + 1) >= 0) {
            out += static_cast<char>(common::hex_byte_at(text, i + 1));
            i += 2;
        } else {
            out += e;  // "\\" and anything unknown: the character itself
        }
    }
    return out;
}

void Trace::record(Picos t, Payload what)
{
    // Every producer records at the chip's current time, which never goes back; a producer that reports
    // a little late (a model noticing an edge at its next event) is held to the order the files need.
    if (t < last_) t = last_;
    last_ = t;
    const Event event{t, std::move(what)};
    for (Sink* sink : sinks_) sink->record(event);
}

void Trace::finish(Picos end)
{
    if (end < last_) end = last_;
    for (Sink* sink : sinks_) sink->finish(end);
}

}  // namespace sim::trace
