#include "node_presence.h"

#include <algorithm>

namespace dashboard::mqtt {

void NodePresence::on_report(double t)
{
    if (!times_.empty() && t <= times_.back()) return;  // the same report seen twice
    times_.push_back(t);
    if (times_.size() > kKept) times_.pop_front();
}

double NodePresence::cycle() const
{
    if (times_.size() < 3) return kReportCycle;
    double longest = 0;
    for (std::size_t i = 1; i < times_.size(); ++i) longest = std::max(longest, times_[i] - times_[i - 1]);
    return std::clamp(longest, kShortestCycle, kReportCycle);
}

bool NodePresence::present(double now) const
{
    return !times_.empty() && now - times_.back() <= kSilentCycles * cycle();
}

}  // namespace dashboard::mqtt
