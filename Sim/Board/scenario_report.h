// The verdicts of a scenario run as people and CI servers read them: one line a verdict on the console,
// and a JUnit XML report (a testsuite per scenario file, a testcase per expectation) that GitLab, Jenkins
// and GitHub's test reporters show.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "scenario_judge.h"

namespace sim {

struct CaseResult {
    int line = 0;
    std::string name;  // the expectation as written
    Verdict verdict;
};

struct FileResult {
    std::string file;
    double virtual_seconds = 0;  // how far the run got
    double wall_seconds = 0;
    std::vector<CaseResult> cases;
};

std::vector<CaseResult> cases_of(const ScenarioJudge& judge);

// "FILE:LINE: failed at 10.47 s: expected USART1 to carry '!A00=23.5$' from 5 s to 10.5 s; seen ...".
std::string verdict_line(const std::string& file, int line, const Verdict& verdict);

// Counts over every file: {passed, failed, skipped, not judged}.
struct Tally {
    size_t passed = 0, failed = 0, skipped = 0, errors = 0;
    void add(const std::vector<CaseResult>& cases);
    // Every expectation judged passed, skipped ones aside: one that could not be judged is no pass.
    bool all_passed() const { return failed == 0 && errors == 0; }
};

// `runner` names what ran the files ("nodesim", "nodesim --elf node.elf", "nodecheck /dev/ttyUSB0").
void write_junit(std::ostream& out, const std::vector<FileResult>& files, const std::string& runner);

}  // namespace sim
