// The links to the node: a serial device (a pseudo-terminal stands in for a USB adapter), a TCP
// peer that goes away and comes back, and a nodesim of our own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <signal.h>
#include <termios.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "connection.h"
#include "link.h"
#include "nodesim_process.h"

using namespace dashboard;
using namespace std::chrono_literals;

namespace {

std::string read_some(int fd, std::chrono::milliseconds wait)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Polls the connection's state until `ok` holds or 5 s pass.
bool eventually(Connection& c, const std::function<bool(const nlohmann::json&)>& ok)
{
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::uint64_t seen = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ok(c.snapshot(false))) return true;
        seen = c.wait_change(seen, 100ms);
    }
    return false;
}

struct Listener {
    UniqueFd fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int port = 0;
    Listener()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), len), 0);
        EXPECT_EQ(::listen(fd.get(), 1), 0);
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    UniqueFd accept_one()
    {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return UniqueFd();
        return UniqueFd(::accept(fd.get(), nullptr, nullptr));
    }
};

std::filesystem::path script(const std::string& name, const std::string& body)
{
    auto path = std::filesystem::temp_directory_path() / ("dashboard_test_" + std::to_string(::getpid()) + name);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

}  // namespace

TEST(SerialLink, PseudoTerminalIsSetRawAt9600AndCarriesBytes)
{
    int master = -1, slave = -1;
    char name[64];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    UniqueFd m(master), s(slave);
    auto opened = open_serial(name);
    ASSERT_TRUE(std::holds_alternative<OpenLink>(opened)) << std::get<std::string>(opened);
    auto& link = std::get<OpenLink>(opened);
    termios tio{};
    ASSERT_EQ(::tcgetattr(link.fd.get(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);  // a cooked line would wait for a newline
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);            // and "\n" must not become "\r\n"
    ASSERT_EQ(::write(master, "!A01=1$", 7), 7);
    EXPECT_EQ(read_some(link.fd.get(), 1000ms), "!A01=1$");
    ASSERT_EQ(::write(link.fd.get(), "V00=1\n", 6), 6);
    EXPECT_EQ(read_some(master, 1000ms), "V00=1\n");
}

TEST(SerialLink, FailuresSayWhatAndWhy)
{
    auto missing = open_serial("/dev/ttyNOSUCHDEVICE");
    ASSERT_TRUE(std::holds_alternative<std::string>(missing));
    EXPECT_NE(std::get<std::string>(missing).find("/dev/ttyNOSUCHDEVICE"), std::string::npos);
    EXPECT_NE(std::get<std::string>(missing).find("No such file"), std::string::npos);
    auto not_tty = open_serial("/dev/null");
    ASSERT_TRUE(std::holds_alternative<std::string>(not_tty));
    EXPECT_NE(std::get<std::string>(not_tty).find("not a serial device"), std::string::npos);
}

TEST(Connection, ReadsReportsSendsCommandsAndReconnectsWhenThePeerComesBack)
{
    Listener listener;
    Connection c([port = listener.port] { return connect_tcp("127.0.0.1", port); });
    c.start();
    UniqueFd peer = listener.accept_one();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(eventually(c, [](auto& j) { return j["connected"] == true; }));
    ASSERT_EQ(::write(peer.get(), "!A00=2", 6), 6);
    ASSERT_EQ(::write(peer.get(), "3.6$!A01=1$", 11), 11);
    EXPECT_TRUE(eventually(c, [](auto& j) { return j["temperature"] == "23.6" && j["switch"] == true; }));

    c.command(CommandKind::Led, led_frame(true));
    EXPECT_EQ(read_some(peer.get(), 2000ms), "V00=1");
    EXPECT_TRUE(eventually(c, [](auto& j) { return j["led"] == true; }));

    peer.reset();  // the node's end goes away...
    EXPECT_TRUE(eventually(
        c, [](auto& j) { return j["connected"] == false && j["link"].template get<std::string>().find("lost") == 0; }));
    peer = listener.accept_one();  // ...and comes back
    ASSERT_TRUE(peer);
    EXPECT_TRUE(eventually(c, [](auto& j) { return j["connected"] == true; }));
    EXPECT_EQ(c.snapshot(false)["temperature"], "23.6");  // the last value stays on the page
    c.stop();
}

TEST(Connection, SerialDeviceThatGoesAwayIsReported)
{
    int master = -1, slave = -1;
    char name[64];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    UniqueFd m(master), s(slave);
    Connection c([path = std::string(name)] { return open_serial(path); });
    c.start();
    ASSERT_TRUE(eventually(c, [](auto& j) { return j["connected"] == true; }));
    ASSERT_EQ(::write(master, "!A00=20.5$!A01=0$", 17), 17);
    EXPECT_TRUE(eventually(c, [](auto& j) { return j["temperature"] == "20.5"; }));
    s.reset();
    m.reset();  // the adapter unplugged: the device hangs up and its node disappears
    EXPECT_TRUE(eventually(c, [](auto& j) {
        return j["connected"] == false && j["link"].template get<std::string>().find("lost serial") == 0;
    }));
    c.stop();
}

TEST(Connection, UnopenableDeviceIsReportedAndRetried)
{
    std::atomic<int> attempts{0};
    Connection c([&]() -> OpenResult {
        ++attempts;
        return std::string("cannot open /dev/ttyUSB0: No such file or directory");
    });
    c.start();
    EXPECT_TRUE(
        eventually(c, [](auto& j) { return j["link"] == "cannot open /dev/ttyUSB0: No such file or directory"; }));
    std::this_thread::sleep_for(1500ms);
    c.stop();
    EXPECT_GE(attempts.load(), 2);
    EXPECT_LE(attempts.load(), 3);  // once a second, not in a tight loop
}

TEST(NodesimProcess, EndpointLineIsRecognisedExactly)
{
    auto e = parse_endpoint_line("nodesim: USART1 on tcp 127.0.0.1:40321");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "127.0.0.1");
    EXPECT_EQ(e->port, 40321);
    EXPECT_FALSE(parse_endpoint_line("nodesim: USART1 on pseudo-terminal /dev/pts/3"));
    EXPECT_FALSE(parse_endpoint_line("nodesim: USART1 on tcp 127.0.0.1:0"));
    EXPECT_FALSE(parse_endpoint_line("x nodesim: USART1 on tcp 127.0.0.1:1"));
}

TEST(NodesimProcess, StartsPassesArgumentsAndStops)
{
    auto args_file = std::filesystem::temp_directory_path() / ("dashboard_test_args_" + std::to_string(::getpid()));
    auto fake = script("_fake", "echo \"$@\" > " + args_file.string() +
                                    "\necho 'nodesim: USART1 on tcp 127.0.0.1:4567'\nexec sleep 30");
    NodesimProcess sim(fake.string(), {"--speed", "4"});
    auto t0 = std::chrono::steady_clock::now();
    auto e = sim.endpoint();
    ASSERT_TRUE(std::holds_alternative<Endpoint>(e)) << std::get<std::string>(e);
    EXPECT_EQ(std::get<Endpoint>(e).port, 4567);
    EXPECT_EQ(std::get<Endpoint>(sim.endpoint()).port, 4567);  // the same one, not a second
    sim.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    std::ifstream in(args_file);
    std::string args;
    std::getline(in, args);
    EXPECT_EQ(args, "--tcp 127.0.0.1:0 --quiet --speed 4");
    std::filesystem::remove(fake);
    std::filesystem::remove(args_file);
}

TEST(NodesimProcess, EndsOnSigintEvenWhenTheDashboardBlocksIt)
{
    // The dashboard runs with SIGINT and SIGTERM blocked (one thread waits for them) and SIGPIPE
    // ignored; its nodesim must still end on SIGINT, writing out its trace, not be killed later.
    auto marker = std::filesystem::temp_directory_path() / ("dashboard_test_int_" + std::to_string(::getpid()));
    auto fake = script("_traps", "trap 'echo interrupted > " + marker.string() +
                                     "; exit 0' INT\n"
                                     "echo 'nodesim: USART1 on tcp 127.0.0.1:4568'\n"
                                     "while :; do sleep 0.05; done");
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    {
        NodesimProcess sim(fake.string(), {});
        ASSERT_TRUE(std::holds_alternative<Endpoint>(sim.endpoint()));
        auto t0 = std::chrono::steady_clock::now();
        sim.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);  // not the SIGKILL after 5 s
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    std::ifstream in(marker);
    std::string word;
    in >> word;
    EXPECT_EQ(word, "interrupted");
    std::filesystem::remove(fake);
    std::filesystem::remove(marker);
}

TEST(NodesimProcess, OneThatEndsAtOnceGivesItsStatus)
{
    auto fake = script("_fails", "echo 'bad option' >&2\nexit 3");
    NodesimProcess sim(fake.string(), {});
    auto e = sim.endpoint();
    ASSERT_TRUE(std::holds_alternative<std::string>(e));
    EXPECT_NE(std::get<std::string>(e).find("status 3"), std::string::npos) << std::get<std::string>(e);
    auto missing = NodesimProcess("/no/such/nodesim", {}).endpoint();
    ASSERT_TRUE(std::holds_alternative<std::string>(missing));
    std::filesystem::remove(fake);
}
