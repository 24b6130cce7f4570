// Another program started as a child process: the one way every tool and test starts one (the soak's
// and the sweep's nodesim, the dashboard's own nodesim, the tests' nodesim and dashboard).
//
// The child never outlives a parent that is killed: the kernel sends it the parent-death signal
// (SIGTERM by default, which nodesim takes like Ctrl-C and so still writes out its trace) when the
// thread that started it ends, SIGKILL of the whole parent included. A caller whose starting thread may
// end before the child should be stopped starts it from a thread that lives as long as the child (the
// dashboard has one for that). The child starts with every signal at its default and none blocked,
// whatever the parent did with its own (the dashboard blocks SIGINT and SIGTERM and ignores SIGPIPE).
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "file_descriptor.h"

namespace common {

// Where one of the child's descriptors comes from.
class Redirect {
public:
    enum class Kind { Inherit, Null, Descriptor, File };

    static Redirect inherit() { return Redirect(Kind::Inherit); }
    // /dev/null, for reading and writing.
    static Redirect null() { return Redirect(Kind::Null); }
    // A copy of one of ours (a pipe's end, our standard error); ours stays open.
    static Redirect from(int our_fd)
    {
        Redirect r(Kind::Descriptor);
        r.fd_ = our_fd;
        return r;
    }
    // `path` opened in the child with `flags` (O_WRONLY | O_CREAT | O_APPEND for a log, say).
    static Redirect file(std::string path, int flags, mode_t mode = 0644)
    {
        Redirect r(Kind::File);
        r.path_ = std::move(path);
        r.flags_ = flags;
        r.mode_ = mode;
        return r;
    }

    Kind kind() const { return kind_; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    int flags() const { return flags_; }
    mode_t mode() const { return mode_; }

private:
    explicit Redirect(Kind kind) : kind_(kind) {}
    Kind kind_;
    int fd_ = -1;
    std::string path_;
    int flags_ = 0;
    mode_t mode_ = 0;
};

struct Launch {
    std::vector<std::string> argv;  // argv[0] is the program's path (PATH is not searched)
    Redirect input = Redirect::inherit();
    Redirect output = Redirect::inherit();
    Redirect errors = Redirect::inherit();
    // More of the child's descriptors: {3, Redirect::from(pipe's write end)} gives it a descriptor 3.
    std::vector<std::pair<int, Redirect>> more = {};
    // NAME=VALUE entries set in the child's environment over ours.
    std::vector<std::string> environment = {};
    int parent_death_signal = SIGTERM;  // 0: the child may outlive us
};

// A pipe whose both ends close on exec: a child gets an end only as a descriptor it is given.
struct Pipe {
    FileDescriptor read_end;
    FileDescriptor write_end;
};
// None, with errno set, when the system has no descriptors left.
std::optional<Pipe> make_pipe();

// A started child, killed (SIGKILL) and reaped when it is dropped while it still runs. Statuses are
// waitpid()'s (-1 for a child someone else reaped).
class ChildProcess {
public:
    ChildProcess() = default;
    // Starts it; started() tells whether it did, error() why not.
    explicit ChildProcess(const Launch& launch);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool started() const { return pid_ > 0; }
    // Why it did not start: "No such file or directory" (the program), "cannot open /x/log: Permission
    // denied" (a redirection).
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }

    // Its status once it has ended (it is reaped then), without waiting; none while it runs.
    std::optional<int> poll();
    // Waits for its end; its status. -1 when it never started.
    int wait();
    // Waits at most `limit`; its status, or none while it still runs.
    std::optional<int> wait_for(std::chrono::milliseconds limit);
    // Sends `sig` unless it has been reaped.
    void signal(int sig);
    // Sends `sig` and waits `grace` for it to end; then SIGKILL. Its status.
    int stop(int sig, std::chrono::milliseconds grace);
    bool running() { return started() && !poll(); }

private:
    void reset();

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string error_;
};

// The child's exit code, or -1 when it did not exit (a signal ended it).
int exit_code(int status);

}  // namespace common
