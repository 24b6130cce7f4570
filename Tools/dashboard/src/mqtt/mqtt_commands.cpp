#include "mqtt_commands.h"

#include <charconv>
#include <cmath>

#include "dashboard_state.h"

namespace dashboard::mqtt {
namespace {

bool all_digits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::variant<Accepted, Refusal> read_duty(std::string_view payload)
{
    if (all_digits(payload)) {
        unsigned long value = 0;
        std::from_chars(payload.data(), payload.data() + payload.size(), value);  // 16 digits fit
        auto frame = pwm_frame(static_cast<long>(std::min(value, 1000ul)));
        if (!frame) return Refusal::OutOfRange;
        return Accepted{CommandKind::Pwm, *frame};
    }
    double value = 0;
    auto [end, error] = std::from_chars(payload.data(), payload.data() + payload.size(), value);
    if (error != std::errc() || end != payload.data() + payload.size() || !std::isfinite(value))
        return Refusal::NotANumber;
    if (value == std::floor(value) && (value < 0 || value > 100)) return Refusal::OutOfRange;
    return Refusal::NotWholeNumber;
}

// A payload as a console line shows it: its first bytes, escaped, and its length when cut.
std::string shown(std::string_view payload)
{
    constexpr std::size_t kShown = 24;
    if (payload.empty()) return "an empty payload";
    std::string text = "'" + crlf_hex_escaped(payload.substr(0, kShown)) + "'";
    if (payload.size() > kShown) text += "... (" + std::to_string(payload.size()) + " bytes)";
    return text;
}

}  // namespace

const char* describe(Refusal refusal)
{
    switch (refusal) {
        case Refusal::Empty:
            return "empty";
        case Refusal::Oversized:
            return "longer than a command";
        case Refusal::NotOnOff:
            return "neither ON nor OFF";
        case Refusal::NotANumber:
            return "not a number";
        case Refusal::NotWholeNumber:
            return "not a whole number in digits";
        case Refusal::OutOfRange:
            return "outside 0 to 100";
        case Refusal::Retained:
            return "a retained command replayed by the broker";
    }
    return "refused";
}

std::variant<Accepted, Refusal> read_command(CommandKind kind, std::string_view payload)
{
    if (payload.empty()) return Refusal::Empty;
    if (payload.size() > kMaxCommandPayload) return Refusal::Oversized;
    if (kind == CommandKind::Pwm) return read_duty(payload);
    if (payload == "ON") return Accepted{kind, led_frame(true)};
    if (payload == "OFF") return Accepted{kind, led_frame(false)};
    return Refusal::NotOnOff;
}

std::optional<std::string> RefusalLog::note(const std::string& topic, Refusal refusal, std::string_view payload,
                                            Clock::time_point now)
{
    auto [at, first] = counts_.try_emplace({topic, refusal});
    Count& c = at->second;
    if (!first && now - c.shown_at < kRepeatAfter) {
        ++c.unshown;
        return std::nullopt;
    }
    std::string line = "ignored " + shown(payload) + " on " + topic + ": " + describe(refusal) + "; nothing sent";
    if (c.unshown > 0) line += " (" + std::to_string(c.unshown) + " more of this kind since the last such line)";
    if (first) line += " (more of this kind are counted, not shown)";
    c.unshown = 0;
    c.shown_at = now;
    return line;
}

std::vector<std::string> RefusalLog::unreported() const
{
    std::vector<std::string> out;
    for (const auto& [key, c] : counts_)
        if (c.unshown > 0)
            out.push_back("ignored " + std::to_string(c.unshown) + " more payload" + (c.unshown == 1 ? "" : "s") +
                          " on " + key.first + ": " + describe(key.second));
    return out;
}

}  // namespace dashboard::mqtt
