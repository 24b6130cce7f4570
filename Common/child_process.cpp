#include "child_process.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

extern char** environ;

namespace common {

namespace {

// One descriptor of the child's, ready before the fork: between fork and exec the child may only make
// async-signal-safe calls, so nothing there allocates.
struct Planned {
    int target;
    Redirect::Kind kind;
    int fd;
    const char* path;
    int flags;
    mode_t mode;
};

// What the child writes to the parent on a failure before its program runs: the redirection that
// failed (or -1 for the exec) and errno.
struct Failure {
    int redirection;
    int error;
};

std::vector<std::string> child_environment(const std::vector<std::string>& changes)
{
    auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=') + 1); };
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        const bool replaced = std::any_of(changes.begin(), changes.end(),
                                          [&](const std::string& c) { return name_of(c) == name_of(entry); });
        if (!replaced) entries.emplace_back(entry);
    }
    entries.insert(entries.end(), changes.begin(), changes.end());
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& words)
{
    std::vector<char*> out;
    for (auto& w : words) out.push_back(w.data());
    out.push_back(nullptr);
    return out;
}

[[noreturn]] void fail_in_child(int report_fd, int redirection)
{
    const Failure failure{redirection, errno};
    [[maybe_unused]] ssize_t ignored = ::write(report_fd, &failure, sizeof failure);
    ::_exit(127);
}

// The child's side, from fork to exec.
[[noreturn]] void become_child(pid_t parent, int death_signal, int report_fd, const std::vector<Planned>& plan,
                               char* const* argv, char* const* envp)
{
    if (death_signal != 0) {
        ::prctl(PR_SET_PDEATHSIG, death_signal);
        if (::getppid() != parent) ::_exit(127);  // the parent died before the line above took hold
    }
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaults, nullptr);  // SIGKILL's and the like fail
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // Every source first goes above the highest target, so that no dup2 below overwrites a source still
    // to be used (our stdout given as the child's fd 3, say); the copies close on exec.
    int highest = 2;
    for (const Planned& p : plan) highest = std::max(highest, p.target);
    report_fd = ::fcntl(report_fd, F_DUPFD_CLOEXEC, highest + 1);
    if (report_fd < 0) ::_exit(127);
    int sources[16];
    for (size_t i = 0; i < plan.size(); ++i) {
        const Planned& p = plan[i];
        int fd = p.fd;
        if (p.kind == Redirect::Kind::Null) fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (p.kind == Redirect::Kind::File) fd = ::open(p.path, p.flags | O_CLOEXEC, p.mode);
        if (fd < 0) fail_in_child(report_fd, static_cast<int>(i));
        sources[i] = ::fcntl(fd, F_DUPFD_CLOEXEC, highest + 1);
        if (sources[i] < 0) fail_in_child(report_fd, static_cast<int>(i));
    }
    for (size_t i = 0; i < plan.size(); ++i)
        if (::dup2(sources[i], plan[i].target) < 0) fail_in_child(report_fd, static_cast<int>(i));
    ::execve(argv[0], argv, envp);
    fail_in_child(report_fd, -1);
}

}  // namespace

std::optional<Pipe> make_pipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    return Pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

ChildProcess::ChildProcess(const Launch& launch)
{
    if (launch.argv.empty()) {
        error_ = "no program given";
        return;
    }
    std::vector<std::pair<int, const Redirect*>> wanted{{0, &launch.input}, {1, &launch.output}, {2, &launch.errors}};
    for (const auto& [target, redirect] : launch.more) wanted.emplace_back(target, &redirect);
    std::vector<Planned> plan;
    std::vector<const Redirect*> planned_from;
    for (const auto& [target, redirect] : wanted) {
        if (redirect->kind() == Redirect::Kind::Inherit) continue;
        plan.push_back(
            {target, redirect->kind(), redirect->fd(), redirect->path().c_str(), redirect->flags(), redirect->mode()});
        planned_from.push_back(redirect);
    }
    if (plan.size() > 16) {
        error_ = "more than 16 redirections";
        return;
    }
    std::vector<std::string> argv_words = launch.argv;
    std::vector<std::string> env_words = child_environment(launch.environment);
    const std::vector<char*> argv = pointers(argv_words), envp = pointers(env_words);

    auto report = make_pipe();
    if (!report) {
        error_ = std::strerror(errno);
        return;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error_ = std::strerror(errno);
        return;
    }
    if (pid == 0)
        become_child(parent, launch.parent_death_signal, report->write_end.get(), plan, argv.data(), envp.data());

    // The report pipe ends, empty, when the exec closes the child's copy of its write end.
    report->write_end.reset();
    Failure failure{};
    ssize_t got;
    while ((got = ::read(report->read_end.get(), &failure, sizeof failure)) < 0 && errno == EINTR) {}
    if (got != static_cast<ssize_t>(sizeof failure)) {
        pid_ = pid;
        return;
    }
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {}
    error_ = std::strerror(failure.error);
    if (failure.redirection >= 0 && static_cast<size_t>(failure.redirection) < planned_from.size()) {
        const Redirect& r = *planned_from[static_cast<size_t>(failure.redirection)];
        if (r.kind() == Redirect::Kind::File) error_ = "cannot open " + r.path() + ": " + error_;
        if (r.kind() == Redirect::Kind::Null) error_ = "cannot open /dev/null: " + error_;
        if (r.kind() == Redirect::Kind::Descriptor)
            error_ = "cannot pass descriptor " + std::to_string(r.fd()) + ": " + error_;
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      error_(std::move(other.error_))
{}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
        error_ = std::move(other.error_);
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    reset();
}

void ChildProcess::reset()
{
    if (started() && !status_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    pid_ = -1;
    status_.reset();
}

std::optional<int> ChildProcess::poll()
{
    if (!started() || status_) return status_;
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {}
    if (done == pid_) status_ = status;
    if (done < 0) status_ = -1;  // reaped behind our back: gone, its status lost
    return status_;
}

int ChildProcess::wait()
{
    if (!started()) return -1;
    if (status_) return *status_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0)
        if (errno != EINTR) {
            status = -1;  // reaped behind our back: gone, its status lost
            break;
        }
    status_ = status;
    return status;
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds limit)
{
    // A child ends without telling us but through SIGCHLD, which belongs to the program; a short sleep
    // between looks costs a run of seconds at most 10 ms.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (auto status = poll(); status || !started()) return status;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::signal(int sig)
{
    if (started() && !status_) ::kill(pid_, sig);
}

int ChildProcess::stop(int sig, std::chrono::milliseconds grace)
{
    signal(sig);
    if (auto status = wait_for(grace)) return *status;
    signal(SIGKILL);
    return wait();
}

int exit_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace common
