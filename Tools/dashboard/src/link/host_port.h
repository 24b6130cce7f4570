// "HOST:PORT" as given on the command line (--tcp, --listen).
#pragma once

#include <string>

namespace dashboard {

// `text` split at its last colon (an IPv6 host may be in brackets); false when either part is
// missing or the port is not 0-65535.
bool split_host_port(const std::string& text, std::string& host, int& port);

}  // namespace dashboard
