// Keeps the link to the node: opens it (retrying every second while it cannot), reads and parses
// the node's reports, writes the commands the pacer lets through, and notices when the link goes
// away. All of it on one thread of its own; the web server reads the state and queues commands.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "dashboard_state.h"
#include "history.h"
#include "link.h"
#include "report_parser.h"

namespace dashboard {

class Connection {
public:
    using Opener = std::function<OpenResult()>;

    static constexpr auto kRetry = std::chrono::seconds(1);

    // Every report, command and link event also goes to `history`, when given, before the state
    // shows it; the state starts from the newest stored events.
    explicit Connection(Opener opener, History* history = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    void stop();

    // Queues a command frame; it goes out when the node can take it.
    void command(CommandKind kind, std::string frame);

    nlohmann::json snapshot(bool history);
    // Waits until the state changes past `seen` or `timeout` passes; the current version.
    std::uint64_t wait_change(std::uint64_t seen, std::chrono::milliseconds timeout);
    std::uint64_t version();
    History* history() const { return history_; }

private:
    void run();
    void serve(OpenLink& link);
    bool write_all(int fd, const std::string& frame);
    void changed();  // with mutex_ held
    void say(const std::string& line);
    void store(const char* dir, const char* kind, const std::string& text, DashboardState::WallClock::time_point at,
               std::optional<double> celsius = std::nullopt);
    void link_event(const std::string& text, DashboardState::WallClock::time_point at);

    Opener opener_;
    History* history_;
    std::string last_link_event_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t version_ = 0;
    DashboardState state_;
    CommandPacer pacer_;
    ReportParser parser_;
    std::string last_said_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace dashboard
