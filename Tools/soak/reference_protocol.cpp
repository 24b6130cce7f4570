#include "reference_protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "node_facts.h"

namespace soak {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The C library's decimal conversion as the protocol relies on it: leading white space, one sign,
// digits up to the first other character, 0 without digits, clamped to the signed 32-bit range.
int64_t leading_integer(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t magnitude = 0;
    constexpr int64_t kCap = int64_t{1} << 40;  // far beyond 32 bits: enough to know it overflows
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        magnitude = std::min(kCap, magnitude * 10 + (text[i] - '0'));
    int64_t value = negative ? -magnitude : magnitude;
    return std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

// The duty's text: skip any "=" at the start, the first token ends at the next "="; after it, skip any
// "$", the value runs to the next "$" or the end.
std::string_view value_text(std::string_view text)
{
    size_t i = text.find_first_not_of('=');
    if (i == std::string_view::npos) return {};
    size_t equals = text.find('=', i);
    if (equals == std::string_view::npos) return {};
    size_t start = text.find_first_not_of('$', equals + 1);
    if (start == std::string_view::npos) return {};
    size_t end = text.find('$', start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

}  // namespace

Effect interpret_frame(std::string_view stored)
{
    std::string_view text = stored.substr(0, stored.find('\0'));
    Effect effect;
    if (text.find(node_facts::kLedOn) != std::string_view::npos) {
        effect.kind = Effect::Kind::Led;
        effect.led_level = 0;
    } else if (text.find(node_facts::kLedOff) != std::string_view::npos) {
        effect.kind = Effect::Kind::Led;
        effect.led_level = 1;
    } else if (text.find(node_facts::kDutyTag) != std::string_view::npos) {
        effect.kind = Effect::Kind::Pwm;
        effect.duty = static_cast<uint16_t>(static_cast<uint64_t>(leading_integer(value_text(text))) & 0xFFFFU);
    }
    return effect;
}

double pwm_high_us(uint16_t duty)
{
    if (duty > 100) return kPwmPeriodUs;
    return 200.0 * duty;
}

std::string temperature_report(double celsius)
{
    // A conversion's result is a whole number of 1/16 C, so the tenths are 10 k / 16 = 5 k / 8 exactly:
    // round that in integers, half to even.
    const double sixteenths = celsius * 16.0;
    if (std::nearbyint(sixteenths) != sixteenths || std::fabs(sixteenths) > 1e9) {
        char text[64];
        std::snprintf(text, sizeof text, node_facts::kTemperatureFormat, celsius);
        return text;
    }
    const auto k = static_cast<int64_t>(sixteenths);
    const int64_t n = 5 * (k < 0 ? -k : k);
    int64_t tenths = n / 8;
    const int64_t rest = n % 8;
    if (rest > 4 || (rest == 4 && tenths % 2 == 1)) ++tenths;
    std::string out(node_facts::kTemperatureTag);
    if (k < 0) out += '-';
    out += std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + node_facts::kReportEnd;
    return out;
}

}  // namespace soak
