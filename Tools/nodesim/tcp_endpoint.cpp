// USART1 on a TCP socket. One client at a time, like a serial line: a new connection replaces the one
// before it (a dashboard restarted after a crash gets the node at once, without waiting for the old
// connection to time out). When the client goes away the listener waits for the next.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_descriptor.h"
#include "serial_endpoint.h"

namespace nodesim {

namespace {

std::string system_error(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string describe(const sockaddr_in& address)
{
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

bool make_non_blocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

class TcpEndpoint final : public SerialEndpoint {
public:
    TcpEndpoint(const ListenAddress& where, Notice notice) : notice_(std::move(notice))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(where.port);
        if (::inet_pton(AF_INET, where.host.c_str(), &address.sin_addr) != 1)
            throw EndpointError("not an IPv4 address: " + where.host);
        std::string asked = where.host + ":" + std::to_string(where.port);

        listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_.valid()) throw EndpointError(system_error("cannot make a socket"));
        // A nodesim started again at once may take the port its predecessor's connections still linger on.
        int yes = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw EndpointError(system_error("cannot listen on " + asked));
        if (::listen(listener_.get(), 4) != 0) throw EndpointError(system_error("cannot listen on " + asked));
        if (!make_non_blocking(listener_.get())) throw EndpointError(system_error("fcntl"));

        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
            throw EndpointError(system_error("getsockname"));
        where_ = describe(bound);
    }

    std::string where() const override { return "tcp " + where_; }

    std::string receive(size_t limit) override
    {
        // The client there first, then any new one: a client that closed and reconnected within one step
        // is seen leaving, and what it wrote before leaving still goes to the node.
        std::string got = drain_client(limit);
        if (got.size() >= limit) return got;
        accept_pending();
        return got + drain_client(limit - got.size());
    }

    void transmit(const std::string& bytes) override
    {
        size_t done = 0;
        while (client_.valid() && done < bytes.size()) {
            // MSG_NOSIGNAL: a client gone away is an error to handle here, not a SIGPIPE that ends nodesim.
            ssize_t n = ::send(client_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;  // the client is not reading and its buffer is full: the rest is lost
            } else {
                drop_client("disconnected");
            }
        }
    }

    bool attached() override
    {
        accept_pending();
        return client_.valid();
    }

private:
    std::string drain_client(size_t limit)
    {
        std::string got;
        char buffer[512];
        while (client_.valid() && got.size() < limit) {
            ssize_t n = ::recv(client_.get(), buffer, std::min(sizeof buffer, limit - got.size()), 0);
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                drop_client("disconnected");  // end of stream or a reset
            }
        }
        return got;
    }

    void accept_pending()
    {
        for (;;) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            FileDescriptor next(
                ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!next.valid()) return;  // EAGAIN: nobody waiting (other errors: try again next step)
            // Small writes go out at once: a report is 7 to 10 bytes and a person is watching.
            int yes = 1;
            ::setsockopt(next.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            if (client_.valid()) drop_client("replaced by a new connection");
            client_ = std::move(next);
            client_name_ = describe(peer);
            if (notice_) notice_("client " + client_name_ + " connected");
        }
    }

    void drop_client(const char* why)
    {
        client_.reset();
        if (notice_) notice_("client " + client_name_ + " " + why);
    }

    Notice notice_;
    FileDescriptor listener_;
    FileDescriptor client_;
    std::string where_;
    std::string client_name_;
};

}  // namespace

std::unique_ptr<SerialEndpoint> open_tcp_endpoint(const ListenAddress& address, SerialEndpoint::Notice notice)
{
    return std::make_unique<TcpEndpoint>(address, std::move(notice));
}

}  // namespace nodesim
