#include "scenario_suite.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "elf_image.h"
#include "file_descriptor.h"
#include "run.h"
#include "run_outputs.h"

namespace nodesim {

namespace {

using nlohmann::json;
using Result = sim::Verdict::Result;

json to_json(const sim::FileResult& r)
{
    json cases = json::array();
    for (const sim::CaseResult& c : r.cases)
        cases.push_back({{"line", c.line},
                         {"name", c.name},
                         {"result", static_cast<int>(c.verdict.result)},
                         {"at", c.verdict.at},
                         {"expected", c.verdict.expected},
                         {"seen", c.verdict.seen},
                         {"wall", c.verdict.wall_seconds}});
    return {{"file", r.file}, {"virtual", r.virtual_seconds}, {"wall", r.wall_seconds}, {"cases", cases}};
}

sim::FileResult from_json(const json& j)
{
    sim::FileResult r{j.at("file"), j.at("virtual"), j.at("wall"), {}};
    for (const json& c : j.at("cases")) {
        sim::Verdict v{static_cast<Result>(c.at("result").get<int>()), c.at("at"), c.at("expected"), c.at("seen"),
                       c.at("wall")};
        r.cases.push_back({c.at("line"), c.at("name"), v});
    }
    return r;
}

struct Child {
    std::string file;
    pid_t pid = -1;
    FileDescriptor out;  // the child's verdicts, as JSON
    std::string received;
};

// Runs one file in a child process whose verdicts come back through a pipe.
Child start(const Options& options, const std::string& file)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("cannot start a process");
    if (pid == 0) {
        ::close(fds[0]);
        Options one = options;
        one.scenarios = {file};
        one.junit.clear();
        one.quiet = true;
        const int status = run_one(one, [fd = fds[1]](const sim::FileResult& result) {
            const std::string text = to_json(result).dump();
            for (size_t done = 0; done < text.size();) {
                ssize_t n = ::write(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        });
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(status);
    }
    ::close(fds[1]);
    return Child{file, pid, FileDescriptor(fds[0]), {}};
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    std::fprintf(stderr, "nodesim: a run ended by signal %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return 1;
}

// Worse statuses win: a run that failed (1) or bad input (2) over a failed expectation (3) over success.
int worse(int a, int b)
{
    auto rank = [](int s) { return s == 0 ? 0 : s == kExpectationFailedStatus ? 1 : 2; };
    return rank(b) > rank(a) ? b : a;
}

void print_file_line(const sim::FileResult& r, int status)
{
    sim::Tally t;
    t.add(r.cases);
    const char* verdict = status == 0 ? "PASS" : status == kExpectationFailedStatus ? "FAIL" : "ERROR";
    std::printf("nodesim: %-5s %s: %zu passed, %zu failed, %zu not judged; %.3f s of virtual time in %.3f s\n", verdict,
                r.file.c_str(), t.passed, t.failed, t.errors, r.virtual_seconds, r.wall_seconds);
    std::fflush(stdout);
}

// Every file read before any runs: a bad line anywhere is bad input, and nothing has run.
bool check_inputs(const Options& options)
{
    try {
        for (const std::string& file : options.scenarios) sim::load_scenario(file);
        if (!options.elf.empty()) sim::cpu::ElfImage::load(options.elf);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "nodesim: %s\n", error.what());
        return false;
    }
    return true;
}

}  // namespace

int run_suite(const Options& options)
{
    if (!check_inputs(options)) return kBadInputStatus;
    std::unique_ptr<std::ofstream> junit;
    try {
        if (!options.junit.empty()) junit = open_output(options.junit);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "nodesim: %s\n", error.what());
        return kBadInputStatus;
    }
    const unsigned jobs = options.jobs > 0 ? options.jobs : std::max(1U, std::thread::hardware_concurrency());
    const auto wall_start = std::chrono::steady_clock::now();

    std::deque<std::string> waiting(options.scenarios.begin(), options.scenarios.end());
    std::vector<Child> running;
    std::vector<sim::FileResult> results;
    int status = 0;
    while (!waiting.empty() || !running.empty()) {
        while (!waiting.empty() && running.size() < jobs) {
            running.push_back(start(options, waiting.front()));
            waiting.pop_front();
        }
        std::vector<pollfd> fds;
        for (const Child& c : running) fds.push_back({c.out.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        for (size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            Child& c = running[i];
            char buffer[4096];
            ssize_t n = ::read(c.out.get(), buffer, sizeof buffer);
            if (n > 0) {
                c.received.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // The child is done: its status, and its verdicts if it got as far as the run's end.
            const int child_status = wait_for(c.pid);
            sim::FileResult result{c.file, 0, 0, {}};
            try {
                if (!c.received.empty()) result = from_json(json::parse(c.received));
            } catch (const json::exception&) {
                std::fprintf(stderr, "nodesim: %s: the run's verdicts came back garbled\n", c.file.c_str());
            }
            print_file_line(result, child_status);
            results.push_back(std::move(result));
            status = worse(status, child_status);
            running.erase(running.begin() + static_cast<long>(i));
        }
    }
    // The report lists the files in the order given, whichever finished first.
    std::sort(results.begin(), results.end(), [&options](const sim::FileResult& a, const sim::FileResult& b) {
        auto index = [&options](const std::string& f) {
            return std::find(options.scenarios.begin(), options.scenarios.end(), f) - options.scenarios.begin();
        };
        return index(a.file) < index(b.file);
    });
    sim::Tally all;
    double virtual_seconds = 0;
    for (const sim::FileResult& r : results) {
        all.add(r.cases);
        virtual_seconds += r.virtual_seconds;
    }
    if (junit) {
        sim::write_junit(*junit, results, runner_name(options));
        junit->flush();
        if (!junit->good()) {
            std::fprintf(stderr, "nodesim: writing %s failed\n", options.junit.c_str());
            status = worse(status, 1);
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    std::printf(
        "nodesim: %zu scenario files, %zu expectations: %zu passed, %zu failed, %zu not judged; %.3f s of "
        "virtual time in %.3f s of wall time\n",
        results.size(), all.passed + all.failed + all.skipped + all.errors, all.passed, all.failed, all.errors,
        virtual_seconds, wall);
    return status;
}

}  // namespace nodesim
