#include "test_http.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>
#include <thread>

#include "host_port.h"
#include "http_request.h"
#include "temp_dir.h"

namespace dashboard::testing {

using namespace std::chrono_literals;

UniqueFd connect_loopback(int port, int receive_buffer)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receive_buffer > 0) ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
    return fd;
}

bool send_all(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// A chunked body's pieces joined; what follows a piece cut short is dropped.
std::string dechunk(std::string_view body)
{
    std::string out;
    for (;;) {
        auto line_end = body.find("\r\n");
        if (line_end == std::string_view::npos) break;
        std::size_t size = 0;
        auto [end, ec] = std::from_chars(body.data(), body.data() + line_end, size, 16);
        if (ec != std::errc{} || size == 0 || body.size() < line_end + 2 + size) break;
        out.append(body.substr(line_end + 2, size));
        body.remove_prefix(std::min(body.size(), line_end + 2 + size + 2));
    }
    return out;
}

}  // namespace

Reply round_trip(int port, const std::string& request, std::chrono::milliseconds timeout, std::string_view enough)
{
    Reply reply;
    UniqueFd fd = connect_loopback(port);
    if (!fd || !send_all(fd.get(), request)) return reply;
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto head_end = text.find("\r\n\r\n");
            !enough.empty() && head_end != std::string::npos && text.find(enough, head_end + 4) != std::string::npos)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    auto head_end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return reply;
    reply.status = std::stoi(text.substr(9, 3));
    reply.headers = text.substr(0, head_end);
    reply.body = text.substr(head_end + 4);
    if (lower_case(reply.headers).find("\r\ntransfer-encoding: chunked") != std::string::npos)
        reply.body = dechunk(reply.body);
    return reply;
}

Reply get(int port, const std::string& path)
{
    return round_trip(port, request_text("GET", path, port));
}

std::string read_until(int fd, std::string_view until, std::chrono::milliseconds wait, bool* closed)
{
    std::string text;
    if (closed) *closed = false;
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (until.empty() ? text.empty() : text.find(until) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

bool closed_within(int fd, std::chrono::milliseconds wait)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < deadline)
        read_until(fd, "",
                   std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                   &closed);
    return closed;
}

void raise_file_limit()
{
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

std::string request_text(const std::string& method, const std::string& path, int port, const std::string& extra_headers,
                         const std::string& body, const std::string& content_type)
{
    std::string text = method + " " + path + " HTTP/1.1\r\n";
    if (extra_headers.find("Host:") == std::string::npos) text += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    text += extra_headers + "Connection: close\r\n";
    if (method == "POST") {
        text += "Content-Type: " + content_type + "\r\n";
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return text + "\r\n" + body;
}

namespace {

// The parent pid in /proc/PID/stat: after the command in parentheses come the state and the ppid.
std::optional<pid_t> parent_of(pid_t pid, char* state = nullptr)
{
    std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(text.substr(close + 1));
    char s = 0;
    pid_t ppid = 0;
    rest >> s >> ppid;
    if (state) *state = s;
    return ppid;
}

std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        if (parent_of(static_cast<pid_t>(pid)) == parent) found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return found;
}

}  // namespace

Program::Program(const std::vector<std::string>& args, const std::string& data_home, const std::string& log_path,
                 int max_files)
{
    auto out = common::make_pipe();
    if (!out) return;
    common::Launch launch{.argv = {DASHBOARD_TEST_PROGRAM},
                          .output = common::Redirect::from(out->write_end.get()),
                          .errors = common::Redirect::file(log_path, O_WRONLY | O_CREAT | O_APPEND),
                          .environment = {"XDG_DATA_HOME=" + data_home}};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    process_ = common::ChildProcess(launch);
    if (!process_.started()) return;
    out->write_end.reset();
    std::string text;
    const std::string announced = "dashboard: open http://";
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{out->read_end.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        ssize_t n = ::read(out->read_end.get(), buffer, sizeof buffer);
        if (n <= 0) break;  // it ended
        text.append(buffer, static_cast<std::size_t>(n));
        auto at = text.find(announced);
        auto slash = at == std::string::npos ? at : text.find('/', at + announced.size());
        if (slash != std::string::npos) {
            const size_t from = at + announced.size();
            auto address = common::parse_host_port(std::string_view(text).substr(from, slash - from));
            if (auto* a = std::get_if<common::HostPort>(&address)) port_ = a->port;
            break;
        }
    }
    // After the announcement: the program has raised its own limit by then, and keeps this one.
    if (max_files > 0) {
        rlimit files{static_cast<rlim_t>(max_files), static_cast<rlim_t>(max_files)};
        ::prlimit(pid(), RLIMIT_NOFILE, &files, nullptr);
    }
}

Program::~Program()
{
    process_ = common::ChildProcess();  // killed and reaped if it still runs
    for (pid_t c : children_seen_)
        if (!ended_within(c, 0ms)) ::kill(c, SIGKILL);
}

std::optional<pid_t> Program::child(std::chrono::milliseconds wait)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    do {
        auto found = children_of(pid());
        if (!found.empty()) {
            children_seen_.insert(children_seen_.end(), found.begin(), found.end());
            return found.front();
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

int Program::end(int sig)
{
    if (!process_.started()) return -1;
    process_.signal(sig);
    return process_.wait();
}

bool ended_within(pid_t pid, std::chrono::milliseconds wait)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        char state = 0;
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        if (parent_of(pid, &state) && state == 'Z') return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace dashboard::testing
