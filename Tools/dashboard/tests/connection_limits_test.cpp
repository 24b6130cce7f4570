// One local process holding connections of one kind by the hundred (request bodies that never
// come, event streams read or not): a user's /state and commands, on a fresh connection or on one
// kept alive, still work, because what one kind and one peer may hold is bounded and the oldest of
// the kind over its share is closed first. The limits are small here to keep the test quick; the
// program's own run under a real file-descriptor limit is in program_test.cpp.
#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <functional>

#include "server_bench.h"
#include "test_http.h"

using namespace dashboard;
using namespace dashboard::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kCap = 48;
constexpr std::size_t kAttackers = 80;  // well past the cap, as 4 200 are past 4 096

HttpLimits small_limits()
{
    HttpLimits limits;
    limits.max_connections = kCap;
    return limits;
}

// Connections kept open by one client, each reopened (and its opening sent again) as soon as the
// server closes it or, for a request, answers it, as a hostile script does.
struct Flood {
    enum class Kind { Request, ReadStream, UnreadStream };
    int port;
    std::string opening;
    Kind kind;
    std::vector<UniqueFd> fds;
    int reopened = 0;

    void top_up()
    {
        while (fds.size() < kAttackers) fds.push_back(open());
        std::vector<pollfd> polls;
        for (auto& fd : fds)
            polls.push_back({fd.get(), static_cast<short>(kind == Kind::UnreadStream ? POLLRDHUP : POLLIN), 0});
        if (::poll(polls.data(), polls.size(), 0) <= 0) return;
        for (std::size_t i = 0; i < polls.size(); ++i) {
            if (!polls[i].revents) continue;
            bool gone = (polls[i].revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
            if (kind != Kind::UnreadStream) {
                char buffer[4096];
                ssize_t n = ::recv(polls[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                gone = gone || n <= 0 || kind == Kind::Request;  // a request's answer, 408 or 503, ends it
            }
            if (gone) {
                fds[i] = open();
                ++reopened;
            }
        }
    }
    UniqueFd open()
    {
        UniqueFd fd = connect_loopback(port, kind == Kind::UnreadStream ? 4096 : 0);
        if (fd) send_all(fd.get(), opening);
        return fd;
    }
};

// An answer on a connection kept alive: its status (or -1), reading the body by its length.
int ask_on(int fd, const std::string& request)
{
    if (!send_all(fd, request)) return -1;
    std::string text = read_until(fd, "\r\n\r\n", 3s);
    auto head_end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos) return -1;
    auto head = lower_case(text.substr(0, head_end + 2));
    auto at = head.find("\r\ncontent-length: ");
    std::size_t whole = head_end + 4 + (at == std::string::npos ? 0 : std::stoul(head.substr(at + 18)));
    while (text.size() < whole) {
        std::string more = read_until(fd, "", 3s);
        if (more.empty()) return -1;
        text += more;
    }
    return std::stoi(text.substr(9, 3));
}

// A user's requests, twelve rounds, each on a fresh connection and on one kept alive, with the
// flood topped up between them: every one must be answered 200.
void user_keeps_working(ServerBench& b, Flood& flood)
{
    const std::string state = request_text("GET", "/state", b.port);
    const std::string led = request_text("POST", "/led", b.port, "", R"({"on":true})");
    auto keep_alive = [&](std::string text) { return text.replace(text.find("Connection: close"), 17, "X-User: 1"); };
    flood.top_up();
    UniqueFd mine = connect_loopback(b.port);
    ASSERT_EQ(ask_on(mine.get(), keep_alive(state)), 200);
    for (int round = 0; round < 12; ++round) {
        for (int i = 0; i < 20; ++i) flood.top_up(), std::this_thread::sleep_for(2ms);
        EXPECT_EQ(round_trip(b.port, state).status, 200) << "fresh GET /state, round " << round;
        flood.top_up();
        EXPECT_EQ(round_trip(b.port, led).status, 200) << "fresh POST /led, round " << round;
        flood.top_up();
        EXPECT_EQ(ask_on(mine.get(), keep_alive(state)), 200) << "kept-alive GET /state, round " << round;
        EXPECT_EQ(ask_on(mine.get(), keep_alive(led)), 200) << "kept-alive POST /led, round " << round;
    }
    EXPECT_LE(b.server.open_connections(), kCap + 1) << "the cap did not hold";
}

}  // namespace

TEST(ConnectionLimits, RequestBodiesThatNeverComeDoNotLockUsersOut)
{
    raise_file_limit();
    ServerBench b(no_device(), nullptr, small_limits());
    // A whole head promising a body of 1 000 bytes, and not a byte of it.
    std::string head = request_text("POST", "/led", b.port, "", std::string(1000, ' '));
    head.resize(head.find("\r\n\r\n") + 4);
    Flood flood{b.port, head, Flood::Kind::Request};
    user_keeps_working(b, flood);
    EXPECT_GT(flood.reopened, 0) << "the flood never reached the cap";
}

TEST(ConnectionLimits, EventStreamsHeldOpenDoNotLockUsersOut)
{
    raise_file_limit();
    ServerBench b(no_device(), nullptr, small_limits());
    const std::string events = request_text("GET", "/events", b.port);
    for (auto kind : {Flood::Kind::ReadStream, Flood::Kind::UnreadStream}) {
        Flood flood{b.port, events, kind};
        user_keeps_working(b, flood);
        EXPECT_GT(flood.reopened, 0) << "the flood never reached the cap";
    }
}

// A peer over its share of event streams loses its oldest first; the newest are kept.
TEST(ConnectionLimits, PeerOverItsShareOfStreamsLosesItsOldest)
{
    HttpLimits limits;
    limits.max_streams_per_peer = 6;
    ServerBench b(no_device(), nullptr, limits);
    std::vector<UniqueFd> streams;
    for (int i = 0; i < 10; ++i) {
        streams.push_back(connect_loopback(b.port));
        send_all(streams.back().get(), request_text("GET", "/events", b.port));
        ASSERT_NE(read_until(streams.back().get(), "event: full", 3s).find("event: full"), std::string::npos);
    }
    for (int i = 0; i < 10; ++i) {
        bool closed = false;
        read_until(streams[i].get(), "\x01never", 300ms, &closed);
        EXPECT_EQ(closed, i < 4) << "stream " << i;
    }
    EXPECT_EQ(b.server.open_streams(), 6u);
}

namespace {

std::size_t resident_megabytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) / 1024;
    return 0;
}

}  // namespace

// Streams opened one after another and never read cost a socket each, not a copy of the state
// they open with: 200 of them on a 1 MB opening would be 200 MB of copies.
TEST(ConnectionLimits, UnreadStreamsShareTheStateTheyOpenWith)
{
    raise_file_limit();
    HttpServer server;
    auto opening = std::make_shared<const std::string>("event: full\ndata: " + std::string(1 << 20, 'x') + "\n\n");
    server.stream("/events", [opening] { return opening; });
    int port = server.bind("127.0.0.1", 0);
    std::thread loop([&] { server.serve(); });
    std::size_t before = resident_megabytes();
    std::vector<UniqueFd> unread;
    for (int i = 0; i < 200; ++i) {
        unread.push_back(connect_loopback(port, 4096));
        send_all(unread.back().get(), "GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (server.open_streams() < 200 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    std::size_t grown = resident_megabytes() - std::min(before, resident_megabytes());
    server.stop();
    loop.join();
    EXPECT_EQ(unread.size(), 200u);
    EXPECT_LT(grown, 50u) << "resident memory grew by " << grown << " MB for 200 unread streams";
}
