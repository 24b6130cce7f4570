// nodesim: one sensor-and-actuator node, from reset, on the simulated chip and board.
#include <variant>

#include "options.h"
#include "run.h"

int main(int argc, char** argv)
{
    auto parsed = nodesim::parse_options(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    return nodesim::run(std::get<nodesim::Options>(parsed));
}
