#include "nodesim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link.h"

extern char** environ;

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
    Endpoint e;
    if (!split_host_port(rest, e.host, e.port) || e.port == 0) return std::nullopt;
    return e;
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
        pid_t pid = spawn_job_();
        spawn_result_ = {pid, errno};
        spawn_job_ = nullptr;
        spawn_cv_.notify_all();
    }
}

pid_t NodesimProcess::fork_on_spawner(std::function<pid_t()> fork_child, int& error)
{
    std::unique_lock lock(spawn_mutex_);
    spawn_result_.reset();
    spawn_job_ = std::move(fork_child);
    spawn_cv_.notify_all();
    spawn_cv_.wait(lock, [&] { return spawn_result_.has_value(); });
    error = spawn_result_->second;
    return spawn_result_->first;
}

std::variant<Endpoint, std::string> NodesimProcess::endpoint()
{
    if (running() && endpoint_) return *endpoint_;
    return start();
}

bool NodesimProcess::running()
{
    if (pid_ < 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        endpoint_.reset();
        std::lock_guard lock(mutex_);
        exit_note_ = exit_text(status);
        return false;
    }
    return true;
}

std::variant<Endpoint, std::string> NodesimProcess::start()
{
    stop();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("cannot make a pipe: ") + std::strerror(errno);
    UniqueFd read_end(fds[0]), write_end(fds[1]);

    // The child must not inherit what this process did with its signals: the dashboard blocks SIGINT
    // and SIGTERM in every thread (one thread waits for them) and ignores SIGPIPE, and a nodesim
    // with those would never end on our SIGINT nor flush its trace.
    //
    // And it must end with us however we end, a SIGKILL included, or it keeps running and holding
    // its port: the kernel sends it SIGTERM (which nodesim takes like Ctrl-C) when the thread that
    // forked it ends, and that is the spawner, which ends only after stop().
    std::vector<std::string> argv_text{program_};
    argv_text.insert(argv_text.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::access(program_.c_str(), X_OK) != 0) return "cannot start " + program_ + ": " + std::strerror(errno);
    const pid_t parent = ::getpid();
    const int out = write_end.get();
    int error = 0;
    pid_t pid = fork_on_spawner(
        [&]() -> pid_t {
            pid_t child = ::fork();
            if (child != 0) return child;
            // In the child only async-signal-safe calls until exec.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);  // we died before the line above took hold
            sigset_t none;
            sigemptyset(&none);
            struct sigaction defaults {};
            defaults.sa_handler = SIG_DFL;
            for (int sig : {SIGINT, SIGTERM, SIGPIPE}) ::sigaction(sig, &defaults, nullptr);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::dup2(out, STDOUT_FILENO);
            ::execve(program_.c_str(), argv.data(), environ);
            ::_exit(127);
        },
        error);
    if (pid < 0) return std::string("cannot start ") + program_ + ": " + std::strerror(error);
    pid_ = pid;
    write_end.reset();
    {
        std::lock_guard lock(mutex_);
        announced_.reset();
        exit_note_.clear();
    }
    reader_ = std::thread(&NodesimProcess::forward_output, this, std::move(read_end));

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
    if (pid_ >= 0) {
        ::kill(pid_, SIGINT);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }
    endpoint_.reset();
    if (reader_.joinable()) reader_.join();
}

}  // namespace dashboard
