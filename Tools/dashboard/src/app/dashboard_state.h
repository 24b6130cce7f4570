// What the page shows, built from the node's reports and the commands sent: the last temperature
// (and whether it is stale), its history, the switch, the LED and PWM last commanded, when the last
// report came, the connection, a log of raw frames in both directions, and whether the node has
// restarted while we watched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "history.h"
#include "report_parser.h"

namespace dashboard {

// Bytes as printable ASCII for the log: CR and LF as \r and \n, a backslash doubled, every other
// control and non-ASCII byte as \xNN (a tab too: unlike the trace's escapes, which write it \t, and
// the history holds rows written so). Line noise is not UTF-8, and JSON must be.
std::string crlf_hex_escaped(std::string_view bytes);

// Text escaped as above cut to at most `limit` characters, never inside an escape, followed by how
// many bytes were left out (" ... (+700 bytes)"); unchanged when it fits.
std::string clipped_log_text(std::string_view escaped, std::size_t limit);

class DashboardState {
public:
    using WallClock = std::chrono::system_clock;

    // A day of reports at one every 4.8 s is 18 000; the chart keeps the last few hours.
    static constexpr std::size_t kHistoryLimit = 3000;
    static constexpr std::size_t kLogLimit = 200;
    // One log line's text at most, escaped: a report is 12 characters, while the 256 bytes of line
    // noise a read can bring are 1 024 as \xNN. With it the whole state stays under about 150 kB
    // (200 lines of 250 bytes of JSON, 3 000 chart points of 30) whatever the device sends.
    static constexpr std::size_t kLogTextLimit = 160;
    // Bytes that are not reports since the last good one before the page says what is probably
    // wrong: a report is at most 12 bytes, a break on the line one or two.
    static constexpr std::uint64_t kNoiseWarningBytes = 64;
    // The log's line when the greeting comes again mid-session (the log gives the time).
    static constexpr const char* kRestartText =
        "node restarted: its greeting came again, so the LED and PWM are back at their start-up settings "
        "until commanded (why it restarted, watchdog, fault or power, the node says only on its USART2 debug port)";

    // The log line of a restart when `report` is the node's greeting in the middle of a session
    // (for the history); nothing otherwise.
    std::optional<std::string> on_report(const Report& report, WallClock::time_point now);
    void on_sent(CommandKind kind, const std::string& frame, WallClock::time_point now);
    void on_connected(const std::string& description, WallClock::time_point now);
    void on_disconnected(const std::string& message, WallClock::time_point now);
    void set_queued(const std::vector<CommandPacer::Due>& queued);
    // Starts the log and the chart from a previous run's events and temperatures (oldest first).
    void restore(const std::vector<StoredEvent>& log, const std::vector<std::pair<double, double>>& temperatures);

    // Everything the page needs, as JSON; `history` false leaves the chart's points out.
    nlohmann::json to_json(WallClock::time_point now, bool history = true) const;

    bool stale() const { return stale_; }
    const std::optional<std::string>& temperature_text() const { return temperature_text_; }

private:
    void log(const char* direction, const char* kind, std::string_view bytes, WallClock::time_point now);

    std::optional<std::string> temperature_text_;
    std::optional<double> celsius_;
    bool stale_ = false;
    bool temperature_in_cycle_ = false;
    bool cycle_seen_ = false;
    std::optional<bool> switch_on_;
    std::optional<bool> led_on_;
    std::optional<int> pwm_percent_;
    std::optional<WallClock::time_point> last_report_;
    bool connected_ = false;
    std::string link_text_ = "connecting";
    std::uint64_t reports_ = 0;
    std::uint64_t garbage_bytes_ = 0;
    std::uint64_t garbage_since_good_ = 0;  // since the last good report (or the link came up)
    bool reading_invalid_ = false;          // the last temperature was outside the sensor's range
    // Whether a greeting or a report came since the link came up: a greeting after one is the node
    // starting over, while the first is only the node we launched (or plugged in) saying hello.
    bool node_heard_ = false;
    std::uint64_t restarts_ = 0;  // since the link came up
    std::optional<WallClock::time_point> last_restart_;
    struct Sent {
        std::string frame;
        WallClock::time_point at;
    };
    std::optional<Sent> led_sent_, pwm_sent_;
    std::optional<std::string> led_queued_, pwm_queued_;
    std::deque<std::pair<double, double>> history_;  // (unix seconds, degrees)
    std::deque<nlohmann::json> log_;
};

// A wall-clock time as the page, the log and the history file give it: seconds since 1970, UTC.
double unix_seconds(DashboardState::WallClock::time_point t);

}  // namespace dashboard
