#include "connection.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dashboard {
namespace {

// How often the reading loop looks at the command queue and the stop flag while the node is quiet
// (it sends about 17 characters every 4.8 s): 50 ms between a click and its frame on the line goes
// unnoticed, and a command waits for the node's next cycle anyway.
constexpr int kPollMs = 50;

}  // namespace

Connection::Connection(Opener opener, History* history) : opener_(std::move(opener)), history_(history)
{
    if (history_)
        state_.restore(history_->newest(DashboardState::kLogLimit),
                       history_->newest_temperatures(DashboardState::kHistoryLimit));
}

void Connection::store(const char* dir, const char* kind, const std::string& text,
                       DashboardState::WallClock::time_point at, std::optional<double> celsius)
{
    if (!history_) return;
    history_->record({unix_seconds(at), dir, kind, crlf_hex_escaped(text), celsius});
}

// The link's news as the log shows it: a failure retried every second is stored once.
void Connection::link_event(const std::string& text, DashboardState::WallClock::time_point at)
{
    if (text == last_link_event_) return;
    last_link_event_ = text;
    store("info", "link", text, at);
}

Connection::~Connection()
{
    stop();
}

void Connection::start()
{
    thread_ = std::thread(&Connection::run, this);
}

void Connection::stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Connection::command(CommandKind kind, std::string frame)
{
    std::lock_guard lock(mutex_);
    pacer_.enqueue(kind, std::move(frame));
    state_.set_queued(pacer_.queued());
    changed();
}

nlohmann::json Connection::snapshot(bool history)
{
    std::lock_guard lock(mutex_);
    return state_.to_json(DashboardState::WallClock::now(), history);
}

std::uint64_t Connection::wait_change(std::uint64_t seen, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return version_ != seen || stop_; });
    return version_;
}

std::uint64_t Connection::version()
{
    std::lock_guard lock(mutex_);
    return version_;
}

void Connection::changed()
{
    ++version_;
    cv_.notify_all();
}

void Connection::say(const std::string& line)
{
    if (line == last_said_) return;
    last_said_ = line;
    std::fprintf(stderr, "dashboard: %s\n", line.c_str());
}

void Connection::run()
{
    while (!stop_) {
        OpenResult opened = opener_();
        if (auto* error = std::get_if<std::string>(&opened)) {
            link_event(*error, DashboardState::WallClock::now());
            std::unique_lock lock(mutex_);
            say(*error + "; retrying every second");
            state_.on_disconnected(*error, DashboardState::WallClock::now());
            changed();
            cv_.wait_for(lock, kRetry, [&] { return stop_.load(); });
            continue;
        }
        auto& link = std::get<OpenLink>(opened);
        link_event("connected: " + link.description, DashboardState::WallClock::now());
        {
            std::lock_guard lock(mutex_);
            say("connected to " + link.description);
            parser_.reset();
            pacer_.on_fresh_node();
            state_.on_connected(link.description, DashboardState::WallClock::now());
            changed();
        }
        serve(link);
        // A peer that accepts and drops us at once is not hammered.
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, kRetry, [&] { return stop_.load(); });
    }
}

// Until the link fails or we stop: the node's bytes into the parser, due commands out.
void Connection::serve(OpenLink& link)
{
    std::string lost;
    while (!stop_ && lost.empty()) {
        pollfd p{link.fd.get(), POLLIN, 0};
        int n = ::poll(&p, 1, kPollMs);
        if (n < 0 && errno != EINTR) lost = std::string("poll failed: ") + std::strerror(errno);
        if (n > 0 && (p.revents & POLLIN)) {
            char buffer[256];
            ssize_t got = ::read(link.fd.get(), buffer, sizeof buffer);
            if (got > 0) {
                auto now = DashboardState::WallClock::now();
                auto steady = CommandPacer::Clock::now();
                // Stored before the page can show them: what a crash loses, nobody has seen.
                auto reports = parser_.feed({buffer, static_cast<std::size_t>(got)});
                for (const Report& r : reports)
                    store("rx", report_kind_name(r.kind), r.raw, now,
                          r.kind == Report::Kind::Temperature && in_sensor_range(r.celsius) ? std::optional(r.celsius)
                                                                                            : std::nullopt);
                std::lock_guard lock(mutex_);
                for (const Report& r : reports) {
                    if (auto restart = state_.on_report(r, now)) store("info", "restart", *restart, now);
                    if (r.kind == Report::Kind::Switch) pacer_.on_cycle_report(steady);
                    if (r.kind == Report::Kind::Greeting) pacer_.on_fresh_node();
                }
                changed();
            } else if (got == 0) {
                lost = "the other end closed the link";
            } else if (errno != EAGAIN && errno != EINTR) {
                lost = std::strerror(errno);
            }
        } else if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            lost = "the device hung up";
        }
        if (!lost.empty()) break;

        std::optional<CommandPacer::Due> due;
        {
            std::lock_guard lock(mutex_);
            due = pacer_.take_due(CommandPacer::Clock::now());
        }
        if (due) {
            if (!write_all(link.fd.get(), due->frame)) {
                lost = std::string("cannot write: ") + std::strerror(errno);
                std::lock_guard lock(mutex_);
                pacer_.enqueue(due->kind, due->frame);  // not sent: goes out after reconnecting
                state_.set_queued(pacer_.queued());
                break;
            }
            auto sent_at = DashboardState::WallClock::now();
            store("tx", command_name(due->kind), due->frame, sent_at);
            std::lock_guard lock(mutex_);
            state_.on_sent(due->kind, due->frame, sent_at);
            state_.set_queued(pacer_.queued());
            changed();
        }
    }
    if (stop_) return;
    std::string message = "lost " + link.description + ": " + lost;
    link_event(message, DashboardState::WallClock::now());
    std::lock_guard lock(mutex_);
    say(message + "; retrying every second");
    state_.on_disconnected(message, DashboardState::WallClock::now());
    changed();
}

bool Connection::write_all(int fd, const std::string& frame)
{
    std::size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        // A full transmit buffer drains at 960 bytes/s; a second is plenty for a 7-byte frame.
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

}  // namespace dashboard
