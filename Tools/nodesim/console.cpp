#include "console.h"

#include <cstdio>

namespace nodesim {

namespace {
using namespace sim::trace;

constexpr sim::Picos kPause = sim::milliseconds(5);

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

std::string format_micros(sim::Picos p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.0f us", sim::to_micros(p));
    return text;
}

std::string describe_pwm(const Pwm& pwm)
{
    if (pwm.period == 0) return "PWM A0 stopped";
    if (pwm.high == 0) return "PWM A0 constantly low (0 %), period " + format_micros(pwm.period);
    if (pwm.high >= pwm.period) return "PWM A0 constantly high, period " + format_micros(pwm.period);
    char text[96];
    std::snprintf(text, sizeof text, "PWM A0 %.2f %% (%s high of %s)",
                  100.0 * static_cast<double>(pwm.high) / static_cast<double>(pwm.period),
                  format_micros(pwm.high).c_str(), format_micros(pwm.period).c_str());
    return text;
}

std::string describe_pin(const PinLevel& pin)
{
    // The board's LED hangs between 3.3 V and C13: it lights when the pin is driven low. An input (as
    // from reset) sinks no current, whatever level it reads.
    if (pin.pin == "C13") {
        if (pin.driven == false) return "LED C13 not driven (dark)";
        return std::string("LED C13 ") + (pin.level ? "high (dark)" : "low (lit)");
    }
    return std::string("switch B12 reads ") + (pin.level ? "high" : "low");
}
}  // namespace

void Console::say(sim::Picos at, const std::string& text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%10.4f] ", sim::to_seconds(at));
    out_ << stamp << text << '\n';
    out_.flush();
}

void Console::add_byte(const std::string& key, sim::Picos at, uint8_t byte)
{
    Pending& p = pending_[key];
    if (!p.bytes.empty() && at - p.last > kPause) flush(key);
    if (p.bytes.empty()) p.first = at;
    p.bytes += static_cast<char>(byte);
    p.last = at;
    if (byte == '$' || byte == '\n' || p.bytes.size() >= 64) flush(key);
}

void Console::flush(const std::string& key)
{
    Pending& p = pending_[key];
    if (p.bytes.empty()) return;
    say(p.first, key + " " + sim::trace::printable(p.bytes));
    p.bytes.clear();
}

void Console::flush_quiet(sim::Picos now)
{
    for (auto& [key, p] : pending_)
        if (!p.bytes.empty() && now - p.last > kPause) flush(key);
}

void Console::record(const Event& event)
{
    std::visit(Overloaded{
                   [&](const Tx& e) { add_byte(e.port + " >", event.t, e.byte); },
                   [&](const Rx& e) { add_byte(e.port + " <", event.t, e.byte); },
                   [&](const PinLevel& e) {
                       // What a person watches: the LED and the switch; the serial and 1-Wire lines have
                       // their own lines of text or none.
                       if (e.pin == "C13" || e.pin == "B12") say(event.t, describe_pin(e));
                   },
                   [&](const Pwm& e) { say(event.t, describe_pwm(e)); },
                   [&](const OneWire&) {},
                   [&](const Violation& e) {
                       say(event.t, "1-Wire timing out of window: " + e.what + " (" + format_micros(e.measured) + ")");
                   },
                   [&](const Stimulus& e) {
                       std::string where = e.line > 0 ? "scenario line " + std::to_string(e.line) : "console";
                       say(event.t, where + ": " + e.verb + (e.text.empty() ? "" : " " + e.text));
                   },
                   [&](const Note&) {},  // the simulator's log lines go to stderr as they happen
                   [&](const Halt& e) { say(event.t, "node halted: " + e.reason); },
                   [&](const Reset& e) { say(event.t, "node reset (" + e.cause + ")"); },
                   [&](const End&) {},
                   [&](const RxArmed&) {},
               },
               event.what);
}

void Console::finish(sim::Picos)
{
    for (auto& [key, p] : pending_) flush(key);
}

}  // namespace nodesim
