#include "live_nodesim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <utility>

#include "nodesim_run.h"

namespace endpoint_test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReadyPrefix = "nodesim: USART1 on ";

int remaining_millis(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Wall>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

LiveNodesim::LiveNodesim(const std::vector<std::string>& arguments)
{
    std::filesystem::path dir = scenario_test::fresh_test_directory();
    trace_path_ = (dir / "trace.jsonl").string();

    common::Launch launch{.argv = {NODESIM_PATH, "--quiet", "--trace", trace_path_}, .input = common::Redirect::null()};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    auto out = common::make_pipe();
    if (!out) return;
    launch.output = launch.errors = common::Redirect::from(out->write_end.get());
    process_ = common::ChildProcess(launch);
    out_ = std::move(out->read_end);
}

bool LiveNodesim::read_output(Wall timeout)
{
    pollfd fd{out_.get(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return true;
    char buffer[1024];
    ssize_t got = ::read(out_.get(), buffer, sizeof buffer);
    if (got <= 0) return false;
    output_.append(buffer, static_cast<size_t>(got));
    return true;
}

std::string LiveNodesim::wait_for_endpoint(Wall timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        size_t at = output_.find(kReadyPrefix);
        if (at != std::string::npos) {
            size_t end = output_.find('\n', at);
            if (end != std::string::npos) {
                size_t from = at + std::string(kReadyPrefix).size();
                return output_.substr(from, end - from);
            }
        }
        if (!out_ || remaining_millis(deadline) == 0) return "";
        if (!read_output(Wall(remaining_millis(deadline)))) return "";
    }
}

int LiveNodesim::wait(Wall timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto status = process_.poll(); status || !process_.started()) {
            // The rest of its output: the pipe ends once the process has gone.
            for (int i = 0; status && i < 1000 && read_output(Wall(100)); ++i) {}
            return status ? common::exit_code(*status) : -1;
        }
        if (remaining_millis(deadline) == 0) return -1;
        read_output(Wall(10));
    }
}

int LiveNodesim::terminate(Wall timeout)
{
    process_.signal(SIGTERM);
    return wait(timeout);
}

std::vector<sim::trace::Event> LiveNodesim::trace() const
{
    return scenario_test::read_trace(trace_path_);
}

FarEnd FarEnd::connect_tcp(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    return FarEnd(fd);
}

FarEnd FarEnd::open_pty(const std::string& path)
{
    // As a serial program opens an adapter: not as the controlling terminal, raw, 9600 8N1.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios settings{};
        ::tcgetattr(fd, &settings);
        ::cfmakeraw(&settings);
        ::cfsetispeed(&settings, B9600);
        ::cfsetospeed(&settings, B9600);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    return FarEnd(fd);
}

FarEnd::FarEnd(FarEnd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), closed_(other.closed_), received_(std::move(other.received_))
{}

FarEnd::~FarEnd()
{
    close();
}

void FarEnd::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void FarEnd::write(const std::string& bytes)
{
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

bool FarEnd::read_some(Wall timeout)
{
    if (fd_ < 0 || closed_) return false;
    pollfd fd{fd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return true;
    char buffer[512];
    ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
        closed_ = true;  // end of stream (socket), or EIO (pseudo-terminal's master gone)
        return false;
    }
    received_.append(buffer, static_cast<size_t>(got));
    return true;
}

size_t FarEnd::count(const std::string& text) const
{
    size_t n = 0;
    for (size_t at = received_.find(text); at != std::string::npos; at = received_.find(text, at + 1)) ++n;
    return n;
}

bool FarEnd::read_until(const std::string& text, size_t wanted, Wall timeout)
{
    auto deadline = Clock::now() + timeout;
    while (count(text) < wanted && remaining_millis(deadline) > 0)
        if (!read_some(Wall(remaining_millis(deadline)))) break;
    return count(text) >= wanted;
}

void FarEnd::read_for(Wall span)
{
    auto deadline = Clock::now() + span;
    while (remaining_millis(deadline) > 0)
        if (!read_some(Wall(remaining_millis(deadline)))) break;
}

bool FarEnd::read_until_closed(Wall timeout)
{
    auto deadline = Clock::now() + timeout;
    while (!closed_ && remaining_millis(deadline) > 0) read_some(Wall(remaining_millis(deadline)));
    return closed_;
}

}  // namespace endpoint_test
