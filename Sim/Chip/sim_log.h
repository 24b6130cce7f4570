// Where the simulator says things a developer should see (an access to a register no model covers,
// a timing the sensor rejected). Stderr by default; tests and tools can collect the lines instead.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

class Log {
public:
    using Sink = std::function<void(const std::string&)>;

    void line(const std::string& text);
    void set_sink(Sink sink) { sink_ = std::move(sink); }
    // Keeps every line in memory as well (for tests).
    void keep(bool on) { keep_ = on; }
    const std::vector<std::string>& kept() const { return kept_; }

private:
    Sink sink_;
    bool keep_ = false;
    std::vector<std::string> kept_;
};

}  // namespace sim
