#include "sim_log.h"

#include <cstdio>

namespace sim {

void Log::line(const std::string& text)
{
    if (keep_) kept_.push_back(text);
    if (sink_)
        sink_(text);
    else
        std::fprintf(stderr, "sim: %s\n", text.c_str());
}

}  // namespace sim
