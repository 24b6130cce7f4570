// A nodesim of the dashboard's own: started with its node's USART1 on a free TCP port of the
// loopback, stopped (and its trace flushed) when the dashboard ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "child_process.h"
#include "unique_fd.h"

namespace dashboard {

struct Endpoint {
    std::string host;
    int port = 0;
};

// The endpoint announced by nodesim's line "nodesim: USART1 on tcp 127.0.0.1:PORT", if `line` is it.
std::optional<Endpoint> parse_endpoint_line(const std::string& line);

class NodesimProcess {
public:
    NodesimProcess(std::string program, std::vector<std::string> extra_args);
    ~NodesimProcess();
    NodesimProcess(const NodesimProcess&) = delete;
    NodesimProcess& operator=(const NodesimProcess&) = delete;

    // The running nodesim's endpoint; starts it first when none runs (the first time, or after it
    // ended). A message when it could not be started or announced no endpoint in time.
    std::variant<Endpoint, std::string> endpoint();

    // Ends the nodesim with SIGINT, as Ctrl-C would, so it writes out its trace; SIGKILL if it is
    // still there after a few seconds.
    void stop();

    // The arguments it is started with.
    const std::vector<std::string>& arguments() const { return args_; }

private:
    std::variant<Endpoint, std::string> start();
    bool running();
    void forward_output(UniqueFd out);
    // Runs `job` (the start of the child) on the spawner: a thread that lives as long as this object.
    // The kernel sends the child its parent-death signal when the thread that started it ends, and the
    // thread asking for a start (the link's) ends before stop() has ended the child the orderly way.
    void run_on_spawner(std::function<void()> job);
    void spawn_loop();

    std::string program_;
    std::vector<std::string> args_;
    common::ChildProcess child_;
    std::optional<Endpoint> endpoint_;
    std::thread reader_;
    std::mutex mutex_;
    std::optional<Endpoint> announced_;
    std::string exit_note_;

    std::mutex spawn_mutex_;
    std::condition_variable spawn_cv_;
    std::function<void()> spawn_job_;
    bool spawner_quit_ = false;
    std::thread spawner_;  // last: started once the members above exist
};

}  // namespace dashboard
