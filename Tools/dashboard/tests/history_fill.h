// A history file with many temperatures, written in one transaction (one event a transaction, as
// the dashboard writes them, would take minutes): for the load test and the benchmark.
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "history.h"

namespace dashboard::testing {

// `count` temperatures, one every 4.8 s, the last at `until` (unix seconds).
inline void fill_history(const std::string& path, int count, double until)
{
    {
        History made(path);
    }  // the file and its table, as the dashboard makes them
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO events(t, dir, kind, text, celsius) VALUES(?, 'rx', 'temperature', ?, ?)", -1,
                       &insert, nullptr);
    for (int i = 0; i < count; ++i) {
        double celsius = 20 + (i % 100) / 10.0;
        char frame[32];
        std::snprintf(frame, sizeof frame, "!A00=%.1f$", celsius);
        sqlite3_bind_double(insert, 1, until - (count - 1 - i) * 4.8);
        sqlite3_bind_text(insert, 2, frame, -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 3, celsius);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

}  // namespace dashboard::testing
