// A whole node run in-process from reset: each way a run can end comes back as its kind, with the
// reason and the virtual time.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "firmware_globals.h"
#include "host_firmware.h"
#include "node.h"
#include "node_facts.h"

namespace {

using sim::RunEnd;

class HostNodeTest : public ::testing::Test {
protected:
    HostNodeTest() { test::reset_firmware_globals(); }

    static std::unique_ptr<sim::Node> node(bool crystal = true)
    {
        sim::BoardConfig config;
        config.chip.crystal_present = crystal;
        return std::make_unique<sim::Node>(config, std::make_unique<sim::HostFirmware>());
    }
};

TEST_F(HostNodeTest, RunsFromResetToTheTimeLimit)
{
    auto n = node();
    const RunEnd end = n->run(sim::milliseconds(50));
    EXPECT_EQ(end.kind, RunEnd::Kind::TimeLimit) << end.reason;
    EXPECT_EQ(end.at, sim::milliseconds(50));
    EXPECT_EQ(n->chip().now(), sim::milliseconds(50));
    // The firmware ran: the greeting and why the node started went out on USART2 in its first 40 ms.
    EXPECT_EQ(n->board().listener.received_text(), "Hola\r\nreset: power-on\r\n");
    EXPECT_STREQ(sim::to_string(end.kind), "time limit");
}

// The judges and the dashboard know the greeting from node_facts.h, the firmware writes its own: the
// two are held equal here, on both ports.
TEST_F(HostNodeTest, GreetsOnBothPortsWithTheGreetingThePeersExpect)
{
    auto n = node();
    n->run(sim::milliseconds(50));
    // USART2 says after its greeting why the node started; USART1 has the greeting alone until its first report.
    EXPECT_EQ(n->board().listener.received_text(), std::string(node_facts::kGreeting) + "reset: power-on\r\n");
    EXPECT_EQ(n->board().dashboard.received_text(), node_facts::kGreeting);
    // The judges time the port's characters by the bit its divider gives at the firmware's clocks.
    EXPECT_EQ(n->chip().usart1.bit_time(), node_facts::kPortBitPicos);
}

TEST_F(HostNodeTest, WithoutTheCrystalTheRunEndsInAHaltWithItsReasonAndTime)
{
    auto n = node(false);
    // The halt is dated when the core began its endless wait, found out some time later.
    const RunEnd end = n->run(sim::seconds(3));
    EXPECT_EQ(end.kind, RunEnd::Kind::Halt);
    EXPECT_NE(end.reason.find("PRIMASK"), std::string::npos) << end.reason;
    EXPECT_GE(end.at, sim::milliseconds(100));
    EXPECT_LT(end.at, sim::milliseconds(103));
}

// Ctrl-C reaches the run as an event that throws an interruption: told apart by its kind, not its words.
TEST_F(HostNodeTest, AnInterruptionEndsTheRunAtItsTime)
{
    auto n = node();
    n->chip().scheduler().schedule(sim::milliseconds(30),
                                   [](sim::Picos at) { throw sim::Stop(sim::Stop::Kind::Interrupted, "Ctrl-C", at); });
    const RunEnd end = n->run(sim::seconds(1));
    EXPECT_EQ(end.kind, RunEnd::Kind::Interrupted);
    EXPECT_EQ(end.at, sim::milliseconds(30));
}

TEST_F(HostNodeTest, AModelErrorEndsTheRunAsAFailureAndANodeRunsOnce)
{
    auto n = node();
    n->chip().scheduler().schedule(sim::milliseconds(10),
                                   [](sim::Picos) { throw std::runtime_error("the model gave up"); });
    const RunEnd end = n->run(sim::seconds(1));
    EXPECT_EQ(end.kind, RunEnd::Kind::Failure);
    EXPECT_EQ(end.reason, "the model gave up");
    EXPECT_GE(end.at, sim::milliseconds(10));
    EXPECT_LT(end.at, sim::milliseconds(11));
    EXPECT_THROW(n->run(sim::seconds(2)), std::logic_error);
}

}  // namespace
