#include "commands.h"

#include <algorithm>

#include "node_facts.h"

namespace dashboard {
namespace {

// Of a 4.82 s cycle the node spends 0.82 s measuring and reporting after it re-arms reception;
// a first report that comes later than a quarter of a cycle after our frame cannot belong to the
// cycle in which the frame arrived, so the frame has been taken over and reception re-armed.
constexpr double kSameCycleShare = 0.25;
// With no reports at all (a node that lost its sensor link and serial reception both, or that is
// being reset) a command is not held for ever.
constexpr auto kGiveUp = std::chrono::seconds(15);

}  // namespace

const char* command_name(CommandKind kind)
{
    return kind == CommandKind::Led ? "led" : "pwm";
}

std::string led_frame(bool on)
{
    return std::string(on ? node_facts::kLedOn : node_facts::kLedOff);
}

std::optional<std::string> pwm_frame(long percent)
{
    // The node reduces any number to 16 bits and drives the pin constantly high above 100, so
    // "V01=-1$" would mean full duty: only the slider's own range goes out.
    if (percent < 0 || percent > 100) return std::nullopt;
    return std::string(node_facts::kDutyTag) + std::to_string(percent) + node_facts::kDutyEnd;
}

void CommandPacer::enqueue(CommandKind kind, std::string frame)
{
    auto same = std::find_if(queue_.begin(), queue_.end(), [&](const Due& d) { return d.kind == kind; });
    if (same != queue_.end())
        same->frame = std::move(frame);
    else
        queue_.push_back(Due{kind, std::move(frame)});
}

void CommandPacer::on_cycle_report(Clock::time_point now)
{
    if (last_report_) period_ = now - *last_report_;
    last_report_ = now;
    if (sent_at_) {
        if (reports_since_send_ == 0) first_report_delay_ = now - *sent_at_;
        ++reports_since_send_;
    }
}

void CommandPacer::on_fresh_node()
{
    sent_at_.reset();
    reports_since_send_ = 0;
    last_report_.reset();
    period_.reset();
}

bool CommandPacer::ready(Clock::time_point now) const
{
    if (!sent_at_) return true;
    if (reports_since_send_ >= 2) return true;
    if (reports_since_send_ == 1 && period_ &&
        first_report_delay_ > std::chrono::duration_cast<Clock::duration>(*period_ * kSameCycleShare))
        return true;
    return now - *sent_at_ > kGiveUp;
}

std::optional<CommandPacer::Due> CommandPacer::take_due(Clock::time_point now)
{
    if (queue_.empty() || !ready(now)) return std::nullopt;
    Due due = std::move(queue_.front());
    queue_.pop_front();
    sent_at_ = now;
    reports_since_send_ = 0;
    return due;
}

}  // namespace dashboard
