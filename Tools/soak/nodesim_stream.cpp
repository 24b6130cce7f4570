#include "nodesim_stream.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace soak {

namespace {

// Splits what arrives on a descriptor into lines.
void pump(int fd, const std::function<void(std::string_view)>& on_line)
{
    std::vector<char> buffer(1 << 20);
    std::string partial;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::string_view chunk(buffer.data(), static_cast<size_t>(got));
        size_t from = 0;
        for (size_t nl = chunk.find('\n'); nl != std::string_view::npos; nl = chunk.find('\n', from)) {
            if (partial.empty()) {
                on_line(chunk.substr(from, nl - from));
            } else {
                partial.append(chunk.substr(from, nl - from));
                on_line(partial);
                partial.clear();
            }
            from = nl + 1;
        }
        partial.append(chunk.substr(from));
    }
    if (!partial.empty()) on_line(partial);
}

}  // namespace

int run_nodesim_streaming(const std::string& nodesim, const std::vector<std::string>& arguments,
                          const std::function<void(std::string_view)>& on_line, bool show_output)
{
    // Both ends close on exec and sit above descriptor 3, so that the child's only copy of the write end
    // is the descriptor 3 it is given.
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) return -1;
    int fds[2] = {::fcntl(raw[0], F_DUPFD_CLOEXEC, 10), ::fcntl(raw[1], F_DUPFD_CLOEXEC, 10)};
    ::close(raw[0]);
    ::close(raw[1]);
    if (fds[0] < 0 || fds[1] < 0) return -1;
    std::vector<std::string> words{nodesim};
    words.insert(words.end(), arguments.begin(), arguments.end());
    words.push_back("--trace");
    words.push_back("/dev/fd/3");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    if (show_output) {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);  // its closing line to our standard error
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t child = 0;
    const int spawned = posix_spawn(&child, nodesim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return -1;
    }
    pump(fds[0], on_line);
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool read_lines(const std::string& path, const std::function<void(std::string_view)>& on_line)
{
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    pump(fd, on_line);
    ::close(fd);
    return true;
}

}  // namespace soak
