#include "nodesim_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "child_process.h"

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
    auto trace = common::make_pipe();
    if (!trace) return -1;
    common::Launch launch{.argv = {nodesim}, .more = {{3, common::Redirect::from(trace->write_end.get())}}};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.argv.insert(launch.argv.end(), {"--trace", "/dev/fd/3"});
    if (show_output) {
        launch.output = common::Redirect::from(STDERR_FILENO);  // its closing line to our standard error
    } else {
        launch.output = launch.errors = common::Redirect::null();
    }
    common::ChildProcess child(launch);
    // The child's copy of the write end is its descriptor 3: ours goes, so the pipe ends with the child.
    trace->write_end.reset();
    if (!child.started()) return -1;
    pump(trace->read_end.get(), on_line);
    return common::exit_code(child.wait());
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
