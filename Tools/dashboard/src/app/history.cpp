#include "history.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "report_parser.h"

namespace dashboard {
namespace {

constexpr double kPruneEvery = 3600;  // seconds

// The one table, made when missing: in a new file, or in memory when the file will not do.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, t REAL NOT NULL, dir TEXT NOT NULL,"
    " kind TEXT NOT NULL, text TEXT NOT NULL, celsius REAL, source TEXT);"
    "CREATE INDEX IF NOT EXISTS events_t ON events(t)";
// Files written before commands had a source gain the column (empty in their old rows).
constexpr const char* kAddSource = "ALTER TABLE events ADD COLUMN source TEXT";

// The temperature rows a chart may plot: readings the sensor can give. Rows outside its range keep no
// celsius, and older files may hold one out of range anyway.
const std::string kPlottable = "kind = 'temperature' AND celsius BETWEEN " + std::to_string(kSensorMinCelsius) +
                               " AND " + std::to_string(kSensorMaxCelsius);
const std::string kCountPlottable =
    "SELECT count(*), min(t), max(t) FROM events WHERE " + kPlottable + " AND t >= ? AND t < ?";
const std::string kPlottableInBuckets = "SELECT avg(t), avg(celsius) FROM events WHERE " + kPlottable +
                                        " AND t >= ? AND t < ? GROUP BY CAST((t - ?) / ? AS INTEGER) ORDER BY 1";
const std::string kPlottableRows =
    "SELECT t, celsius FROM events WHERE " + kPlottable + " AND t >= ? AND t < ? ORDER BY t";
const std::string kNewestPlottable = "SELECT t, celsius FROM events WHERE " + kPlottable + " ORDER BY t DESC LIMIT ?";

struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return s != nullptr; }
};

double unix_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string text_column(sqlite3_stmt* s, int i)
{
    auto p = sqlite3_column_text(s, i);
    return p ? reinterpret_cast<const char*>(p) : "";
}

// A CSV field: quoted when it holds a comma, a quote or a line break, quotes doubled. A field that
// a spreadsheet would take for a formula (line noise can begin with anything) is quoted and starts
// with an apostrophe, so that it shows as the text it is.
std::string csv_field(const std::string& text)
{
    bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = formula ? "\"'" : "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string iso_time(double t)
{
    std::time_t whole = static_cast<std::time_t>(std::floor(t));
    int millis = std::clamp(static_cast<int>((t - std::floor(t)) * 1000), 0, 999);
    std::tm tm{};
    ::gmtime_r(&whole, &tm);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", millis);
    return std::string(text, n) + fraction;
}

}  // namespace

std::string default_history_path()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        return {};
    return base + "/node-dashboard/history.sqlite";
}

History::History(const std::string& path, double keep_days) : path_(path), keep_seconds_(keep_days * 86400)
{
    if (path != kMemoryOnly && open(path) && open_reader(path)) {
        persistent_ = true;
        status_ = "kept in " + path;
        read_mutex_ = &own_read_mutex_;
    } else {
        if (reader_) sqlite3_close(reader_);
        reader_ = nullptr;
        if (path == kMemoryOnly) status_ = "kept in memory only (--db :memory:)";
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
        sqlite3_open(":memory:", &db_);
        exec(kSchema);
        reader_ = db_;
    }
    prune(unix_now());
}

History::~History()
{
    if (reader_ && reader_ != db_) sqlite3_close(reader_);
    if (db_) sqlite3_close(db_);
}

// A second connection to the file, for reads only: in WAL mode it reads the last committed state
// while the writer goes on.
bool History::open_reader(const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &reader_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        status_ = "not kept (" + path + ": " + (reader_ ? sqlite3_errmsg(reader_) : "cannot read") +
                  "); this run's history is in memory only";
        return false;
    }
    sqlite3_busy_timeout(reader_, 2000);
    return true;
}

// The file as it is found: never replaced or repaired here, only named when it will not do.
bool History::open(const std::string& path)
{
    auto fail = [&](const std::string& why) {
        status_ = "not kept (" + path + ": " + why + "); this run's history is in memory only";
        return false;
    };
    int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return fail(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    sqlite3_busy_timeout(db_, 2000);
    if (sqlite3_db_readonly(db_, "main") == 1) return fail("the file is read-only");
    // A corrupt file shows here, at the first read of its pages; the WAL journal needs writing.
    {
        Statement mode(db_, "PRAGMA journal_mode=WAL");
        if (!mode || sqlite3_step(mode.s) != SQLITE_ROW) return fail(sqlite3_errmsg(db_));
        if (text_column(mode.s, 0) != "wal") return fail("cannot use a write-ahead log here");
    }
    if (!exec("PRAGMA synchronous=FULL") || !exec(kSchema)) return fail(sqlite3_errmsg(db_));
    {
        Statement columns(db_, "SELECT count(*) FROM pragma_table_info('events') WHERE name = 'source'");
        if (!columns || sqlite3_step(columns.s) != SQLITE_ROW) return fail(sqlite3_errmsg(db_));
        if (sqlite3_column_int(columns.s, 0) == 0 && !exec(kAddSource)) return fail(sqlite3_errmsg(db_));
    }
    // A write now rather than at the first report: a file we may read but not write shows at once.
    if (!exec("BEGIN IMMEDIATE; COMMIT")) return fail(sqlite3_errmsg(db_));
    return true;
}

bool History::exec(const char* sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string History::status() const
{
    std::lock_guard lock(mutex_);
    return last_failure_.empty() ? status_ : status_ + "; " + last_failure_;
}

bool History::note_failure(const std::string& what)
{
    if (what == last_failure_) return false;
    last_failure_ = what;
    std::fprintf(stderr, "dashboard: history: %s\n", what.c_str());
    return false;
}

bool History::record(const StoredEvent& e)
{
    std::lock_guard lock(mutex_);
    if (e.t - last_prune_ > kPruneEvery) prune_locked(e.t);
    Statement insert(db_, "INSERT INTO events(t, dir, kind, text, celsius, source) VALUES(?, ?, ?, ?, ?, ?)");
    if (!insert) return note_failure(std::string("cannot store events: ") + sqlite3_errmsg(db_));
    sqlite3_bind_double(insert.s, 1, e.t);
    sqlite3_bind_text(insert.s, 2, e.dir.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert.s, 3, e.kind.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert.s, 4, e.text.c_str(), -1, SQLITE_TRANSIENT);
    if (e.celsius)
        sqlite3_bind_double(insert.s, 5, *e.celsius);
    else
        sqlite3_bind_null(insert.s, 5);
    if (e.source.empty())
        sqlite3_bind_null(insert.s, 6);
    else
        sqlite3_bind_text(insert.s, 6, e.source.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insert.s) != SQLITE_DONE)
        return note_failure(std::string("cannot store events: ") + sqlite3_errmsg(db_));
    if (!last_failure_.empty()) {
        std::fprintf(stderr, "dashboard: history: storing again\n");
        last_failure_.clear();
    }
    return true;
}

std::size_t History::prune(double now)
{
    std::lock_guard lock(mutex_);
    return prune_locked(now);
}

std::size_t History::prune_locked(double now)
{
    last_prune_ = now;
    Statement del(db_, "DELETE FROM events WHERE t < ?");
    if (!del) return 0;
    sqlite3_bind_double(del.s, 1, now - keep_seconds_);
    if (sqlite3_step(del.s) != SQLITE_DONE) {
        note_failure(std::string("cannot delete old events: ") + sqlite3_errmsg(db_));
        return 0;
    }
    return static_cast<std::size_t>(sqlite3_changes(db_));
}

std::vector<std::pair<double, double>> History::temperatures(double from, double to, std::size_t max_points)
{
    std::lock_guard lock(*read_mutex_);
    std::vector<std::pair<double, double>> points;
    if (max_points == 0) return points;
    Statement count(reader_, kCountPlottable.c_str());
    if (!count) return points;
    sqlite3_bind_double(count.s, 1, from);
    sqlite3_bind_double(count.s, 2, to);
    if (sqlite3_step(count.s) != SQLITE_ROW || sqlite3_column_int64(count.s, 0) == 0) return points;
    auto n = static_cast<std::size_t>(sqlite3_column_int64(count.s, 0));
    double first = sqlite3_column_double(count.s, 1), last = sqlite3_column_double(count.s, 2);
    // Equal time buckets; each non-empty one gives its mean time and temperature.
    double bucket = n <= max_points ? 0 : (last - first) / static_cast<double>(max_points - 1 > 0 ? max_points - 1 : 1);
    Statement rows(reader_, bucket > 0 ? kPlottableInBuckets.c_str() : kPlottableRows.c_str());
    if (!rows) return points;
    sqlite3_bind_double(rows.s, 1, from);
    sqlite3_bind_double(rows.s, 2, to);
    if (bucket > 0) {
        sqlite3_bind_double(rows.s, 3, first);
        sqlite3_bind_double(rows.s, 4, bucket);
    }
    while (sqlite3_step(rows.s) == SQLITE_ROW)
        points.emplace_back(sqlite3_column_double(rows.s, 0), sqlite3_column_double(rows.s, 1));
    return points;
}

std::vector<std::pair<double, double>> History::newest_temperatures(std::size_t count)
{
    std::lock_guard lock(*read_mutex_);
    std::vector<std::pair<double, double>> points;
    Statement rows(reader_, kNewestPlottable.c_str());
    if (!rows) return points;
    sqlite3_bind_int64(rows.s, 1, static_cast<sqlite3_int64>(count));
    while (sqlite3_step(rows.s) == SQLITE_ROW)
        points.emplace_back(sqlite3_column_double(rows.s, 0), sqlite3_column_double(rows.s, 1));
    return {points.rbegin(), points.rend()};
}

std::vector<StoredEvent> History::newest(std::size_t count)
{
    std::lock_guard lock(*read_mutex_);
    std::vector<StoredEvent> events;
    Statement rows(reader_, "SELECT t, dir, kind, text, celsius FROM events ORDER BY id DESC LIMIT ?");
    if (!rows) return events;
    sqlite3_bind_int64(rows.s, 1, static_cast<sqlite3_int64>(count));
    while (sqlite3_step(rows.s) == SQLITE_ROW) {
        StoredEvent e{sqlite3_column_double(rows.s, 0), text_column(rows.s, 1), text_column(rows.s, 2),
                      text_column(rows.s, 3), std::nullopt};
        if (sqlite3_column_type(rows.s, 4) != SQLITE_NULL) e.celsius = sqlite3_column_double(rows.s, 4);
        events.push_back(std::move(e));
    }
    return {events.rbegin(), events.rend()};
}

const char* History::csv_header()
{
    return "time_utc,unix_seconds,direction,kind,frame,celsius,source\n";
}

std::string History::csv_rows(double from, double to, std::int64_t& after, std::size_t limit)
{
    std::lock_guard lock(*read_mutex_);
    std::string out;
    Statement rows(reader_,
                   "SELECT id, t, dir, kind, text, celsius, source FROM events WHERE t >= ? AND t < ? AND id > ?"
                   " ORDER BY id LIMIT ?");
    if (!rows) return out;
    sqlite3_bind_double(rows.s, 1, from);
    sqlite3_bind_double(rows.s, 2, to);
    sqlite3_bind_int64(rows.s, 3, after);
    sqlite3_bind_int64(rows.s, 4, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(rows.s) == SQLITE_ROW) {
        after = sqlite3_column_int64(rows.s, 0);
        double t = sqlite3_column_double(rows.s, 1);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", t);
        out += iso_time(t) + "," + seconds + "," + csv_field(text_column(rows.s, 2)) + "," +
               csv_field(text_column(rows.s, 3)) + "," + csv_field(text_column(rows.s, 4)) + ",";
        if (sqlite3_column_type(rows.s, 5) != SQLITE_NULL) {
            char c[32];
            std::snprintf(c, sizeof c, "%.6g", sqlite3_column_double(rows.s, 5));
            out += c;
        }
        out += ',';
        out += csv_field(text_column(rows.s, 6));
        out += '\n';
    }
    return out;
}

}  // namespace dashboard
