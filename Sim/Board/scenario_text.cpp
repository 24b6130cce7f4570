#include "scenario_text.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace sim::scenario_text {

namespace {

constexpr const char* kBlanks = " \t\r";

}  // namespace

std::string_view trim(std::string_view text)
{
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// A binary file given by mistake must not reach the terminal raw (its control bytes would be taken as
// terminal commands); and a line of such a file may be megabytes long.
std::string shown(std::string_view text)
{
    constexpr size_t kLongest = 160;
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= kLongest) return out + "...";
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string quoted(std::string_view text)
{
    return "'" + shown(text) + "'";
}

std::string_view next_word(std::string_view& rest)
{
    rest = trim(rest);
    size_t end = rest.find_first_of(kBlanks);
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : trim(rest.substr(end));
    return word;
}

double parse_number(std::string_view text, const char* what)
{
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value))
        throw std::invalid_argument(std::string(what) + " must be a number, not " + quoted(text));
    return value;
}

std::string_view before_comment(std::string_view rest)
{
    size_t hash = rest.find('#');
    return hash == std::string_view::npos ? trim(rest) : trim(rest.substr(0, hash));
}

}  // namespace sim::scenario_text
