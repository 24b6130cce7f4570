// The live console: what a person at the bench would see, one line per thing that happened.
//   [   0.0000] LED C13 not driven (dark)
//   [   4.812] USART1 > !A00=22.0$
//   [   9.600] LED C13 low (lit)
// Bytes on a port are gathered into a line that ends with '$' (the end of a report), a line feed, or a
// pause of more than 5 ms (a character is 1.04 ms at 9600 baud, so a pause means the text is complete).
#pragma once

#include <map>
#include <ostream>
#include <string>

#include "trace.h"

namespace nodesim {

class Console final : public sim::trace::Sink {
public:
    explicit Console(std::ostream& out) : out_(out) {}

    void record(const sim::trace::Event& event) override;
    void finish(sim::Picos end) override;

    // A line of the tool's own about something that happened at `at` (a program attached to USART1).
    void note(sim::Picos at, const std::string& text) { say(at, text); }

    // Prints the text of every port that has been quiet since before `now` - pause.
    void flush_quiet(sim::Picos now);

private:
    struct Pending {
        std::string bytes;
        sim::Picos first = 0;
        sim::Picos last = 0;
    };
    void add_byte(const std::string& key, sim::Picos at, uint8_t byte);
    void flush(const std::string& key);
    void say(sim::Picos at, const std::string& text);

    std::ostream& out_;
    std::map<std::string, Pending> pending_;  // "USART1 >" (from the node), "USART1 <" (to it)
};

}  // namespace nodesim
