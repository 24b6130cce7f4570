#include "run_end.h"

namespace sim {

const char* to_string(RunEnd::Kind kind)
{
    switch (kind) {
        case RunEnd::Kind::TimeLimit:
            return "time limit";
        case RunEnd::Kind::Halt:
            return "halt";
        case RunEnd::Kind::Interrupted:
            return "interrupted";
        case RunEnd::Kind::Failure:
            return "simulator failure";
        case RunEnd::Kind::Stopped:
            return "stopped";
    }
    return "?";
}

RunEnd end_of(const Stop& stop)
{
    switch (stop.kind()) {
        case Stop::Kind::TimeLimit:
            return {RunEnd::Kind::TimeLimit, stop.reason(), stop.at()};
        case Stop::Kind::Halt:
            return {RunEnd::Kind::Halt, stop.reason(), stop.at()};
        case Stop::Kind::Interrupted:
            return {RunEnd::Kind::Interrupted, stop.reason(), stop.at()};
    }
    return {RunEnd::Kind::Failure, "unknown stop: " + stop.reason(), stop.at()};
}

}  // namespace sim
