#include "pacing.h"

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace nodesim {

Pacer::Pacer(sim::Scheduler& scheduler, sim::Picos period, double speed, Tick tick)
    : period_(period), speed_(speed), tick_(std::move(tick)), step_timer_(scheduler, [this](sim::Picos t) { step(t); })
{}

void Pacer::start(sim::Picos at)
{
    wall_origin_ = std::chrono::steady_clock::now();
    virtual_origin_ = at;
    step_timer_.arm_at(at + period_);
}

void Pacer::step(sim::Picos at)
{
    // Re-armed first, so that the tick may end the run (by throwing) without losing the rhythm.
    step_timer_.arm_at(at + period_);
    if (speed_ > 0) {
        // Counted from the start each time, so that rounding and late wake-ups never accumulate.
        double wall_nanos = static_cast<double>((at - virtual_origin_) / sim::kPicosPerNano) / speed_;
        auto due = wall_origin_ + std::chrono::nanoseconds(static_cast<int64_t>(wall_nanos));
        std::this_thread::sleep_until(due);
    }
    tick_(at);
}

std::vector<std::string> LineReader::poll()
{
    std::vector<std::string> lines;
    while (open_) {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0 || (fd.revents & (POLLIN | POLLHUP)) == 0) break;
        char buffer[512];
        ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            open_ = false;  // end of input (or an error): stop asking
            break;
        }
        partial_.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            std::string line = partial_.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(std::move(line));
            partial_.erase(0, end + 1);
        }
    }
    return lines;
}

}  // namespace nodesim
