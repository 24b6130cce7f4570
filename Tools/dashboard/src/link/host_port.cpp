#include "host_port.h"

#include <charconv>
#include <string_view>

namespace dashboard {

bool split_host_port(const std::string& text, std::string& host, int& port)
{
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string_view digits(text.data() + colon + 1, text.size() - colon - 1);
    int value = -1;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc{} || end != digits.data() + digits.size() || value < 0 || value > 65535) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    port = value;
    return true;
}

}  // namespace dashboard
