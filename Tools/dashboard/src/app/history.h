// The dashboard's history: every report, command (as asked, and as sent) and link event, in an
// SQLite file, so that the chart and the log start where the last run left off, and a download has
// them all.
//
// Each event is its own transaction in WAL mode with full sync: a crash or a power cut loses at
// most the event being written. Events older than the retention limit are deleted (at start and
// every hour), so the file stops growing; its freed pages are reused. Reads (the chart, downloads)
// go through a connection of their own, so a long download never holds up the writing of an event.
//
// A file that cannot be opened or written (read-only, corrupt, no such folder) is reported and left
// as it is; the history then lives in memory for this run only, and the dashboard carries on.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace dashboard {

struct StoredEvent {
    double t = 0;      // unix seconds
    std::string dir;   // "rx", "tx", "info", or "command" (asked for; "tx" when it went out)
    std::string kind;  // "temperature", "switch", "greeting", "garbage", "led", "pwm", "link",
                       // "restart" (the greeting again mid-session)
    std::string text;  // the frame as the log shows it (crlf_hex_escaped)
    std::optional<double> celsius;
    std::string source;  // who asked for a command: "127.0.0.1:54321 from http://127.0.0.1:8080"
};

class History {
public:
    static constexpr const char* kMemoryOnly = ":memory:";
    static constexpr double kDefaultKeepDays = 30;

    // Opens or creates `path` (":memory:": nothing kept past this run). Never throws; status()
    // says what became of it.
    History(const std::string& path, double keep_days = kDefaultKeepDays);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // True when events go to the file; false in memory only.
    bool persistent() const { return persistent_; }
    // For the console and the page: "kept in PATH", or why not.
    std::string status() const;

    // Stores `e`; prunes first when the last pruning was an hour ago. Thread-safe. False when it
    // could not be stored (status() says why).
    bool record(const StoredEvent& e);
    // Deletes what is older than the retention limit before `now`; the number of events deleted.
    std::size_t prune(double now);

    // The temperatures with from <= t < to, oldest first, at most `max_points` (averaged in equal
    // time buckets when there are more).
    std::vector<std::pair<double, double>> temperatures(double from, double to, std::size_t max_points);
    // The newest `count` temperatures, oldest first.
    std::vector<std::pair<double, double>> newest_temperatures(std::size_t count);
    // The newest `count` events, oldest first.
    std::vector<StoredEvent> newest(std::size_t count);
    // Events with from <= t < to after the event numbered `after`, at most `limit`, as CSV lines;
    // `after` becomes the last one's number. Empty when there are no more.
    std::string csv_rows(double from, double to, std::int64_t& after, std::size_t limit);
    static const char* csv_header();

private:
    bool open(const std::string& path);
    bool open_reader(const std::string& path);
    bool exec(const char* sql);
    bool note_failure(const std::string& what);
    std::size_t prune_locked(double now);

    mutable std::mutex mutex_;  // the writing connection, and the state below
    sqlite3* db_ = nullptr;
    // The reading connection, with its own lock; the writing one itself when the history is in
    // memory (a second connection would see another, empty, database).
    sqlite3* reader_ = nullptr;
    std::mutex own_read_mutex_;
    std::mutex* read_mutex_ = &mutex_;
    bool persistent_ = false;
    std::string path_;
    std::string status_;
    std::string last_failure_;
    double keep_seconds_;
    double last_prune_ = 0;
};

// The default file: $XDG_DATA_HOME/node-dashboard/history.sqlite, or ~/.local/share/...; empty when
// neither variable is set.
std::string default_history_path();

}  // namespace dashboard
