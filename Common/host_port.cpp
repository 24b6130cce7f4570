#include "host_port.h"

namespace common {

namespace {

// BEFORE 'TEXT' AFTER, appended piece by piece into one string. Not as "..." + std::string + "...":
// GCC 12 at -O3 inlines that chain's insert at the front and warns of an overlapping memcpy that cannot
// happen (-Wrestrict).
std::string with_quoted(std::string_view before, std::string_view text, std::string_view after)
{
    std::string message;
    message.reserve(before.size() + text.size() + after.size() + 2);
    message.append(before).append(1, '\'').append(text).append(1, '\'').append(after);
    return message;
}

}  // namespace

std::variant<HostPort, std::string> parse_host_port(std::string_view text, HostPortRules rules)
{
    std::string_view host, digits;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return with_quoted("the host ", text, " has no closing ']'");
        if (text.substr(close + 1, 1) != ":")
            return with_quoted("no ':' after the host ", text.substr(0, close + 1), "");
        if (close == 1) return std::string("the host is missing");  // "[]": brackets around nothing
        host = text.substr(1, close - 1);
        digits = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) return "no ':' before the port";
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return with_quoted("the host ", host, " is an IPv6 address: write it in brackets ([::1]:8080)");
    }
    if (host.find_first_of("[]") != std::string_view::npos)
        return with_quoted("the host ", host, " has a stray bracket");
    if (host.empty() && !rules.host_may_be_empty) return std::string("the host is missing");

    if (digits.empty()) return std::string("the port is missing");
    if (digits.find_first_not_of("0123456789") != std::string_view::npos)
        return with_quoted("the port ", digits, " is not a number");
    unsigned long port = 0;
    for (char c : digits) {
        port = port * 10 + static_cast<unsigned long>(c - '0');
        if (port > 65535) return std::string("the port ").append(digits).append(" is above 65535");
    }
    if (port == 0 && !rules.port_may_be_zero) return std::string("the port 0 is not one to connect to");
    return HostPort{std::string(host), static_cast<uint16_t>(port)};
}

}  // namespace common
