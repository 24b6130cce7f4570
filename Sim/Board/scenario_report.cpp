#include "scenario_report.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace sim {

namespace {

using Result = Verdict::Result;

// Text as an XML attribute or element may hold it: the markup as entities, and every byte a report may
// not carry (control characters, anything outside ASCII that might not be UTF-8) as \xNN.
std::string xml(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
                    out += escaped;
                }
        }
    }
    return out;
}

std::string number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// "scenarios/commands.scenario" -> "scenarios.commands": the class a CI server groups the cases under.
std::string class_name(const std::string& file)
{
    std::string name = file;
    if (size_t dot = name.rfind('.'); dot != std::string::npos && name.find('/', dot) == std::string::npos)
        name.erase(dot);
    while (name.rfind("./", 0) == 0) name.erase(0, 2);
    for (char& c : name)
        if (c == '/') c = '.';
    return name;
}

std::string timestamp()
{
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return text;
}

std::string host_name()
{
    char name[256] = "localhost";
    ::gethostname(name, sizeof name - 1);
    return name;
}

}  // namespace

std::vector<CaseResult> cases_of(const ScenarioJudge& judge)
{
    std::vector<CaseResult> cases;
    for (size_t i = 0; i < judge.expectations().size(); ++i)
        cases.push_back({judge.expectations()[i].line, judge.expectations()[i].written, judge.verdicts()[i]});
    return cases;
}

std::string verdict_line(const std::string& file, int line, const Verdict& v)
{
    std::string where = file + ":" + std::to_string(line) + ": ";
    switch (v.result) {
        case Result::Pass:
            return where + "passed at " + seconds_text(v.at) + ": " + v.expected;
        case Result::Fail:
            return where + "failed at " + seconds_text(v.at) + ": expected " + v.expected + "; seen " + v.seen;
        case Result::Skip:
            return where + "skipped: " + v.expected + " (" + v.seen + ")";
        case Result::Error:
            return where + "not judged: " + v.expected + "; " + v.seen;
        case Result::Pending:
            break;
    }
    return where + "pending: " + v.expected;
}

void Tally::add(const std::vector<CaseResult>& cases)
{
    for (const CaseResult& c : cases) {
        passed += c.verdict.result == Result::Pass ? 1 : 0;
        failed += c.verdict.result == Result::Fail ? 1 : 0;
        skipped += c.verdict.result == Result::Skip ? 1 : 0;
        errors += c.verdict.result == Result::Error || c.verdict.result == Result::Pending ? 1 : 0;
    }
}

void write_junit(std::ostream& out, const std::vector<FileResult>& files, const std::string& runner)
{
    Tally all;
    double wall = 0;
    for (const FileResult& f : files) {
        all.add(f.cases);
        wall += f.wall_seconds;
    }
    const std::string stamp = timestamp();
    const std::string host = host_name();
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << "<testsuites name=\"" << xml(runner) << "\" tests=\"" << all.passed + all.failed + all.skipped + all.errors
        << "\" failures=\"" << all.failed << "\" errors=\"" << all.errors << "\" skipped=\"" << all.skipped
        << "\" time=\"" << number(wall) << "\">\n";
    for (size_t id = 0; id < files.size(); ++id) {
        const FileResult& f = files[id];
        Tally t;
        t.add(f.cases);
        out << "  <testsuite name=\"" << xml(f.file) << "\" id=\"" << id << "\" package=\"" << xml(runner)
            << "\" tests=\"" << f.cases.size() << "\" failures=\"" << t.failed << "\" errors=\"" << t.errors
            << "\" skipped=\"" << t.skipped << "\" time=\"" << number(f.wall_seconds) << "\" timestamp=\"" << stamp
            << "\" hostname=\"" << xml(host) << "\">\n";
        out << "    <properties>\n"
            << "      <property name=\"runner\" value=\"" << xml(runner) << "\"/>\n"
            << "      <property name=\"virtual_seconds\" value=\"" << number(f.virtual_seconds) << "\"/>\n"
            << "    </properties>\n";
        for (const CaseResult& c : f.cases) {
            const Verdict& v = c.verdict;
            out << "    <testcase name=\"line " << c.line << ": " << xml(c.name) << "\" classname=\""
                << xml(class_name(f.file)) << "\" time=\"" << number(v.wall_seconds) << "\">\n";
            const std::string message = xml(verdict_line(f.file, c.line, v));
            if (v.result == Result::Fail)
                out << "      <failure message=\"" << message << "\" type=\"expectation\">" << message
                    << "</failure>\n";
            else if (v.result == Result::Skip)
                out << "      <skipped message=\"" << xml(v.seen) << "\"/>\n";
            else if (v.result != Result::Pass)
                out << "      <error message=\"" << message << "\" type=\"not judged\">" << message << "</error>\n";
            if (v.result != Result::Skip)
                out << "      <system-out>judged at " << number(to_seconds(v.at))
                    << " s of virtual time: " << xml(v.expected) << "</system-out>\n";
            out << "    </testcase>\n";
        }
        out << "  </testsuite>\n";
    }
    out << "</testsuites>\n";
}

}  // namespace sim
