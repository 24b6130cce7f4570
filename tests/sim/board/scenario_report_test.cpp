// The verdicts as CI reads them: the counts over a file, whether it passed, and its JUnit report. A case
// that was not judged (the run ended first) or never got a verdict at all is no pass: an error in the
// report, and a failing status.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario_report.h"

namespace {

using namespace sim;
using Result = Verdict::Result;

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ScenarioReport, CasesNotJudgedOrLeftPendingAreErrorsAndNoPass)
{
    struct Case {
        const char* what;
        std::vector<Result> results;
        size_t failures, errors, skipped;
        bool passed;
    };
    const Case cases[] = {
        {"passes and skips", {Result::Pass, Result::Skip, Result::Pass}, 0, 0, 1, true},
        {"a failure", {Result::Pass, Result::Fail}, 1, 0, 0, false},
        {"not judged", {Result::Pass, Result::Error}, 0, 1, 0, false},
        {"left pending", {Result::Pass, Result::Pending}, 0, 1, 0, false},
        {"only skipped", {Result::Skip}, 0, 0, 1, true},
        {"one of each", {Result::Pass, Result::Fail, Result::Skip, Result::Error, Result::Pending}, 1, 2, 1, false},
    };
    for (const Case& c : cases) {
        FileResult file{"t.scenario", 5.0, 0.01, {}};
        int line = 0;
        for (Result r : c.results)
            file.cases.push_back({++line, "wait-serial USART1 1 x", Verdict{r, seconds(2), "x on USART1", "", 0}});
        Tally t;
        t.add(file.cases);
        EXPECT_EQ(t.failed, c.failures) << c.what;
        EXPECT_EQ(t.errors, c.errors) << c.what;
        EXPECT_EQ(t.skipped, c.skipped) << c.what;
        EXPECT_EQ(t.passed + t.failed + t.skipped + t.errors, c.results.size()) << c.what;
        EXPECT_EQ(t.all_passed(), c.passed) << c.what;

        std::ostringstream out;
        write_junit(out, {file}, "nodesim");
        const std::string xml = out.str();
        const std::string counts = "failures=\"" + std::to_string(c.failures) + "\" errors=\"" +
                                   std::to_string(c.errors) + "\" skipped=\"" + std::to_string(c.skipped) + "\"";
        EXPECT_EQ(occurrences(xml, counts), 2U) << c.what << ": the suites' counts\n" << xml;  // testsuites, testsuite
        EXPECT_EQ(occurrences(xml, "<failure "), c.failures) << c.what;
        EXPECT_EQ(occurrences(xml, "<error "), c.errors) << c.what;
        EXPECT_EQ(occurrences(xml, "<skipped "), c.skipped) << c.what;
    }
}

}  // namespace
