// Programs started as children: their descriptors wired as asked (our descriptors passed under other
// numbers included), their environment, signals as a fresh program has them, failures to start told
// with their reason and no child left behind, stopping and killing, and no child outliving a killed
// parent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

using namespace std::chrono_literals;
using common::ChildProcess;
using common::Launch;
using common::Redirect;

Launch shell(const std::string& command)
{
    return Launch{.argv = {"/bin/sh", "-c", command}};
}

// Everything written to the pipe until its last writer closes it.
std::string drain(common::Pipe& pipe)
{
    pipe.write_end.reset();
    std::string text;
    char buffer[256];
    for (;;) {
        pollfd p{pipe.read_end.get(), POLLIN, 0};
        if (::poll(&p, 1, 10'000) <= 0) return text + "<no end in 10 s>";
        ssize_t n = ::read(pipe.read_end.get(), buffer, sizeof buffer);
        if (n <= 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

std::string temp_path(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()))).string();
}

// Gone, or a zombie its new parent has not reaped yet.
bool ended_within(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (::kill(pid, 0) != 0) return true;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(") ");
        if (close != std::string::npos && text[close + 2] == 'Z') return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

TEST(ChildProcess, WiresItsDescriptorsAndEnvironmentAsAsked)
{
    const std::string file = temp_path("child_process_file");
    ::setenv("CHILD_TEST_REPLACED", "ours", 1);
    ::setenv("CHILD_TEST_KEPT", "kept", 1);
    struct Case {
        const char* name;
        std::string command;
        std::function<void(Launch&, int pipe_in)> wire;
        std::string piped;  // what arrives on the pipe
    };
    const std::vector<Case> cases{
        {"stdout", "echo out", [](Launch& l, int p) { l.output = Redirect::from(p); }, "out\n"},
        {"stderr beside stdout", "echo out; echo err >&2",
         [](Launch& l, int p) { l.output = l.errors = Redirect::from(p); }, "out\nerr\n"},
        {"stdin from /dev/null", "cat; echo end",
         [](Launch& l, int p) {
             l.input = Redirect::null();
             l.output = Redirect::from(p);
         },
         "end\n"},
        {"stdout dropped, fd 3 given", "echo dropped; echo three >&3",
         [](Launch& l, int p) {
             l.output = Redirect::null();
             l.more = {{3, Redirect::from(p)}};
         },
         "three\n"},
        {"stdout to a file", "echo filed; cat " + file + " >&3",
         [&file](Launch& l, int p) {
             l.output = Redirect::file(file, O_WRONLY | O_CREAT | O_TRUNC);
             l.more = {{3, Redirect::from(p)}};
         },
         "filed\n"},
        {"environment", "echo $CHILD_TEST_REPLACED $CHILD_TEST_KEPT $CHILD_TEST_NEW",
         [](Launch& l, int p) {
             l.output = Redirect::from(p);
             l.environment = {"CHILD_TEST_REPLACED=theirs", "CHILD_TEST_NEW=new"};
         },
         "theirs kept new\n"},
    };
    for (const Case& c : cases) {
        auto pipe = common::make_pipe();
        ASSERT_TRUE(pipe);
        Launch launch = shell(c.command);
        c.wire(launch, pipe->write_end.get());
        ChildProcess child(launch);
        ASSERT_TRUE(child.started()) << c.name << ": " << child.error();
        EXPECT_EQ(drain(*pipe), c.piped) << c.name;
        EXPECT_EQ(common::exit_code(child.wait()), 0) << c.name;
    }
    std::filesystem::remove(file);
}

// The child's 9 is one of our pipes and its 8 is our 9: copied in order, our 9 would be overwritten
// before it is passed on.
TEST(ChildProcess, OurDescriptorPassedUnderANumberAnotherTakes)
{
    ASSERT_EQ(::fcntl(9, F_GETFD), -1) << "descriptor 9 is in use in this test process";
    auto nine = common::make_pipe(), eight = common::make_pipe();
    ASSERT_TRUE(nine && eight);
    ASSERT_EQ(::dup3(eight->write_end.get(), 9, O_CLOEXEC), 9);
    common::FileDescriptor ours_nine(9);
    Launch launch = shell("echo nine >&9; echo eight >&8");
    launch.more = {{9, Redirect::from(nine->write_end.get())}, {8, Redirect::from(9)}};
    ChildProcess child(launch);
    ASSERT_TRUE(child.started()) << child.error();
    ours_nine.reset();
    EXPECT_EQ(drain(*nine), "nine\n");
    EXPECT_EQ(drain(*eight), "eight\n");
    EXPECT_EQ(common::exit_code(child.wait()), 0);
}

TEST(ChildProcess, StartsWithDefaultSignalsWhateverOursAre)
{
    // The dashboard blocks SIGINT and SIGTERM and ignores SIGPIPE; a shell started so would keep them.
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
    auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
    auto old_hup = ::signal(SIGHUP, SIG_IGN);
    for (int sig : {SIGTERM, SIGINT, SIGPIPE, SIGHUP}) {
        ChildProcess child(shell("kill -" + std::to_string(sig) + " $$; sleep 5; exit 0"));
        ASSERT_TRUE(child.started()) << child.error();
        const int status = child.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
    }
    ::signal(SIGHUP, old_hup);
    ::signal(SIGPIPE, old_pipe);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

TEST(ChildProcess, AFailedStartSaysWhyAndLeavesNoChild)
{
    const std::string not_executable = temp_path("child_process_plain");
    std::ofstream(not_executable) << "echo never\n";
    auto pipe = common::make_pipe();
    ASSERT_TRUE(pipe);
    const int closed_fd = pipe->read_end.get() + 100;
    struct Case {
        Launch launch;
        std::string error;
    };
    const std::vector<Case> cases{
        {{.argv = {"/no/such/program"}}, "No such file or directory"},
        {{.argv = {not_executable}}, "Permission denied"},
        {{.argv = {}}, "no program given"},
        {{.argv = {"/bin/true"}, .errors = Redirect::file("/no/such/folder/log", O_WRONLY | O_CREAT)},
         "cannot open /no/such/folder/log: No such file or directory"},
        {{.argv = {"/bin/true"}, .more = {{3, Redirect::from(closed_fd)}}},
         "cannot pass descriptor " + std::to_string(closed_fd) + ": Bad file descriptor"},
    };
    for (const Case& c : cases) {
        ChildProcess child(c.launch);
        EXPECT_FALSE(child.started()) << c.error;
        EXPECT_EQ(child.error(), c.error);
        EXPECT_EQ(child.wait(), -1);
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << c.error << ": a child left behind";
    }
    std::filesystem::remove(not_executable);
}

TEST(ChildProcess, StopsKillsAndReaps)
{
    // Ends on the signal asked for.
    ChildProcess polite(shell("exec sleep 30"));
    ASSERT_TRUE(polite.started()) << polite.error();
    EXPECT_FALSE(polite.wait_for(50ms));
    EXPECT_TRUE(polite.running());
    int status = polite.stop(SIGINT, 5s);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_FALSE(polite.running());
    EXPECT_EQ(polite.wait(), status);  // kept once reaped

    // Killed when it takes no notice within the grace.
    auto ready = common::make_pipe();
    ASSERT_TRUE(ready);
    Launch deaf_launch = shell("trap '' TERM; echo ready; exec sleep 30");
    deaf_launch.output = Redirect::from(ready->write_end.get());
    ChildProcess deaf(deaf_launch);
    ASSERT_TRUE(deaf.started()) << deaf.error();
    char word[8] = {};
    pollfd p{ready->read_end.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10'000), 1);
    ASSERT_GT(::read(ready->read_end.get(), word, sizeof word), 0);  // past the trap
    status = deaf.stop(SIGTERM, 200ms);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    // Killed and reaped when dropped; and a move hands it over without ending it.
    pid_t pid = -1;
    {
        ChildProcess first(shell("exec sleep 30"));
        pid = first.pid();
        ChildProcess second(std::move(first));
        EXPECT_FALSE(first.started());
        EXPECT_TRUE(second.running());
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcess, EndsWhenItsParentIsKilled)
{
    auto report = common::make_pipe();
    ASSERT_TRUE(report);
    const pid_t parent = ::fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        ChildProcess child(shell("exec sleep 30"));
        const pid_t pid = child.pid();
        [[maybe_unused]] ssize_t n = ::write(report->write_end.get(), &pid, sizeof pid);
        ::pause();
        ::_exit(0);
    }
    report->write_end.reset();
    pid_t grandchild = -1;
    ASSERT_EQ(::read(report->read_end.get(), &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
    ASSERT_GT(grandchild, 0);
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    EXPECT_TRUE(ended_within(grandchild, 5s)) << "the child " << grandchild << " outlived its killed parent";
    if (!ended_within(grandchild, 0ms)) ::kill(grandchild, SIGKILL);
}

}  // namespace
