// The report parser on the byte streams a serial adapter or a socket really delivers.
#include <gtest/gtest.h>

#include "report_parser.h"

using namespace std::literals;
using dashboard::Report;
using dashboard::ReportParser;

namespace {

std::vector<Report> feed_all(ReportParser& p, std::initializer_list<std::string_view> pieces)
{
    std::vector<Report> all;
    for (auto piece : pieces)
        for (auto& r : p.feed(piece)) all.push_back(r);
    return all;
}

std::vector<Report> without_garbage(std::vector<Report> reports)
{
    std::erase_if(reports, [](const Report& r) { return r.kind == Report::Kind::Garbage; });
    return reports;
}

}  // namespace

TEST(ReportParser, OneCycleInOneReadGivesTemperatureThenSwitch)
{
    ReportParser p;
    auto r = p.feed("Hola\r\n!A00=23.6$!A01=1$");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].kind, Report::Kind::Greeting);
    EXPECT_EQ(r[1].kind, Report::Kind::Temperature);
    EXPECT_EQ(r[1].value, "23.6");
    EXPECT_DOUBLE_EQ(r[1].celsius, 23.6);
    EXPECT_EQ(r[1].raw, "!A00=23.6$");
    EXPECT_EQ(r[2].kind, Report::Kind::Switch);
    EXPECT_EQ(r[2].value, "1");
    EXPECT_EQ(p.pending(), 0u);
}

TEST(ReportParser, ByteByByteReadsGiveTheSameReports)
{
    const std::string stream = "Hola\r\n!A00=-0.1$!A01=0$!A00=85.0$!A01=1$";
    ReportParser whole, bytewise;
    auto expected = whole.feed(stream);
    std::vector<Report> got;
    for (char c : stream)
        for (auto& r : bytewise.feed(std::string_view(&c, 1))) got.push_back(r);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].raw, expected[i].raw);
        EXPECT_EQ(got[i].kind, expected[i].kind);
    }
    EXPECT_EQ(got[1].value, "-0.1");
    EXPECT_DOUBLE_EQ(got[1].celsius, -0.1);
}

TEST(ReportParser, ReportSplitAcrossReadsWaitsForItsEnd)
{
    ReportParser p;
    EXPECT_TRUE(p.feed("!A0").empty());
    EXPECT_TRUE(p.feed("0=2").empty());
    auto r = p.feed("2.0$!A0");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].value, "22.0");
    r = p.feed("1=1$");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Report::Kind::Switch);
}

TEST(ReportParser, GarbageBetweenReportsIsReportedAndTheNextReportKept)
{
    ReportParser p;
    auto r = feed_all(p, {"\xFF\x00zz"sv, "!A00=21.5$", "noise!!A", "01=0$"});
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].kind, Report::Kind::Garbage);
    EXPECT_EQ(r[0].raw.size(), 4u);
    EXPECT_EQ(r[1].value, "21.5");
    EXPECT_EQ(r[2].kind, Report::Kind::Garbage);
    EXPECT_EQ(r[2].raw, "noise!");
    EXPECT_EQ(r[3].kind, Report::Kind::Switch);
}

TEST(ReportParser, BrokenReportDoesNotSwallowTheOneStartingInsideIt)
{
    // A temperature report cut short by a line error, then the switch report.
    ReportParser p;
    auto r = without_garbage(p.feed("!A00=22.!A01=1$"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Report::Kind::Switch);
    // A greeting cut short, then a temperature.
    r = without_garbage(p.feed("Hol!A00=19.0$"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].value, "19.0");
}

TEST(ReportParser, CycleWithoutTemperatureIsJustTheSwitchReport)
{
    // A failed reading: the node leaves the temperature report out of that cycle.
    ReportParser p;
    auto r = p.feed("!A00=22.0$!A01=0$!A01=0$!A00=22.5$!A01=0$");
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[2].kind, Report::Kind::Switch);
    EXPECT_EQ(r[3].value, "22.5");
}

TEST(ReportParser, MalformedReportsAreGarbage)
{
    for (std::string_view bad : {"!A00=$", "!A00=.5$", "!A00=nan$", "!A00=1-2$", "!A01=2$", "!A02=1$", "!A00=1.2.3$",
                                 "Hola\n", "!A01=1\r\n"}) {
        ReportParser p;
        auto r = p.feed(bad);
        EXPECT_TRUE(without_garbage(r).empty()) << bad;
        EXPECT_EQ(p.pending() + (r.empty() ? 0 : r[0].raw.size()), bad.size()) << bad;
    }
}

TEST(ReportParser, EndlessGarbageKeepsMemoryBounded)
{
    ReportParser p;
    std::size_t garbage = 0;
    std::string chunk(1000, 'x');
    for (int i = 0; i < 1000; ++i) {
        for (auto& r : p.feed(chunk)) {
            EXPECT_EQ(r.kind, Report::Kind::Garbage);
            EXPECT_LE(r.raw.size(), ReportParser::kMaxGarbage);
            garbage += r.raw.size();
        }
        EXPECT_EQ(p.pending(), 0u);
    }
    EXPECT_EQ(garbage, 1000u * 1000u);
}

TEST(ReportParser, EndlessDigitsAfterTheTagAreCutAtTheBound)
{
    ReportParser p;
    p.feed("!A00=");
    for (int i = 0; i < 100; ++i) {
        p.feed("1111111111");
        EXPECT_LE(p.pending(), ReportParser::kMaxPending);
    }
    auto r = without_garbage(p.feed("!A01=1$"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Report::Kind::Switch);
}

TEST(ReportParser, ResetForgetsAHalfReport)
{
    ReportParser p;
    p.feed("!A00=2");
    p.reset();
    auto r = p.feed("3.5$!A01=0$");
    ASSERT_EQ(without_garbage(r).size(), 1u);
    EXPECT_EQ(without_garbage(r)[0].kind, Report::Kind::Switch);
}
