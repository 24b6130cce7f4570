#include "serial_device.h"

#include "raw_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace nodecheck {

namespace {

std::string why()
{
    return std::strerror(errno);
}

}  // namespace

SerialDevice::SerialDevice(const std::string& path) : path_(path)
{
    fd_.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_.valid()) {
        if (errno == EBUSY) throw DeviceError(path + " is busy: another program has it open exclusively");
        throw DeviceError("cannot open " + path + ": " + why());
    }
    if (!::isatty(fd_.get())) throw DeviceError(path + " is not a serial device (a terminal)");
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) throw DeviceError(path + " is busy: another program holds it (locked)");
        throw DeviceError("cannot lock " + path + ": " + why());
    }
    ::ioctl(fd_.get(), TIOCEXCL);  // keeps other openers out (root excepted)

    if (!common::set_raw_9600_8n1(fd_.get())) throw DeviceError("cannot set " + path + " to 9600 8N1 raw: " + why());
}

std::string SerialDevice::read(std::chrono::milliseconds timeout)
{
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(timeout.count(), 0)));
    if (ready < 0 && errno != EINTR) throw std::runtime_error("waiting on " + path_ + " failed: " + why());
    if (ready <= 0) return {};
    std::string got;
    char buffer[256];
    for (;;) {
        ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // Nothing (more) to read: a raw terminal with no minimum count reads 0 bytes then, not only at
        // the end (and the other side may have flushed what poll saw). The other side is gone (a
        // pseudo-terminal's master closed, an adapter pulled) when the read fails: a hang-up that poll
        // reports without a failing read passes (a pseudo-terminal's master shows one for a moment while
        // nodesim looks at its slave), after a pause so as not to spin on it.
        if (n < 0 && errno != EAGAIN && got.empty()) throw std::runtime_error(path_ + " went away (" + why() + ")");
        if (got.empty() && (p.revents & (POLLHUP | POLLERR)) != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
    }
    return got;
}

void SerialDevice::write(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_.get(), POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error("writing to " + path_ + " failed: " + why());
        }
    }
}

void SerialDevice::send_break(int milliseconds)
{
    ::tcsendbreak(fd_.get(), milliseconds);
}

}  // namespace nodecheck
