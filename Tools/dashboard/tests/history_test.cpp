// The stored history: what goes in comes out (chart, log, CSV), old events go, and a file that will
// not do is named and left alone while the dashboard carries on in memory.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "history.h"
#include "temp_dir.h"
#include "web_server.h"

using namespace dashboard;
using dashboard::testing::read_file;
using dashboard::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr double kDay = 86400;
const double kNow = 1'800'000'000;  // 2027-01-15

StoredEvent temperature(double t, double c)
{
    return {t, "rx", "temperature", "!A00=" + std::to_string(c) + "$", c};
}

std::size_t rows(History& h)
{
    std::int64_t after = 0;
    std::string csv = h.csv_rows(0, 1e12, after, 1'000'000);
    return static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n'));
}

}  // namespace

TEST(History, EventsSurviveReopeningAndComeBackInOrder)
{
    TempDir dir;
    const std::string db = dir.file("h.sqlite");
    {
        History h(db);
        ASSERT_TRUE(h.persistent()) << h.status();
        EXPECT_NE(h.status().find(db), std::string::npos);
        double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        h.record(temperature(now - 3, 21.5));
        h.record({now - 2, "rx", "switch", "!A01=1$", std::nullopt});
        h.record({now - 1, "tx", "pwm", "V01=75$", std::nullopt});
        h.record({now, "info", "link", "lost tcp 127.0.0.1:4000: the other end, \"closed\"", std::nullopt});
    }
    History h(db);
    auto log = h.newest(3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, "switch");
    EXPECT_EQ(log[2].kind, "link");
    auto points = h.newest_temperatures(10);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_DOUBLE_EQ(points[0].second, 21.5);
    std::int64_t after = 0;
    std::string csv = h.csv_rows(0, 1e12, after, 100);
    EXPECT_NE(csv.find(",rx,temperature,!A00=21.500000$,21.5,\n"), std::string::npos) << csv;
    // A comma or a quote in a field keeps the row's columns.
    EXPECT_NE(csv.find(",info,link,\"lost tcp 127.0.0.1:4000: the other end, \"\"closed\"\"\",,\n"), std::string::npos)
        << csv;
    EXPECT_EQ(h.csv_rows(0, 1e12, after, 100), "");  // nothing after the last
}

TEST(History, RetentionDeletesOnlyWhatIsOlderThanTheLimit)
{
    TempDir dir;
    History h(dir.file("h.sqlite"), 30);
    // Storing prunes by itself, an hour of events apart: by the last of these, the first two are
    // more than 30 days old.
    h.record(temperature(kNow - 40 * kDay, 10));
    h.record(temperature(kNow - 31 * kDay, 11));
    h.record(temperature(kNow - 29 * kDay, 12));
    h.record(temperature(kNow, 13));
    auto points = h.temperatures(0, 1e12, 100);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_DOUBLE_EQ(points[0].second, 12);
    EXPECT_DOUBLE_EQ(points[1].second, 13);
    EXPECT_EQ(h.prune(kNow + 1 * kDay + 1), 1u);
    EXPECT_EQ(rows(h), 1u);
    EXPECT_EQ(h.prune(kNow + 1 * kDay + 2), 0u);
}

TEST(History, LongSpansAreThinnedToTheAskedNumberOfPoints)
{
    History h(History::kMemoryOnly);
    EXPECT_FALSE(h.persistent());
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (int i = 0; i < 1000; ++i) h.record(temperature(now - 1000 + i, i < 500 ? 10 : 20));
    auto all = h.temperatures(0, 1e12, 5000);
    EXPECT_EQ(all.size(), 1000u);
    auto thin = h.temperatures(0, 1e12, 100);
    EXPECT_LE(thin.size(), 101u);
    EXPECT_GE(thin.size(), 90u);
    EXPECT_DOUBLE_EQ(thin.front().second, 10);
    EXPECT_DOUBLE_EQ(thin.back().second, 20);
    auto window = h.temperatures(now - 100, now, 5000);
    EXPECT_EQ(window.size(), 100u);
}

TEST(History, CorruptOrUnwritableFileIsNamedLeftAsItIsAndMemoryTakesOver)
{
    TempDir dir;
    const std::string corrupt = dir.file("corrupt.sqlite");
    const std::string junk(10000, '\x5a');
    std::ofstream(corrupt) << junk;
    {
        History h(corrupt);
        EXPECT_FALSE(h.persistent());
        EXPECT_NE(h.status().find(corrupt), std::string::npos) << h.status();
        EXPECT_NE(h.status().find("not a database"), std::string::npos) << h.status();
        h.record(temperature(kNow, 20));  // this run's history still works
        EXPECT_EQ(h.temperatures(0, 1e12, 10).size(), 1u);
    }
    EXPECT_EQ(read_file(corrupt), junk);

    History missing_folder(dir.file("no/such/folder/h.sqlite"));
    EXPECT_FALSE(missing_folder.persistent());
    EXPECT_NE(missing_folder.status().find("no/such/folder"), std::string::npos) << missing_folder.status();

    // A read-only file. Root writes whatever the permissions say, so the check runs as nobody.
    const std::string readonly = dir.file("readonly.sqlite");
    {
        History(readonly).record(temperature(kNow, 20));
    }
    ::chmod(readonly.c_str(), 0444);
    ::chmod(dir.path.c_str(), 0755);
    pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(3);
        History h(readonly);
        bool named = h.status().find("read") != std::string::npos && h.status().find(readonly) != std::string::npos;
        ::_exit(!h.persistent() && named ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(History, TimeBoundsAreUnixSecondsOrUtcDates)
{
    EXPECT_EQ(parse_time_bound("1800000000"), 1800000000.0);
    EXPECT_EQ(parse_time_bound("1800000000.5"), 1800000000.5);
    EXPECT_EQ(parse_time_bound("2027-01-15"), 1799971200.0);
    EXPECT_EQ(parse_time_bound("2027-01-15T08:00"), 1799971200.0 + 8 * 3600);
    EXPECT_EQ(parse_time_bound("2027-01-15T08:00:30Z"), 1799971200.0 + 8 * 3600 + 30);
    EXPECT_FALSE(parse_time_bound("yesterday"));
    EXPECT_FALSE(parse_time_bound("2027-13-01"));
    EXPECT_FALSE(parse_time_bound("2027-01-15T08"));
    EXPECT_FALSE(parse_time_bound("2027-01-15 garbage"));
    // A number with anything behind it, a NUL (from %00) too, is not a number.
    EXPECT_FALSE(parse_time_bound(std::string("1\0abc", 5)));
    EXPECT_FALSE(parse_time_bound("1800000000 "));
}

// A cell that a spreadsheet would take for a formula (line noise or a link event can begin with
// anything) is quoted and starts with an apostrophe, so it shows as the text it is.
TEST(History, CsvCellsThatWouldBeFormulasAreQuotedAsText)
{
    History h(History::kMemoryOnly);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"=HYPERLINK(\"http://evil.example\")", "\"'=HYPERLINK(\"\"http://evil.example\"\")\""},
        {"+1+1", "\"'+1+1\""},
        {"-2+3", "\"'-2+3\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tx", "\"'\tx\""},
        {"\rx", "\"'\rx\""},
        {"!A00=-5.0$", "!A00=-5.0$"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) h.record({kNow + double(i), "rx", "garbage", cases[i].first, {}});
    h.record({kNow + 99, "rx", "temperature", "!A00=-5.0$", -5.0});
    std::int64_t after = 0;
    std::string csv = h.csv_rows(0, 1e12, after, 100);
    for (const auto& [text, cell] : cases)
        EXPECT_NE(csv.find(",rx,garbage," + cell + ","), std::string::npos) << cell << " in\n" << csv;
    EXPECT_NE(csv.find(",rx,temperature,!A00=-5.0$,-5"), std::string::npos) << csv;  // a number stays a number
}
