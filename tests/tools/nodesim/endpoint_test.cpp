// nodesim with USART1's far end handed to another program, over a TCP socket or a pseudo-terminal, as
// the dashboard uses it. Each test runs nodesim at 20 times real time, so a report cycle (4.83 s of
// virtual time) passes in about 0.24 s of wall time, and talks to it as the dashboard would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>
#include <variant>

#include "host_port.h"
#include "live_nodesim.h"

namespace {

using endpoint_test::FarEnd;
using endpoint_test::LiveNodesim;
using endpoint_test::Wall;

// Speed of every run, and a virtual time far beyond what a test needs, so that a test that goes wrong
// still ends (600 s of virtual time are 30 s of wall time).
const std::vector<std::string> kPaced{"--speed", "20", "--duration", "600"};
const std::string kReportPair = "!A00=22.0$!A01=0$";

std::vector<std::string> with(std::vector<std::string> words, const std::vector<std::string>& more)
{
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

int port_of(const std::string& where)
{
    // "tcp 127.0.0.1:40000"
    if (where.rfind("tcp 127.0.0.1:", 0) != 0) return -1;
    auto address = common::parse_host_port(std::string_view(where).substr(4));
    return std::holds_alternative<common::HostPort>(address) ? std::get<common::HostPort>(address).port : -1;
}

using Trace = std::vector<sim::trace::Event>;

// The bytes on USART1's line one way: sim::trace::Tx from the node, sim::trace::Rx to it.
template <class Direction>
std::string bytes_of(const Trace& trace)
{
    std::string text;
    for (const auto& e : trace)
        if (const auto* b = std::get_if<Direction>(&e.what); b && b->port == "USART1")
            text += static_cast<char>(b->byte);
    return text;
}
const auto node_bytes = bytes_of<sim::trace::Tx>;
const auto peer_text = bytes_of<sim::trace::Rx>;

// What the program put on the node's line, and when each byte ended, from the trace.
struct PeerBytes {
    std::string text;
    std::vector<double> times;
};
PeerBytes peer_bytes(const Trace& trace)
{
    PeerBytes bytes;
    for (const auto& e : trace)
        if (const auto* rx = std::get_if<sim::trace::Rx>(&e.what)) {
            bytes.times.push_back(sim::to_seconds(e.t));
            bytes.text += static_cast<char>(rx->byte);
        }
    return bytes;
}

// The LED's level changes after its level at reset.
std::vector<std::pair<double, int>> led_changes(const Trace& trace)
{
    std::vector<std::pair<double, int>> out;
    std::optional<int> level;
    for (const auto& e : trace)
        if (const auto* pin = std::get_if<sim::trace::PinLevel>(&e.what); pin && pin->pin == "C13") {
            if (level && *level != pin->level) out.emplace_back(sim::to_seconds(e.t), pin->level);
            level = pin->level;
        }
    return out;
}

// What a program at the far end received is what the node sent: a run of the node's own bytes, nothing
// added (no echo of what the program wrote), nothing lost or reordered within it.
void expect_part_of_what_the_node_sent(const std::string& received, const std::string& node_sent, const char* who)
{
    EXPECT_FALSE(received.empty()) << who;
    EXPECT_NE(node_sent.find(received), std::string::npos) << who << " received '" << received << "'";
}

TEST(NodesimTcpEndpoint, ClientsDriveTheLedAndReceiveReportsOneAtATime)
{
    LiveNodesim node(with({"--tcp", "127.0.0.1:0"}, kPaced));
    const std::string where = node.wait_for_endpoint();
    const int port = port_of(where);
    ASSERT_GT(port, 0) << node.output();

    // The LED is lit from reset (C13 low). The first client puts it out; a frame is acted on at the start
    // of the next cycle, so two temperature reports after it the LED has changed and reception is ready
    // for the next frame.
    FarEnd first = FarEnd::connect_tcp(port);
    ASSERT_TRUE(first.valid());
    first.write("V00=0");
    EXPECT_TRUE(first.read_more("!A00=", 2)) << first.received();
    EXPECT_NE(first.received().find(kReportPair), std::string::npos) << first.received();

    // A second connection replaces the first, which is closed.
    FarEnd second = FarEnd::connect_tcp(port);
    ASSERT_TRUE(second.valid());
    EXPECT_TRUE(first.read_until_closed()) << "the replaced client is let go";
    second.write("V00=1");
    EXPECT_TRUE(second.read_more("!A00=", 2)) << second.received();
    second.close();

    // After a client leaves, the listener takes the next.
    FarEnd third = FarEnd::connect_tcp(port);
    ASSERT_TRUE(third.valid());
    EXPECT_TRUE(third.read_until(kReportPair, 1)) << third.received();

    // SIGTERM ends the run as Ctrl-C does: status 0 and a complete trace.
    ASSERT_EQ(node.terminate(), 0) << node.output();
    auto trace = node.trace();
    ASSERT_FALSE(trace.empty());
    const auto* end = std::get_if<sim::trace::End>(&trace.back().what);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->reason, "interrupted");

    auto led = led_changes(trace);
    ASSERT_EQ(led.size(), 2U) << node.output();
    EXPECT_EQ(led[0].second, 1) << "V00=0: the LED out";
    EXPECT_EQ(led[1].second, 0) << "V00=1: the LED lit, the pin driven low";
    // The node received exactly the clients' bytes, in order, and no stimulus was applied on their behalf.
    EXPECT_EQ(peer_text(trace), "V00=0V00=1");
    EXPECT_TRUE(std::none_of(trace.begin(), trace.end(),
                             [](const auto& e) { return std::holds_alternative<sim::trace::Stimulus>(e.what); }));
    const std::string node_sent = node_bytes(trace);
    expect_part_of_what_the_node_sent(first.received(), node_sent, "first");
    expect_part_of_what_the_node_sent(second.received(), node_sent, "second");
    expect_part_of_what_the_node_sent(third.received(), node_sent, "third");
}

TEST(NodesimTcpEndpoint, BytesGoOntoTheLineBackToBackAt9600Baud)
{
    LiveNodesim node(with({"--tcp", ":0"}, kPaced));
    const int port = port_of(node.wait_for_endpoint());
    ASSERT_GT(port, 0) << node.output();
    FarEnd client = FarEnd::connect_tcp(port);
    ASSERT_TRUE(client.valid());
    client.write("V01=75$");
    EXPECT_TRUE(client.read_more("!A00=", 2)) << client.received();
    ASSERT_EQ(node.terminate(), 0) << node.output();

    // One write, one frame: seven characters 1.0417 ms apart (10 bits at 9600 baud), none dropped.
    auto [text, times] = peer_bytes(node.trace());
    ASSERT_EQ(text, "V01=75$");
    for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 10.0 / 9600, 1e-6) << i;
}

TEST(NodesimTcpEndpoint, AFloodFasterThanTheLineArrivesWholeAndInOrder)
{
    // Three thousand characters written at once are 3.1 s of line at 9600 baud: nodesim takes them from
    // the socket a step's worth at a time (about 210 characters at this speed), as the line carries
    // them, and loses none.
    LiveNodesim node(with({"--tcp", ":0"}, kPaced));
    const int port = port_of(node.wait_for_endpoint());
    ASSERT_GT(port, 0) << node.output();
    FarEnd client = FarEnd::connect_tcp(port);
    ASSERT_TRUE(client.valid());
    std::string flood;
    for (int i = 0; flood.size() < 3000; ++i) flood += std::to_string(i) + ",";
    flood.resize(3000);
    client.write(flood);
    // Two temperature reports after the write are a whole cycle (4.83 s) apart: the line has carried it all.
    // Generous wall time: receiving at the full line rate slows a sanitizer build to a few times real time.
    EXPECT_TRUE(client.read_more("!A00=", 2, Wall(20000))) << client.received();
    ASSERT_EQ(node.terminate(), 0) << node.output();

    auto [text, times] = peer_bytes(node.trace());
    EXPECT_EQ(text, flood);
    double widest = 0;
    for (size_t i = 1; i < times.size(); ++i) widest = std::max(widest, times[i] - times[i - 1]);
    EXPECT_NEAR(widest, 10.0 / 9600, 1e-6) << "back to back: the line never idles while bytes wait";
}

TEST(NodesimPtyEndpoint, ProgramSetsThePwmAndMayCloseAndReopenTheTerminal)
{
    LiveNodesim node(with({"--pty"}, kPaced));
    const std::string where = node.wait_for_endpoint();
    ASSERT_EQ(where.rfind("pseudo-terminal /dev/pts/", 0), 0U) << node.output();
    const std::string path = where.substr(std::string("pseudo-terminal ").size());

    FarEnd first = FarEnd::open_pty(path);
    ASSERT_TRUE(first.valid()) << path;
    first.write("V01=75$");
    EXPECT_TRUE(first.read_more("!A00=", 2)) << first.received();
    first.close();

    // Three cycles with nobody at the terminal: their reports are dropped, not kept for the next program.
    std::this_thread::sleep_for(Wall(750));
    FarEnd second = FarEnd::open_pty(path);
    ASSERT_TRUE(second.valid()) << path;
    second.read_for(Wall(50));  // one second of virtual time: at most one cycle's reports
    EXPECT_LE(second.count("!A00="), 1U) << "stale reports: " << second.received();
    EXPECT_TRUE(second.read_until(kReportPair, 1)) << second.received();

    ASSERT_EQ(node.terminate(), 0) << node.output();
    auto trace = node.trace();
    // 75 % of the 20 001 us period, within one report cycle of the frame's last byte.
    double frame_end = -1;
    for (const auto& e : trace)
        if (const auto* rx = std::get_if<sim::trace::Rx>(&e.what); rx && rx->byte == '$')
            frame_end = sim::to_seconds(e.t);
    ASSERT_GT(frame_end, 0) << "the frame reached the node";
    auto pwm = std::find_if(trace.begin(), trace.end(), [](const auto& e) {
        const auto* measured = std::get_if<sim::trace::Pwm>(&e.what);
        return measured && measured->high == sim::microseconds(15000);
    });
    ASSERT_NE(pwm, trace.end()) << "V01=75$ took effect";
    EXPECT_EQ(std::get<sim::trace::Pwm>(pwm->what).period, sim::microseconds(20001));
    EXPECT_GT(sim::to_seconds(pwm->t), frame_end);
    EXPECT_LT(sim::to_seconds(pwm->t) - frame_end, 4.84);

    const std::string node_sent = node_bytes(trace);
    EXPECT_EQ(peer_text(trace), "V01=75$");
    expect_part_of_what_the_node_sent(first.received(), node_sent, "first");
    expect_part_of_what_the_node_sent(second.received(), node_sent, "second");
}

TEST(NodesimPacing, SpeedFactorHoldsVirtualTimeToAMultipleOfTheWallClock)
{
    // 9.6 s of virtual time at 20 times real time: 0.48 s of wall time, not the few milliseconds the
    // simulator would need unpaced, nor the 9.6 s of real time.
    auto start = std::chrono::steady_clock::now();
    LiveNodesim node({"--speed", "20", "--duration", "9.6"});
    ASSERT_EQ(node.wait(), 0) << node.output();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(wall, 0.47);
    EXPECT_LT(wall, 4.0);
    EXPECT_NE(node.output().find("9.600000 s of virtual time"), std::string::npos) << node.output();
}

// A port some other program already listens on.
struct OccupiedPort {
    OccupiedPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~OccupiedPort() { ::close(fd); }
    int fd = -1;
    int port = -1;
};

TEST(NodesimEndpointOptions, ConflictsAndBadAddressesEndWithAMessageAndStatus2)
{
    OccupiedPort occupied;
    ASSERT_GT(occupied.port, 0);
    const std::string in_use = "127.0.0.1:" + std::to_string(occupied.port);
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"--pty", "--tcp", ":0"}, "--pty and --tcp"},
        {{"--fast", "--pty"}, "--fast does not go with --pty or --tcp"},
        {{"--fast", "--tcp", ":0"}, "--fast does not go with --pty or --tcp"},
        {{"--fast", "--speed", "4"}, "--fast and --speed"},
        {{"--tcp", "7000"}, "no ':' before the port; expected HOST:PORT"},
        {{"--tcp", ":65536"}, "the port 65536 is above 65535"},
        {{"--tcp", "example.org:7000"}, "the host example.org is not an IPv4 address"},
        {{"--tcp", "127.0.0.1:"}, "the port is missing"},
        {{"--tcp", in_use}, "cannot listen on " + in_use},
        // The host build's code has no instruction addresses to record.
        {{"--fast", "--interrupt-pcs", "pcs.txt"}, "--interrupt-pcs needs --elf FILE"},
    };
    for (const Case& c : cases) {
        LiveNodesim node(with(c.arguments, {"--duration", "1"}));
        std::string joined;
        for (const auto& w : c.arguments) joined += w + " ";
        EXPECT_EQ(node.wait(), 2) << joined << node.output();
        EXPECT_NE(node.output().find(c.message), std::string::npos) << joined << node.output();
        EXPECT_EQ(node.output().find("USART1 on"), std::string::npos) << joined << "no endpoint announced";
    }
    for (const char* speed : {"0", "-2", "fast"}) {
        LiveNodesim node({"--speed", speed, "--duration", "1"});
        EXPECT_NE(node.wait(), 0) << speed;
        EXPECT_NE(node.output().find("--speed"), std::string::npos) << speed << node.output();
    }
}

}  // namespace
