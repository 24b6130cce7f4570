// A nodesim running as its own process with USART1 on a pseudo-terminal or a TCP socket, and the
// program at the other end of it, for tests that talk to the simulated node as the dashboard does.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "file_descriptor.h"
#include "trace.h"

namespace endpoint_test {

using Wall = std::chrono::milliseconds;

// nodesim started with `arguments` (plus --quiet and a trace in the test's directory); its output is
// read from a pipe as it comes.
class LiveNodesim {
public:
    explicit LiveNodesim(const std::vector<std::string>& arguments);
    LiveNodesim(const LiveNodesim&) = delete;
    LiveNodesim& operator=(const LiveNodesim&) = delete;
    ~LiveNodesim() = default;  // ends the process if it still runs

    // The text after "nodesim: USART1 on " in the line nodesim prints when its endpoint is ready ("tcp
    // 127.0.0.1:40000", "pseudo-terminal /dev/pts/3"); empty when it ended or said nothing so in time.
    std::string wait_for_endpoint(Wall timeout = Wall(5000));
    // Sends SIGTERM, then waits for the process; returns its exit status (-1 if it did not exit normally).
    int terminate(Wall timeout = Wall(10000));
    // Waits for the process to end by itself.
    int wait(Wall timeout = Wall(10000));

    const std::string& output() const { return output_; }
    // The trace, once the process has ended.
    std::vector<sim::trace::Event> trace() const;

private:
    bool read_output(Wall timeout);

    common::ChildProcess process_;
    common::FileDescriptor out_;
    std::string output_;
    std::string trace_path_;
};

// The program at USART1's far end: a TCP client or an open pseudo-terminal, read without blocking.
class FarEnd {
public:
    static FarEnd connect_tcp(int port);
    static FarEnd open_pty(const std::string& path);
    FarEnd(FarEnd&& other) noexcept;
    FarEnd& operator=(FarEnd&&) = delete;
    FarEnd(const FarEnd&) = delete;
    ~FarEnd();

    bool valid() const { return fd_ >= 0; }
    void write(const std::string& bytes);
    // Reads until `count` occurrences of `text` have arrived since this end was opened, the other side
    // closed, or the time is up. Returns whether the count was reached.
    bool read_until(const std::string& text, size_t count, Wall timeout = Wall(5000));
    // Reads until `more` occurrences of `text` beyond those already received have arrived.
    bool read_more(const std::string& text, size_t more, Wall timeout = Wall(5000))
    {
        return read_until(text, count(text) + more, timeout);
    }
    // Reads whatever arrives within `span`.
    void read_for(Wall span);
    // Reads until the other side closes (end of stream); returns whether it did in time.
    bool read_until_closed(Wall timeout = Wall(5000));
    void close();

    const std::string& received() const { return received_; }
    size_t count(const std::string& text) const;

private:
    explicit FarEnd(int fd) : fd_(fd) {}
    // One wait for input of at most `timeout`; false once the other side has closed.
    bool read_some(Wall timeout);

    int fd_ = -1;
    bool closed_ = false;
    std::string received_;
};

}  // namespace endpoint_test
