// The frames the dashboard sends, and their pacing.
//
// The node takes over one frame per report cycle (about 4.8 s): reception stops when a frame ends
// and is armed again only at the start of the next cycle, so a second frame sent in the meantime is
// lost. The pacer therefore holds each command until the node has started a new cycle since the
// last one went out, and keeps only the newest command of each kind while it waits (a slider
// dragged across ten values needs only the last).
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace dashboard {

enum class CommandKind { Led, Pwm };
const char* command_name(CommandKind kind);  // "led" / "pwm", as the log and the history file name it

std::string led_frame(bool on);                      // "V00=1" / "V00=0"
std::optional<std::string> pwm_frame(long percent);  // "V01=75$"; none outside 0-100

class CommandPacer {
public:
    using Clock = std::chrono::steady_clock;

    // Queues `frame`, replacing a queued command of the same kind.
    void enqueue(CommandKind kind, std::string frame);

    // A switch report ("!A01=") arrived: the last report of a cycle, sent every cycle whether or
    // not the temperature could be read.
    void on_cycle_report(Clock::time_point now);

    // A new stream (connected, or the node greeted after a reset): the node's reception is armed.
    void on_fresh_node();

    // The frame to write now, if one is queued and the node can take it; it counts as sent.
    struct Due {
        CommandKind kind;
        std::string frame;
    };
    std::optional<Due> take_due(Clock::time_point now);

    std::vector<Due> queued() const { return {queue_.begin(), queue_.end()}; }

private:
    bool ready(Clock::time_point now) const;

    std::deque<Due> queue_;
    std::optional<Clock::time_point> sent_at_;
    int reports_since_send_ = 0;
    Clock::duration first_report_delay_{};
    std::optional<Clock::time_point> last_report_;
    std::optional<Clock::duration> period_;
};

}  // namespace dashboard
