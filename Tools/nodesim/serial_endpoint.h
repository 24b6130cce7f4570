// USART1's far end brought out of the simulator: a pseudo-terminal or a TCP socket that another program
// (a terminal at 9600 8N1, the dashboard) talks to the simulated node through, as it would through a USB
// serial adapter. What the other program writes goes onto the node's RX line at 9600 baud, back to back
// as it arrives; what the node sends is written to the other program. While nobody is attached, the
// node's bytes are dropped, as on a line with nothing at its end.
//
// Both kinds are polled without blocking from the pacer's step (every 10 ms of wall time), so the node
// never waits for the other program.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "listen_address.h"

namespace nodesim {

// The endpoint cannot be set up (no pseudo-terminal left, the port in use): nodesim cannot do its job.
class EndpointError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SerialEndpoint {
public:
    // Told of each attach and detach of the other program ("client 127.0.0.1:40112 connected").
    using Notice = std::function<void(const std::string& text)>;

    virtual ~SerialEndpoint() = default;

    // Where the other program finds it: "pseudo-terminal /dev/pts/3", "tcp 127.0.0.1:40000".
    virtual std::string where() const = 0;
    // At most `limit` of the bytes the other program wrote, oldest first; empty when nothing arrived or
    // nobody is there. What is left waits in the kernel's buffer, whose filling holds the program back as
    // a serial adapter's flow control would.
    virtual std::string receive(size_t limit) = 0;
    // Passes the node's bytes on to the other program, or drops them when nobody is attached (or it does
    // not read them fast enough to leave room in the kernel's buffer: an overrun, as on a real line).
    virtual void transmit(const std::string& bytes) = 0;
    // Whether a program is attached now (a TCP client waiting is taken on).
    virtual bool attached() = 0;
};

// A new pseudo-terminal, its master side raw and non-blocking.
std::unique_ptr<SerialEndpoint> open_pty_endpoint(SerialEndpoint::Notice notice);
// A listening TCP socket; one client at a time, a new connection replaces the one before.
std::unique_ptr<SerialEndpoint> open_tcp_endpoint(const ListenAddress& address, SerialEndpoint::Notice notice);

}  // namespace nodesim
