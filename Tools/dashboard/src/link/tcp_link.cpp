#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "link.h"

namespace dashboard {

OpenResult connect_tcp(const std::string& host, int port)
{
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) return "cannot resolve " + host + ": " + ::gai_strerror(rc);
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);

    std::string error = "no address";
    for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            error = std::strerror(errno);
            continue;
        }
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            error = std::strerror(errno);
            continue;
        }
        // A command is a handful of bytes that should leave at once, not wait for more.
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
        return OpenLink{std::move(fd), "tcp " + where};
    }
    return "cannot connect to " + where + ": " + error;
}

}  // namespace dashboard
