#include "moments.h"

#include <algorithm>
#include <cstdio>

#include "named.h"
#include "node_facts.h"

namespace sweep {

namespace {

constexpr sim::Picos kNodeChar = node_facts::kPortCharPicos;
constexpr size_t kGreeting = node_facts::kGreeting.size();

constexpr std::pair<MomentKind, const char*> kMomentNames[] = {{MomentKind::ReportStart, "report-start"},
                                                               {MomentKind::ReportEnd, "report-end"},
                                                               {MomentKind::Armed, "armed"},
                                                               {MomentKind::CycleStart, "cycle"},
                                                               {MomentKind::OneWire, "onewire"}};

std::string char_name(uint8_t byte)
{
    char text[16];
    if (byte >= 0x20 && byte < 0x7F)
        std::snprintf(text, sizeof text, "'%c'", byte);
    else
        std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

}  // namespace

const char* kind_name(MomentKind kind)
{
    return name_of(kMomentNames, kind);
}

std::optional<MomentKind> kind_from_name(std::string_view name)
{
    return kind_named(kMomentNames, name);
}

std::vector<Moment> find_moments(const std::vector<sim::trace::Event>& baseline)
{
    namespace tr = sim::trace;
    std::vector<Moment> moments;
    auto add = [&moments](MomentKind kind, sim::Picos t, std::string what) {
        moments.push_back({kind, 0, t, std::move(what)});
    };
    size_t usart1_bytes = 0;
    bool cycle_begun = false;  // a cycle's first 1-Wire reset marks its start; the next comes after its reports
    for (const tr::Event& e : baseline) {
        if (const auto* tx = std::get_if<tr::Tx>(&e.what)) {
            if (tx->port != "USART1" || ++usart1_bytes <= kGreeting) continue;
            add(MomentKind::ReportStart, e.t - kNodeChar, char_name(tx->byte) + " starts");
            add(MomentKind::ReportEnd, e.t, char_name(tx->byte) + " ends");
            if (tx->byte == '$') cycle_begun = false;  // a report's end: the next reset may begin a cycle
        } else if (const auto* armed = std::get_if<tr::RxArmed>(&e.what)) {
            // Not the start-up's arming: the port's receiver is switched on just before it, so a character
            // placed there would start before the receiver could see its start bit.
            if (armed->port == "USART1" && usart1_bytes >= kGreeting)
                add(MomentKind::Armed, e.t, armed->armed ? "armed" : "disarmed");
        } else if (const auto* onewire = std::get_if<tr::OneWire>(&e.what)) {
            if (onewire->what == "presence" || onewire->what == "conversion") continue;  // the sensor's own
            if (usart1_bytes >= kGreeting && !cycle_begun && onewire->what == "reset") {
                cycle_begun = true;
                add(MomentKind::CycleStart, onewire->start, "first 1-Wire reset");
            }
            add(MomentKind::OneWire, onewire->start,
                onewire->what + (onewire->value >= 0 ? " " + std::to_string(onewire->value) : ""));
        }
    }
    std::stable_sort(moments.begin(), moments.end(), [](const Moment& a, const Moment& b) { return a.kind < b.kind; });
    int index = 0;
    for (size_t i = 0; i < moments.size(); ++i) {
        index = (i > 0 && moments[i].kind == moments[i - 1].kind) ? index + 1 : 0;
        moments[i].index = index;
    }
    return moments;
}

}  // namespace sweep
