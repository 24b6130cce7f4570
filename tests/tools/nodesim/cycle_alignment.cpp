#include "cycle_alignment.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <variant>

namespace scenario_test {

std::vector<double> report_ends(const std::vector<sim::trace::Event>& events)
{
    // The greeting ("Hola\r\n") comes first; every message after it ends in '$'.
    constexpr size_t kGreeting = 6;
    std::vector<double> ends;
    size_t sent = 0;
    std::string message;
    for (const auto& e : events) {
        const auto* tx = std::get_if<sim::trace::Tx>(&e.what);
        if (tx == nullptr || tx->port != "USART1" || ++sent <= kGreeting) continue;
        message += static_cast<char>(tx->byte);
        if (tx->byte != '$') continue;
        if (message.rfind("!A01=", 0) == 0) ends.push_back(sim::to_seconds(e.t));
        message.clear();
    }
    return ends;
}

double aligned_time(double t, const std::vector<double>& from, const std::vector<double>& to)
{
    const size_t marks = std::min(from.size(), to.size());
    if (marks == 0 || t < from[0]) return t;
    // The last end at or before t.
    const size_t k = static_cast<size_t>(std::upper_bound(from.begin(), from.begin() + marks, t) - from.begin()) - 1;
    if (k + 1 >= marks) return to[k] + (t - from[k]);
    return to[k] + (t - from[k]) * (to[k + 1] - to[k]) / (from[k + 1] - from[k]);
}

namespace {

// Calls `stimulus(time, before, after)` for each line with a time (the text before and after the time),
// `other(line)` for comments and blank lines.
template <class Stimulus, class Other>
void each_line(const std::string& scenario, Stimulus stimulus, Other other)
{
    std::istringstream in(scenario);
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(" \t");
        char* end = nullptr;
        double t = 0;
        if (first != std::string::npos && line[first] != '#') t = std::strtod(line.c_str() + first, &end);
        if (end == nullptr || end == line.c_str() + first)
            other(line);
        else
            stimulus(t, line.substr(0, first), std::string(end));
    }
}

}  // namespace

std::vector<double> stimulus_times(const std::string& scenario)
{
    std::vector<double> times;
    each_line(
        scenario, [&times](double t, const std::string&, const std::string&) { times.push_back(t); },
        [](const std::string&) {});
    return times;
}

std::string aligned_scenario(const std::string& scenario, const std::vector<double>& from,
                             const std::vector<double>& to)
{
    std::string out;
    each_line(
        scenario,
        [&](double t, const std::string& before, const std::string& after) {
            char time[40];
            std::snprintf(time, sizeof time, "%.9f", aligned_time(t, from, to));
            out += before + time + after + '\n';
        },
        [&out](const std::string& line) { out += line + '\n'; });
    return out;
}

}  // namespace scenario_test
