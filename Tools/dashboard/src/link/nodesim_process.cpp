#include "nodesim_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host_port.h"

namespace dashboard {
namespace {

constexpr std::string_view kAnnouncement = "nodesim: USART1 on tcp ";
// Starting the simulator and its first line take a few milliseconds; a loaded machine may take
// longer, and a nodesim that says nothing in this time is not coming.
constexpr auto kStartTimeout = std::chrono::seconds(10);

std::string exit_text(int status)
{
    if (WIFEXITED(status)) return "nodesim exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("nodesim ended by signal ") + strsignal(WTERMSIG(status));
    return "nodesim ended";
}

}  // namespace

std::optional<Endpoint> parse_endpoint_line(const std::string& line)
{
    if (line.rfind(kAnnouncement, 0) != 0) return std::nullopt;
    std::string rest = line.substr(kAnnouncement.size());
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    auto parsed = common::parse_host_port(rest, {.port_may_be_zero = false});
    auto* address = std::get_if<common::HostPort>(&parsed);
    if (!address) return std::nullopt;
    return Endpoint{address->host, address->port};
}

NodesimProcess::NodesimProcess(std::string program, std::vector<std::string> extra_args) : program_(std::move(program))
{
    args_ = {"--tcp", "127.0.0.1:0"};
    // Its live console would only interleave with ours; the closing line still comes.
    if (std::find(extra_args.begin(), extra_args.end(), "--quiet") == extra_args.end()) args_.push_back("--quiet");
    args_.insert(args_.end(), extra_args.begin(), extra_args.end());
    spawner_ = std::thread(&NodesimProcess::spawn_loop, this);
}

NodesimProcess::~NodesimProcess()
{
    stop();
    {
        std::lock_guard lock(spawn_mutex_);
        spawner_quit_ = true;
    }
    spawn_cv_.notify_all();
    spawner_.join();
}

void NodesimProcess::spawn_loop()
{
    std::unique_lock lock(spawn_mutex_);
    for (;;) {
        spawn_cv_.wait(lock, [&] { return spawner_quit_ || spawn_job_; });
        if (spawner_quit_) return;
        spawn_job_();
        spawn_job_ = nullptr;
        spawn_cv_.notify_all();
    }
}

void NodesimProcess::run_on_spawner(std::function<void()> job)
{
    std::unique_lock lock(spawn_mutex_);
    spawn_job_ = std::move(job);
    spawn_cv_.notify_all();
    spawn_cv_.wait(lock, [&] { return !spawn_job_; });
}

std::variant<Endpoint, std::string> NodesimProcess::endpoint()
{
    if (running() && endpoint_) return *endpoint_;
    return start();
}

bool NodesimProcess::running()
{
    if (!child_.started()) return false;
    auto status = child_.poll();
    if (!status) return true;
    child_ = common::ChildProcess();
    endpoint_.reset();
    std::lock_guard lock(mutex_);
    exit_note_ = exit_text(*status);
    return false;
}

std::variant<Endpoint, std::string> NodesimProcess::start()
{
    stop();
    auto pipe = common::make_pipe();
    if (!pipe) return std::string("cannot make a pipe: ") + std::strerror(errno);

    // It must end with us however we end, a SIGKILL included, or it keeps running and holding its
    // port: the kernel sends it SIGTERM (which nodesim takes like Ctrl-C) when the thread that started
    // it ends, and that is the spawner, which ends only after stop(). And it starts with the signals
    // at their defaults, not as the dashboard has them (SIGINT and SIGTERM blocked, SIGPIPE ignored),
    // or it would never end on our SIGINT nor flush its trace.
    common::Launch launch{.argv = {program_}, .output = common::Redirect::from(pipe->write_end.get())};
    launch.argv.insert(launch.argv.end(), args_.begin(), args_.end());
    common::ChildProcess child;
    run_on_spawner([&] { child = common::ChildProcess(launch); });
    if (!child.started()) return "cannot start " + program_ + ": " + child.error();
    child_ = std::move(child);
    pipe->write_end.reset();
    {
        std::lock_guard lock(mutex_);
        announced_.reset();
        exit_note_.clear();
    }
    reader_ = std::thread(&NodesimProcess::forward_output, this, std::move(pipe->read_end));

    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(mutex_);
            if (announced_) {
                endpoint_ = announced_;
                return *endpoint_;
            }
        }
        if (!running()) {
            std::lock_guard lock(mutex_);
            return program_ + " did not start: " + exit_note_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return program_ + " announced no TCP endpoint within 10 s (does it have --tcp?)";
}

// Passes nodesim's lines on to our console and picks out the endpoint it announces. Ends when
// nodesim closes its standard output, that is when it ends.
void NodesimProcess::forward_output(UniqueFd out)
{
    std::string line;
    char buffer[512];
    for (;;) {
        ssize_t n = ::read(out.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                if (line.size() < 4096) line.push_back(buffer[i]);
                continue;
            }
            std::fprintf(stderr, "%s\n", line.c_str());
            if (auto e = parse_endpoint_line(line)) {
                std::lock_guard lock(mutex_);
                announced_ = e;
            }
            line.clear();
        }
    }
}

void NodesimProcess::stop()
{
    // SIGINT as Ctrl-C would, so that it writes out its trace; SIGKILL after 5 s.
    if (child_.started()) child_.stop(SIGINT, std::chrono::seconds(5));
    child_ = common::ChildProcess();
    endpoint_.reset();
    if (reader_.joinable()) reader_.join();
}

}  // namespace dashboard
