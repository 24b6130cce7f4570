#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "link.h"

namespace dashboard {

OpenResult open_serial(const std::string& path)
{
    // O_NOCTTY: a USB adapter must not become this process's controlling terminal, or unplugging it
    // would send us SIGHUP.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return "cannot open " + path + ": " + std::strerror(errno);

    termios tio{};
    if (::tcgetattr(fd.get(), &tio) != 0) return path + " is not a serial device: " + std::strerror(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads return what has arrived; the caller waits in poll(), not in read().
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B9600) != 0 || ::cfsetospeed(&tio, B9600) != 0 || ::tcsetattr(fd.get(), TCSANOW, &tio) != 0)
        return "cannot set " + path + " to 9600 8N1: " + std::strerror(errno);
    // Whatever the adapter buffered before we came is from an earlier session.
    ::tcflush(fd.get(), TCIOFLUSH);
    return OpenLink{std::move(fd), "serial " + path + " at 9600 8N1"};
}

}  // namespace dashboard
