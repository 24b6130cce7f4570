// The byte link to the node: a serial device or a TCP socket, both plain file descriptors once
// open. Opening never throws; a failure comes back as a message for the console and the page.
#pragma once

#include <string>
#include <variant>

#include "unique_fd.h"

namespace dashboard {

struct OpenLink {
    UniqueFd fd;
    std::string description;  // "serial /dev/ttyUSB0 at 9600 8N1", "tcp 127.0.0.1:4000"
};

using OpenResult = std::variant<OpenLink, std::string>;  // the link, or why it could not be opened

// A serial device in raw mode at 9600 baud, 8 data bits, no parity, one stop bit, no flow control:
// the node's USART1 settings. Non-blocking; the caller polls.
OpenResult open_serial(const std::string& path);

// A TCP connection to HOST:PORT (a nodesim bridging the node's USART1). Non-blocking once connected.
OpenResult connect_tcp(const std::string& host, int port);

}  // namespace dashboard
