#include "jsonl_writer.h"

namespace sim::trace {

namespace {
template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// clang 14 does not yet deduce an aggregate's template arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Microseconds as a whole number when they are whole (the PWM's 20001 us period), else with a fraction.
nlohmann::ordered_json micros(Picos p)
{
    if (p % kPicosPerMicro == 0) return p / kPicosPerMicro;
    return to_micros(p);
}
}  // namespace

JsonlWriter::JsonlWriter(std::ostream& out, std::set<std::string> pins) : out_(out), pins_(std::move(pins)) {}

nlohmann::ordered_json JsonlWriter::to_json(const Event& event)
{
    nlohmann::ordered_json j;
    j["t"] = to_seconds(event.t);
    j["kind"] = kind_of(event.what);
    std::visit(Overloaded{
                   [&](const Tx& e) {
                       j["port"] = e.port;
                       j["byte"] = e.byte;
                   },
                   [&](const Rx& e) {
                       j["port"] = e.port;
                       j["byte"] = e.byte;
                   },
                   [&](const PinLevel& e) {
                       j["pin"] = e.pin;
                       j["level"] = e.level;
                       if (e.driven) j["driven"] = *e.driven;
                   },
                   [&](const Pwm& e) {
                       j["period_us"] = micros(e.period);
                       j["high_us"] = micros(e.high);
                   },
                   [&](const OneWire& e) {
                       j["what"] = e.what;
                       if (e.value >= 0) j["value"] = e.value;
                       if (e.celsius) j["celsius"] = *e.celsius;
                       j["start"] = to_seconds(e.start);
                       j["duration_us"] = micros(e.duration);
                   },
                   [&](const Violation& e) {
                       j["what"] = e.what;
                       j["measured_us"] = micros(e.measured);
                   },
                   [&](const Stimulus& e) {
                       j["verb"] = e.verb;
                       j["text"] = e.text;
                       if (e.line > 0) j["line"] = e.line;
                   },
                   [&](const Note& e) { j["text"] = e.text; },
                   [&](const Halt& e) { j["reason"] = e.reason; },
                   [&](const Reset& e) { j["cause"] = e.cause; },
                   [&](const End& e) { j["reason"] = e.reason; },
                   [&](const RxArmed& e) {
                       j["port"] = e.port;
                       j["armed"] = e.armed;
                   },
               },
               event.what);
    return j;
}

void JsonlWriter::record(const Event& event)
{
    if (const auto* pin = std::get_if<PinLevel>(&event.what); pin && !pins_.contains(pin->pin)) return;
    // Bytes the node sends may be anything; replace what is not UTF-8 rather than stop the run.
    out_ << to_json(event).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

void JsonlWriter::finish(Picos)
{
    out_.flush();
}

}  // namespace sim::trace
