// Commands that come over MQTT: BASE/led/set takes ON or OFF, BASE/pwm/set a whole number from 0 to
// 100 in digits, as Home Assistant sends them. Anything else is refused before it can reach the
// node, and refusals are logged once per kind, not once per message: a flood of ten thousand bad
// payloads is one line (and a count).
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "commands.h"

namespace dashboard::mqtt {

// The longest payload read at all: "OFF" and "100" are three bytes.
constexpr std::size_t kMaxCommandPayload = 16;

enum class Refusal {
    Empty,
    Oversized,       // longer than kMaxCommandPayload
    NotOnOff,        // on led/set
    NotANumber,      // on pwm/set: "text", "nan"
    NotWholeNumber,  // "50.5", "50.0", "1e2"
    OutOfRange,      // "101", "-1"
    Retained,        // a retained command, replayed by the broker: old news, not an order
};
const char* describe(Refusal refusal);

struct Accepted {
    CommandKind kind;
    std::string frame;  // as the page would send it: "V00=1", "V01=75$"
};

// The frame for `payload` on the `kind`'s set topic, or why there is none.
std::variant<Accepted, Refusal> read_command(CommandKind kind, std::string_view payload);

// Counts refused payloads by topic and kind; says when one is worth a line on the console: the
// first of its kind, and again (with the number since) when the last line about it is an hour old.
class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kRepeatAfter = std::chrono::hours(1);

    std::optional<std::string> note(const std::string& topic, Refusal refusal, std::string_view payload,
                                    Clock::time_point now);
    // A line for each kind with refusals not yet shown, for the end of the run.
    std::vector<std::string> unreported() const;

private:
    struct Count {
        std::uint64_t unshown = 0;
        Clock::time_point shown_at;
    };
    std::map<std::pair<std::string, Refusal>, Count> counts_;
};

}  // namespace dashboard::mqtt
