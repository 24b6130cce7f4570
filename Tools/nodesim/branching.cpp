#include "branching.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <cstring>

namespace nodesim {

namespace {

bool valid_name(const std::string& name)
{
    if (name.empty()) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
    return true;
}

// A copy of what the parent wrote to `path` so far, for the child to go on writing, in `stream`.
void take_over(std::ofstream& stream, const std::string& path, const std::string& name)
{
    const std::string own = branch_path(path, name);
    std::filesystem::copy_file(path, own, std::filesystem::copy_options::overwrite_existing);
    stream.close();
    stream.open(own, std::ios::binary | std::ios::app);
    if (!stream) throw std::runtime_error(own + ": cannot open for writing");
}

}  // namespace

std::vector<Branch> load_branches(const std::string& path, sim::Picos moment)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot open the branches file");
    std::vector<Branch> branches;
    std::vector<std::string> texts;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::istringstream words(line);
        std::string first, name, rest;
        words >> first;
        if (first == "branch") {
            words >> name;
            if (!valid_name(name) || (words >> rest))
                throw std::runtime_error(path + ":" + std::to_string(number) +
                                         ": expected \"branch NAME\", NAME of letters, digits, '.', '_', '-'");
            for (const Branch& b : branches)
                if (b.name == name)
                    throw std::runtime_error(path + ":" + std::to_string(number) + ": a second branch " + name);
            branches.push_back({name, {}});
            // Blank lines before the group's first, so that the parser's line numbers are the file's.
            texts.emplace_back(static_cast<size_t>(number), '\n');
            continue;
        }
        if (branches.empty()) {
            if (first.empty() || first[0] == '#') continue;
            throw std::runtime_error(path + ":" + std::to_string(number) + ": a line before the first \"branch NAME\"");
        }
        texts.back() += line + "\n";
    }
    if (branches.empty()) throw std::runtime_error(path + ": no \"branch NAME\" line");
    for (size_t i = 0; i < branches.size(); ++i) {
        std::istringstream text(texts[i]);
        try {
            branches[i].scenario = sim::parse_scenario(text, path);
        } catch (const sim::ScenarioError& error) {
            throw std::runtime_error(error.what());
        }
        for (const sim::ScenarioStep& step : branches[i].scenario.steps)
            if (step.at < moment)
                throw std::runtime_error(path + ":" + std::to_string(step.line) + ": branch " + branches[i].name +
                                         "'s stimulus comes before the moment it branches at");
    }
    return branches;
}

std::string branch_path(const std::string& path, const std::string& name)
{
    const std::filesystem::path p(path);
    const std::string extension = p.extension().string();
    return (p.parent_path() / (p.stem().string() + "." + name + extension)).string();
}

Brancher::Brancher(sim::Board& board, RunFiles& files, const Options& options, std::vector<Branch> branches)
    : board_(board),
      files_(files),
      options_(options),
      branches_(std::move(branches)),
      jobs_(options.jobs != 0 ? options.jobs : std::max(1U, std::thread::hardware_concurrency()))
{
    board_.chip.scheduler().schedule(*options.branch_at, [this](sim::Picos) {
        if (!branches_.empty()) fork_branches();
    });
}

void Brancher::fork_branches()
{
    // What the children would otherwise each write again.
    std::fflush(stdout);
    std::fflush(stderr);
    if (files_.trace) files_.trace->flush();
    if (files_.vcd) files_.vcd->flush();
    for (const Branch& branch : branches_) {
        while (running_.size() >= jobs_) reap_one();
        const pid_t child = ::fork();
        if (child < 0)
            throw std::runtime_error(std::string("cannot fork for branch ") + branch.name + ": " +
                                     std::strerror(errno));
        if (child == 0) {
            become(branch);
            return;
        }
        running_.emplace_back(child, &branch);
    }
    while (!running_.empty()) reap_one();
}

void Brancher::become(const Branch& branch)
{
    branch_ = &branch;
    running_.clear();
    if (files_.trace) take_over(*files_.trace, options_.trace, branch.name);
    if (files_.vcd) take_over(*files_.vcd, options_.vcd, branch.name);
    sim::schedule_scenario(branch.scenario, board_.chip.scheduler(),
                           [this](const sim::ScenarioStep& step) { board_.apply(step); });
}

void Brancher::reap_one()
{
    int status = 0;
    pid_t done = ::waitpid(-1, &status, 0);
    while (done < 0 && errno == EINTR) done = ::waitpid(-1, &status, 0);
    if (done < 0) throw std::runtime_error(std::string("waiting for a branch: ") + std::strerror(errno));
    for (auto it = running_.begin(); it != running_.end(); ++it) {
        if (it->first != done) continue;
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok) {
            failed_.push_back(it->second->name);
            std::fprintf(stderr, "nodesim: branch %s %s %d\n", it->second->name.c_str(),
                         WIFEXITED(status) ? "ended with status" : "was killed by signal",
                         WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        }
        running_.erase(it);
        return;
    }
}

void Brancher::end_branch(int status)
{
    if (files_.trace) files_.trace->flush();
    if (files_.vcd) files_.vcd->flush();
    const bool written = (!files_.trace || files_.trace->good()) && (!files_.vcd || files_.vcd->good());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(written ? status : 1);
}

bool Brancher::children_succeeded()
{
    while (!running_.empty()) reap_one();
    return failed_.empty();
}

}  // namespace nodesim
