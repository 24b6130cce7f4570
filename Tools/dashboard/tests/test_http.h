// Plain-socket HTTP for the tests: event streams held open (some never read), requests with exactly
// the headers a hostile page would send, and a running dashboard program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "unique_fd.h"

namespace dashboard::testing {

// A connected loopback socket; `receive_buffer` > 0 shrinks the socket's receive buffer first (a
// client that stops reading then fills quickly).
UniqueFd connect_loopback(int port, int receive_buffer = 0);

bool send_all(int fd, const std::string& bytes);

struct Reply {
    int status = -1;  // -1: no answer in time
    std::string headers;
    std::string body;
};

// Sends `request` (a whole HTTP/1.1 request, with "Connection: close") and reads the answer until
// the server closes, `timeout` passes, or the body holds `enough` (an event stream never closes).
// A chunked body comes decoded.
Reply round_trip(int port, const std::string& request, std::chrono::milliseconds timeout = std::chrono::seconds(3),
                 std::string_view enough = {});

// "GET path" or "POST path" with a body, from the page's own origin unless `extra_headers` says
// otherwise (each line ending in \r\n).
std::string request_text(const std::string& method, const std::string& path, int port,
                         const std::string& extra_headers = "", const std::string& body = "",
                         const std::string& content_type = "application/json");

// round_trip of "GET path" from the page's own origin.
Reply get(int port, const std::string& path);

// Reads from `fd` until the text read holds `until` (with `until` empty: until anything came), the
// peer closes, or `wait` passes; what was read, and in `closed` whether the peer closed.
std::string read_until(int fd, std::string_view until, std::chrono::milliseconds wait, bool* closed = nullptr);

// True when the peer closes `fd` within `wait`; whatever comes meanwhile is read and dropped.
bool closed_within(int fd, std::chrono::milliseconds wait);

// Raises this process's soft limit of open files to its hard limit: the load tests hold thousands
// of sockets at once, both ends in this process.
void raise_file_limit();

// The dashboard program, started with `args` and XDG_DATA_HOME=`data_home` so that it never
// touches the user's own data folder; stderr goes to `log_path`.
class Program {
public:
    // `max_files` > 0: the program may hold that many file descriptors at most (set once it runs).
    Program(const std::vector<std::string>& args, const std::string& data_home, const std::string& log_path,
            int max_files = 0);
    ~Program();  // kills what is still running, the program and any child of its
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    int port() const { return port_; }  // 0 when it printed no URL
    pid_t pid() const { return process_.pid(); }
    // The pid of the program's child (its nodesim), once it has one.
    std::optional<pid_t> child(std::chrono::milliseconds wait);
    // Sends `sig` and waits for the program to end; its exit status as waitpid gives it.
    int end(int sig);

private:
    common::ChildProcess process_;
    int port_ = 0;
    std::vector<pid_t> children_seen_;
};

// True once `pid` has ended (gone, or a zombie waiting for its new parent) within `wait`.
bool ended_within(pid_t pid, std::chrono::milliseconds wait);

}  // namespace dashboard::testing
