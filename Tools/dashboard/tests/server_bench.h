// A web server on a free loopback port in front of a connection to a node that is not there, or
// to a fake node on the other end of a socket pair that the test writes reports into.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>

#include <thread>

#include "connection.h"
#include "web_server.h"

namespace dashboard::testing {

struct FakeNode {
    int ends[2] = {-1, -1};
    UniqueFd node;  // the test's end: reports go in, commands come out
    FakeNode()
    {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
        node.reset(ends[1]);
        ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    }
    // Hands the dashboard's end over once; afterwards the node is gone.
    Connection::Opener opener()
    {
        return [this]() -> OpenResult {
            if (ends[0] < 0) return std::string("the fake node is gone");
            return OpenLink{UniqueFd(std::exchange(ends[0], -1)), "fake node"};
        };
    }
};

inline Connection::Opener no_device()
{
    return []() -> OpenResult { return std::string("no device here"); };
}

struct ServerBench {
    Connection connection;
    WebServer server;
    int port;
    std::thread thread;

    explicit ServerBench(Connection::Opener opener = no_device(), History* history = nullptr, HttpLimits limits = {})
        : connection(std::move(opener), history),
          server(connection, WebFiles{DASHBOARD_TEST_WEB_DIR, "/nonexistent"}, limits),
          port(server.bind("127.0.0.1", 0)),
          thread([this] { server.serve(); })
    {
        connection.start();
    }
    ~ServerBench()
    {
        server.stop();
        thread.join();
        connection.stop();
    }
};

}  // namespace dashboard::testing
