#include "endpoint_link.h"

#include <algorithm>

namespace nodesim {

namespace {

// The line is kept busy this far ahead, and topped up every half of it: ten characters queued at most.
constexpr sim::Picos kLineAhead = sim::milliseconds(10);
constexpr sim::Picos kFeedPeriod = kLineAhead / 2;
// Bytes taken from the endpoint at a step: what the line carries until the step after next.
constexpr sim::Picos kTakeMargin = sim::milliseconds(20);

}  // namespace

EndpointLink::EndpointLink(sim::Board& board, SerialEndpoint& endpoint, sim::Picos step)
    : board_(board),
      endpoint_(endpoint),
      step_(step),
      feeder_(board.chip.scheduler(), [this](sim::Picos t) { feed(t); })
{
    board_.dashboard.on_byte([this](const sim::SerialPeer::Received& r) { to_program_ += static_cast<char>(r.byte); });
}

void EndpointLink::step(sim::Picos at)
{
    endpoint_.transmit(to_program_);
    to_program_.clear();

    const auto wanted = static_cast<size_t>((step_ + kTakeMargin) / board_.dashboard.char_time()) + 1;
    if (to_node_.size() < wanted) to_node_ += endpoint_.receive(wanted - to_node_.size());
    if (!to_node_.empty() && !feeder_.armed()) feeder_.arm_at(at);
}

void EndpointLink::feed(sim::Picos at)
{
    // Characters whose start falls before the horizon; the rest waits for the next feed.
    const sim::Picos horizon = at + kLineAhead;
    const sim::Picos character = board_.dashboard.char_time();
    sim::Picos free_at = std::max(board_.dashboard.line_free_at(), at);
    size_t count = 0;
    while (count < to_node_.size() && free_at < horizon) {
        free_at += character;
        ++count;
    }
    if (count > 0) {
        board_.relay(to_node_.substr(0, count));
        to_node_.erase(0, count);
    }
    if (!to_node_.empty()) feeder_.arm_at(at + kFeedPeriod);
}

void EndpointLink::finish()
{
    endpoint_.transmit(to_program_);
    to_program_.clear();
}

}  // namespace nodesim
