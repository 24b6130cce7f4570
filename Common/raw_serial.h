// A serial device set to 9600 baud, 8 data bits, no parity, one stop bit, raw: no echo, no line
// editing, no flow control (the node's USART1 has no RTS/CTS and sends no XON/XOFF), and reads that
// return what has arrived at once, since callers wait in poll(), not in read(). The dashboard's serial
// link and nodecheck's board both talk to the node this way.
#pragma once

#include <termios.h>

#include "node_facts.h"

namespace common {

static_assert(node_facts::kBaud == 9600, "the node's rate: B9600 below");

// False, with errno set, when the device takes no terminal settings.
inline bool set_raw_9600_8n1(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return false;
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return ::cfsetispeed(&settings, B9600) == 0 && ::cfsetospeed(&settings, B9600) == 0 &&
           ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace common
