#include "node.h"

#include <stdexcept>

namespace sim {

Node::Node(const BoardConfig& config, std::unique_ptr<Firmware> firmware)
    : board_(config), firmware_(std::move(firmware))
{
    if (!firmware_) throw std::invalid_argument("a node needs firmware to run");
}

RunEnd Node::run(Picos limit)
{
    if (ran_) throw std::logic_error("the node has run already; a new run needs a new node");
    ran_ = true;
    return firmware_->run(board_, limit);
}

}  // namespace sim
