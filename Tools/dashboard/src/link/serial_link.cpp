#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "link.h"
#include "raw_serial.h"

namespace dashboard {

OpenResult open_serial(const std::string& path)
{
    // O_NOCTTY: a USB adapter must not become this process's controlling terminal, or unplugging it
    // would send us SIGHUP.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return "cannot open " + path + ": " + std::strerror(errno);

    if (!common::set_raw_9600_8n1(fd.get()))
        return path + " is not a serial device that takes 9600 8N1: " + std::strerror(errno);
    // Whatever the adapter buffered before we came is from an earlier session.
    ::tcflush(fd.get(), TCIOFLUSH);
    return OpenLink{std::move(fd), "serial " + path + " at 9600 8N1"};
}

}  // namespace dashboard
