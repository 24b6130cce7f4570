// The dashboard's web server under hostile and heavy clients, as figures: how long a command takes
// while a thousand /state answers or two hundred downloads go unread, ab -k on /state, twenty
// thousand connections trickling unfinished requests, and the program's peak memory.
//
// Run by scripts/bench-dashboard.sh against a release build; prints, never fails on a figure.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "history_fill.h"
#include "temp_dir.h"
#include "test_http.h"

using namespace dashboard;
using namespace dashboard::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kCommands = 50;
constexpr int kUnreadStates = 1000;
constexpr int kUnreadDownloads = 200;
constexpr int kTricklers = 20000;
constexpr int kTrickleProcesses = 4;
constexpr auto kTrickleTime = 30s;
// Stored events: the chart's 3 000 newest temperatures make /state about 80 kB, and a download of
// all of them is some 7 MB.
constexpr int kStoredEvents = 100000;

double now_unix()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Timings {
    std::vector<double> ms;
    int failed = 0;
    double at(double share) const
    {
        if (ms.empty()) return 0;
        auto sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1,
                               static_cast<std::size_t>(share * static_cast<double>(sorted.size())))];
    }
    void time(int port, const std::string& request)
    {
        auto begun = std::chrono::steady_clock::now();
        auto reply = round_trip(port, request, 5s);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count());
        failed += reply.status != 200;
    }
    void print(const char* what) const
    {
        std::printf("  %-44s p50 %7.1f ms   p99 %7.1f ms   worst %7.1f ms   (%zu, %d failed)\n", what, at(0.5),
                    at(0.99), at(1.0), ms.size(), failed);
    }
};

std::string led_request(int port, int i)
{
    return request_text("POST", "/led", port, "", i % 2 ? R"({"on":true})" : R"({"on":false})");
}

// kCommands commands one after another (20 ms apart, a burst from a page), and as many /state.
void time_commands(int port, const char* under)
{
    Timings commands, states;
    for (int i = 0; i < kCommands; ++i) {
        commands.time(port, led_request(port, i));
        states.time(port, request_text("GET", "/state", port));
        std::this_thread::sleep_for(20ms);
    }
    commands.print((std::string("POST /led under ") + under).c_str());
    states.print((std::string("GET /state under ") + under).c_str());
}

std::vector<UniqueFd> unread_requests(int port, const std::string& path, int count)
{
    std::vector<UniqueFd> clients;
    const std::string request = request_text("GET", path, port);
    for (int i = 0; i < count; ++i) {
        clients.push_back(connect_loopback(port, 4096));
        if (clients.back()) send_all(clients.back().get(), request);
    }
    std::this_thread::sleep_for(1s);  // their answers are being written (and not taken)
    return clients;
}

std::string status_line(pid_t pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    return "?";
}

std::size_t open_files(pid_t pid)
{
    std::error_code ec;
    auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? 0 : static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

// One process's share of the tricklers: each connection sends an unfinished request head, then a
// byte of it every 5 s while it stays open. Ends after kTrickleTime.
void trickle_from_here(int port, int count)
{
    const std::string partial = "GET /state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Slow: ";
    std::vector<UniqueFd> tricklers;
    tricklers.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        UniqueFd fd = connect_loopback(port);
        if (!fd) break;
        send_all(fd.get(), partial);
        tricklers.push_back(std::move(fd));
    }
    auto end = std::chrono::steady_clock::now() + kTrickleTime;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5s);
        for (auto& t : tricklers)
            if (t && ::send(t.get(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) t.reset();
    }
    std::size_t open = std::count_if(tricklers.begin(), tricklers.end(), [](const UniqueFd& t) { return bool(t); });
    std::printf("  a trickling process: %zu connections opened, %zu not yet closed by the dashboard\n",
                tricklers.size(), open);
}

void trickle(int port, pid_t pid)
{
    // Spread over processes: one may hold fewer sockets than there are tricklers.
    std::vector<pid_t> children;
    for (int i = 0; i < kTrickleProcesses; ++i) {
        std::fflush(stdout);
        pid_t child = ::fork();
        if (child == 0) {
            trickle_from_here(port, kTricklers / kTrickleProcesses);
            std::fflush(stdout);
            ::_exit(0);
        }
        children.push_back(child);
    }
    Timings commands, states;
    std::size_t most_files = 0;
    auto end = std::chrono::steady_clock::now() + kTrickleTime;
    while (std::chrono::steady_clock::now() < end) {
        commands.time(port, led_request(port, static_cast<int>(commands.ms.size())));
        states.time(port, request_text("GET", "/state", port));
        most_files = std::max(most_files, open_files(pid));
        std::this_thread::sleep_for(100ms);
    }
    for (pid_t child : children) ::waitpid(child, nullptr, 0);
    commands.print("POST /led under the trickle");
    states.print("GET /state under the trickle");
    std::printf("  the dashboard held at most %zu file descriptors\n", most_files);
}

}  // namespace

int main()
{
    raise_file_limit();
    TempDir dir;
    const std::string db = dir.file("history.sqlite");
    std::printf("filling a history of %d events...\n", kStoredEvents);
    fill_history(db, kStoredEvents, now_unix());
    Program dashboard({"--device", dir.file("no-such-device"), "--listen", "127.0.0.1:0", "--db", db},
                      dir.path.string(), dir.file("dashboard.log"));
    int port = dashboard.port();
    if (port <= 0) {
        std::printf("the dashboard did not start:\n%s\n", read_file(dir.file("dashboard.log")).c_str());
        return 1;
    }
    std::printf("/state is %zu bytes\n", get(port, "/state").body.size());

    std::printf("\nquiet:\n");
    time_commands(port, "nothing else");
    std::printf("\n%d unread GET /state in flight:\n", kUnreadStates);
    {
        auto unread = unread_requests(port, "/state", kUnreadStates);
        time_commands(port, "unread /state");
    }
    std::printf("\n%d unread GET /history.csv in flight:\n", kUnreadDownloads);
    {
        auto unread = unread_requests(port, "/history.csv", kUnreadDownloads);
        time_commands(port, "unread /history.csv");
    }
    std::this_thread::sleep_for(1s);

    std::printf("\nab -k -n 20000 -c 50 on /state:\n");
    std::fflush(stdout);
    std::string ab =
        "ab -q -k -n 20000 -c 50 http://127.0.0.1:" + std::to_string(port) +
        "/state 2>&1 | grep -E 'Complete requests|Failed requests|\\(Connect|Keep-Alive requests|Requests per second|"
        "Time per request.*mean\\)|  99%|100%' | sed 's/^/  /'";
    if (std::system(ab.c_str()) != 0) std::printf("  ab failed\n");

    std::printf("\n%d trickling connections for %lld s:\n", kTricklers, static_cast<long long>(kTrickleTime.count()));
    trickle(port, dashboard.pid());
    std::printf("\nthe dashboard's peak memory (VmHWM): %s\n", status_line(dashboard.pid(), "VmHWM").c_str());
    return 0;
}
