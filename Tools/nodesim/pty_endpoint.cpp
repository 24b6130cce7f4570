// USART1 on a pseudo-terminal. The master side stays with nodesim for the whole run; programs open the
// slave (/dev/pts/N) as they would a USB serial adapter, and may close and reopen it.
//
// Linux tells whether anybody has the slave open only after it has been opened and closed once: from
// then on, while nobody has it open, the master polls POLLHUP and reads EIO. So the slave is opened and
// closed once at the start, and the node's bytes are written only while the master shows no hang-up.
// Bytes already written but not read when the last program closes the slave would greet the next one as
// stale text, so they are flushed then.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_descriptor.h"
#include "serial_endpoint.h"

namespace nodesim {

namespace {

std::string system_error(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

class PtyEndpoint final : public SerialEndpoint {
public:
    explicit PtyEndpoint(Notice notice) : notice_(std::move(notice))
    {
        master_.reset(::posix_openpt(O_RDWR | O_NOCTTY));
        if (!master_.valid()) throw EndpointError(system_error("cannot open a pseudo-terminal"));
        if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
            throw EndpointError(system_error("cannot unlock the pseudo-terminal"));
        const char* name = ::ptsname(master_.get());
        if (name == nullptr) throw EndpointError(system_error("cannot name the pseudo-terminal"));
        path_ = name;

        // Raw: no echo, no line editing, no CR/LF translation, every byte as it comes. The speed is only
        // what a program asking the terminal will be told; the pacing is the simulated line's own.
        termios settings{};
        if (::tcgetattr(master_.get(), &settings) != 0) throw EndpointError(system_error("tcgetattr"));
        ::cfmakeraw(&settings);
        ::cfsetispeed(&settings, B9600);
        ::cfsetospeed(&settings, B9600);
        if (::tcsetattr(master_.get(), TCSANOW, &settings) != 0) throw EndpointError(system_error("tcsetattr"));
        int flags = ::fcntl(master_.get(), F_GETFL);
        if (flags < 0 || ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
            throw EndpointError(system_error("cannot make the pseudo-terminal non-blocking"));

        FileDescriptor once(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        if (!once.valid()) throw EndpointError(system_error(("cannot open " + path_).c_str()));
    }

    std::string where() const override { return "pseudo-terminal " + path_; }

    std::string receive(size_t limit) override
    {
        std::string got;
        update_attached();
        // Read even after a hang-up: what the program wrote before closing is still there to be had.
        char buffer[512];
        while (got.size() < limit) {
            ssize_t n = ::read(master_.get(), buffer, std::min(sizeof buffer, limit - got.size()));
            if (n <= 0) break;  // EAGAIN: nothing more; EIO: nobody has the slave open
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    void transmit(const std::string& bytes) override
    {
        if (bytes.empty() || !update_attached()) return;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                break;  // the terminal's buffer is full (nobody reading): the rest is lost
            }
            done += static_cast<size_t>(n);
        }
    }

    bool attached() override { return update_attached(); }

private:
    // Whether a program has the slave open now; tells of each change.
    bool update_attached()
    {
        pollfd fd{master_.get(), POLLIN, 0};
        bool attached = ::poll(&fd, 1, 0) >= 0 && (fd.revents & POLLHUP) == 0;
        if (attached != attached_) {
            attached_ = attached;
            if (!attached) discard_unread();
            if (notice_) notice_(attached ? path_ + " opened" : path_ + " closed");
        }
        return attached;
    }

    // Drops what the node sent that the last program did not read. Flushing needs the slave's side; opening
    // it for a moment leaves the hang-up state as it was once closed again.
    void discard_unread()
    {
        FileDescriptor slave(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        if (slave.valid()) ::tcflush(slave.get(), TCIFLUSH);
    }

    Notice notice_;
    FileDescriptor master_;
    std::string path_;
    bool attached_ = false;
};

}  // namespace

std::unique_ptr<SerialEndpoint> open_pty_endpoint(SerialEndpoint::Notice notice)
{
    return std::make_unique<PtyEndpoint>(std::move(notice));
}

}  // namespace nodesim
