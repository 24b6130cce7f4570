#include "scenario_generator.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "hex_escape.h"
#include "node_facts.h"
#include "random_source.h"

namespace soak {

namespace {

constexpr double kSecondsPerDay = 86400.0;
// Activity of the peer comes every 2 to 40 s, a report cycle or several apart.
constexpr double kCycle = node_facts::kReportCycleSeconds;

struct Line {
    double t;
    int order;  // keeps lines of one instant in the order they were made
    std::string text;
};

class Builder {
public:
    void add(double t, const std::string& verb_and_args)
    {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.6f ", t);
        lines_.push_back({t, next_++, stamp + verb_and_args});
    }
    std::string text()
    {
        std::stable_sort(lines_.begin(), lines_.end(),
                         [](const Line& a, const Line& b) { return a.t < b.t || (a.t == b.t && a.order < b.order); });
        std::string out = "# soak scenario: generated, do not edit\n";
        for (const Line& l : lines_) out += l.text + "\n";
        return out;
    }

private:
    std::vector<Line> lines_;
    int next_ = 0;
};

std::string duty_text(RandomSource& r)
{
    static const std::array<const char*, 20> kOdd = {
        "",           "0",          "100",         "101",          "255", "65535", "65536", "65636", "-1",   "-65436",
        "2147483647", "2147483648", "99999999999", "-99999999999", " 42", "+7",    "7abc",  "-0",    "\t33", "00050"};
    if (r.chance(0.7)) return std::to_string(r.between(0, 100));
    return kOdd[static_cast<size_t>(r.between(0, kOdd.size() - 1))];
}

std::string decorate(RandomSource& r, std::string command)
{
    static const std::array<const char*, 5> kPrefix = {"", "", "", "!", "xx "};
    static const std::array<const char*, 6> kSuffix = {"", "$", "$", "\r\n", "1", "$\r\n"};
    return std::string(kPrefix[static_cast<size_t>(r.between(0, kPrefix.size() - 1))]) + command +
           kSuffix[static_cast<size_t>(r.between(0, kSuffix.size() - 1))];
}

std::string valid_command(RandomSource& r)
{
    switch (r.between(0, 3)) {
        case 0:
            return decorate(r, std::string(node_facts::kLedOn));
        case 1:
            return decorate(r, std::string(node_facts::kLedOff));
        default: {
            std::string frame = std::string(node_facts::kDutyTag) + duty_text(r);
            if (r.chance(0.8)) frame += "$";
            if (r.chance(0.15)) frame += "\r\n";
            if (r.chance(0.1)) frame = "!" + frame;
            return frame;
        }
    }
}

std::string garbage(RandomSource& r, size_t length)
{
    static const std::array<const char*, 10> kNearMiss = {
        "V0=1", "v00=1", "V00 =1", "V02=5$", "V00=", "V01", "=V01 5$", "V00=2", "A00=1$", "V1=50$"};
    if (r.chance(0.3)) return kNearMiss[static_cast<size_t>(r.between(0, kNearMiss.size() - 1))];
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        // Mostly printable, now and then any byte at all (a zero byte ends the text the node reads).
        out += r.chance(0.85) ? static_cast<char>(r.between(0x20, 0x7E)) : static_cast<char>(r.between(0, 255));
    }
    return out;
}

std::string long_frame(RandomSource& r)
{
    const auto length = static_cast<size_t>(r.between(51, 90));
    std::string frame = garbage(r, length);
    while (frame.size() < length) frame += 'x';
    std::replace(frame.begin(), frame.end(), 'V', 'v');  // the command below is the only one
    std::replace(frame.begin(), frame.end(), '\0', '.');
    if (r.chance(0.75)) {
        // Inside the first 50 bytes, across the cut, or past it.
        std::string command =
            r.chance(0.5)
                ? std::string(r.between(0, 1) == 1 ? node_facts::kLedOn : node_facts::kLedOff)
                : std::string(node_facts::kDutyTag) + std::to_string(r.between(0, 100)) + node_facts::kDutyEnd;
        const auto at = static_cast<size_t>(r.between(0, static_cast<int64_t>(length - command.size())));
        frame.replace(at, command.size(), command);
    }
    return frame;
}

std::string temperature(RandomSource& r, double& current)
{
    static const std::array<double, 12> kEdges = {-55.0,   125.0, 85.0,  -0.0625, 0.0,     0.0625,
                                                  -10.125, -0.5,  23.25, 23.75,   25.0625, -0.9375};
    const double pick = r.uniform();
    if (pick < 0.70) {
        current = std::clamp(current + static_cast<double>(r.between(-24, 24)) / 16.0, -20.0, 60.0);
    } else if (pick < 0.85) {
        // Values off the 1/16 grid and on rounding boundaries: x.x5 and sixteenths that end in 5.
        current = static_cast<double>(r.between(-20, 60)) + static_cast<double>(r.between(0, 19)) * 0.05;
    } else {
        current = kEdges[static_cast<size_t>(r.between(0, kEdges.size() - 1))];
    }
    char text[32];
    std::snprintf(text, sizeof text, "temp %.4f", current);
    return text;
}

}  // namespace

std::string escape_for_scenario(const std::string& bytes)
{
    // Letters, digits and the protocol's own marks as they are; a blank, '#' or '\\' as an escape, so the
    // parser's comment and escape rules never touch the frame.
    return hex_escape(bytes, [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '=' || c == '$' ||
               c == '!' || c == '+' || c == '-' || c == '.';
    });
}

std::string generate_scenario(const GeneratorOptions& options)
{
    RandomSource r(options.seed);
    Builder b;
    const double end = options.days * kSecondsPerDay;
    std::vector<double> sends;  // when the dashboard starts a frame, to keep the resets clear of them
    auto send = [&b, &sends](double t, const std::string& bytes) {
        sends.push_back(t);
        b.add(t, "send " + escape_for_scenario(bytes));
    };

    // The dashboard.
    for (double t = r.uniform(1.0, 10.0); t < end - 10.0; t += r.uniform(2.0, 40.0)) {
        const double kind = r.uniform();
        if (kind < 0.45) {
            send(t, valid_command(r));
        } else if (kind < 0.57) {
            send(t, garbage(r, static_cast<size_t>(r.between(1, 45))));
        } else if (kind < 0.65) {
            send(t, long_frame(r));
        } else if (kind < 0.77) {
            // Two frames in one cycle, the second 20 ms to 1.5 s after the first.
            send(t, valid_command(r));
            send(t + r.uniform(0.02, std::min(1.5, kCycle / 3)), r.chance(0.8) ? valid_command(r) : garbage(r, 8));
        } else if (kind < 0.85) {
            b.add(t, "noise");
        } else if (kind < 0.90) {
            // Queued right behind a frame: it arrives before the line has been idle for a character.
            send(t, valid_command(r));
            b.add(t, "noise");
        } else if (kind < 0.96) {
            b.add(t, "break " + std::to_string(r.between(2, 40)));
        } else {
            send(t, valid_command(r));
            b.add(t, "break " + std::to_string(r.between(2, 40)));
        }
    }
    // The sensor: a temperature now and then, faults that come and go.
    double celsius = 22.0;
    for (double t = r.uniform(5.0, 60.0); t < end; t += r.uniform(30.0, 240.0)) b.add(t, temperature(r, celsius));
    static const std::array<const char*, 3> kFaults = {"absent", "low", "corrupt"};
    for (double t = r.uniform(60.0, 600.0); t < end; t += r.uniform(600.0, 3600.0)) {
        b.add(t, std::string("sensor ") + kFaults[static_cast<size_t>(r.between(0, 2))]);
        t += r.uniform(3.0, 180.0);
        b.add(t, "sensor ok");
    }
    // The switch.
    static const std::array<const char*, 3> kSwitch = {"0", "1", "float"};
    for (double t = r.uniform(10.0, 60.0); t < end; t += r.uniform(20.0, 150.0))
        b.add(t, std::string("switch ") + kSwitch[static_cast<size_t>(r.between(0, 2))]);
    // Resets, power cycles and faults, about one an hour, drawn last so that the mix above stays as it
    // was for a seed. Each keeps 2 s clear of the dashboard's frames before and 3 s after (the supply's
    // time off included), so that no frame is on the line when the node restarts: a frame cut by a reset
    // is lost, and one still arriving after it would reach a node that no longer expects it.
    for (double t = r.uniform(600.0, 3600.0); t < end - 60.0; t += r.uniform(1800.0, 5400.0)) {
        const double kind = r.uniform();
        const double off = r.uniform(0.2, 1.5);
        const double last = t + (kind < 0.5 && kind >= 0.3 ? off : 0.0) + 3.0;
        const bool clear = std::none_of(sends.begin(), sends.end(), [&](double s) { return s > t - 2.0 && s < last; });
        if (!clear) continue;
        if (kind < 0.3) {
            b.add(t, "reset");
        } else if (kind < 0.5) {
            b.add(t, "power off");
            b.add(t + off, "power on");
        } else if (kind < 0.7) {
            b.add(t, "brownout " + std::to_string(r.between(5, 200)));
        } else {
            b.add(t, "fault hardfault");
        }
    }
    return b.text();
}

}  // namespace soak
