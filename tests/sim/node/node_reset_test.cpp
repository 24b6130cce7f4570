// The machine's reset on the host build: whatever asks for it, the firmware's stack is unwound, every
// model goes back to its reset state, the firmware's memory is set up again as its start-up does, and
// the node starts over from its reset vector in the same process; RCC_CSR's flags tell the cause.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware_globals.h"
#include "host_firmware.h"
#include "node.h"
#include "reset_cause.h"

namespace {

using sim::ResetCause;
using sim::RunEnd;
namespace csr = sim::rcc_csr;

class HostNodeResetTest : public ::testing::Test {
protected:
    HostNodeResetTest()
    {
        test::reset_firmware_globals();
        node_->board().observe(trace_);
        trace_.add(recorder_);
    }

    sim::Chip& chip() { return node_->chip(); }
    uint32_t csr() { return chip().rcc.read(0x74, 4); }
    std::vector<std::pair<sim::Picos, std::string>> resets() const
    {
        std::vector<std::pair<sim::Picos, std::string>> out;
        for (const auto& e : recorder_.events)
            if (const auto* r = std::get_if<sim::trace::Reset>(&e.what)) out.emplace_back(e.t, r->cause);
        return out;
    }
    // The node's bytes on a port from `from` on.
    std::string sent(const std::string& port, sim::Picos from = 0) const
    {
        std::string out;
        for (const auto& e : recorder_.events)
            if (const auto* tx = std::get_if<sim::trace::Tx>(&e.what); tx && tx->port == port && e.t >= from)
                out += static_cast<char>(tx->byte);
        return out;
    }
    void at(sim::Picos t, std::function<void()> action)
    {
        chip().scheduler().schedule(t, [action = std::move(action)](sim::Picos) { action(); });
    }

    std::unique_ptr<sim::Node> node_ =
        std::make_unique<sim::Node>(sim::BoardConfig{}, std::make_unique<sim::HostFirmware>());
    sim::trace::Trace trace_;
    sim::trace::Recorder recorder_;
};

// The button pressed in the middle of the first report: the node greets again and its next report
// comes a whole cycle after the new start, not where the old cycle would have put it.
TEST_F(HostNodeResetTest, APinResetMidReportRestartsTheFirmwareFromItsResetVector)
{
    at(sim::milliseconds(740), [this] { chip().request_reset(ResetCause::Pin, sim::microseconds(20)); });
    const RunEnd end = node_->run(sim::seconds(7));
    EXPECT_EQ(end.kind, RunEnd::Kind::TimeLimit) << end.reason;
    ASSERT_EQ(resets().size(), 1U);
    // At the first register access after the request: the core's next safe point.
    EXPECT_GE(resets()[0].first, sim::milliseconds(740));
    EXPECT_LT(resets()[0].first, sim::milliseconds(740) + sim::microseconds(1));
    EXPECT_EQ(resets()[0].second, "pin");
    // The firmware told the cause from RCC_CSR's flags and cleared them (RMVF).
    EXPECT_EQ(sent("USART2"), "Hola\r\nreset: power-on\r\nHola\r\nreset: pin\r\n");
    EXPECT_EQ(csr() & csr::kResetFlags, 0U);
    // The report cut short, then the greeting and the reports from the new start.
    EXPECT_EQ(sent("USART1", sim::milliseconds(741)), "Hola\r\n!A00=22.0$!A01=0$!A00=22.0$!A01=0$");
}

TEST_F(HostNodeResetTest, RmvfClearsTheFlagsAndEachKindOfResetSetsItsOwn)
{
    struct Row {
        ResetCause cause;
        uint32_t flags;
    };
    for (const Row& row :
         {Row{ResetCause::Software, csr::kSftRstf | csr::kPinRstf},
          Row{ResetCause::Watchdog, csr::kIwdgRstf | csr::kPinRstf},
          Row{ResetCause::BrownOut, csr::kBorRstf | csr::kPinRstf}, Row{ResetCause::Pin, csr::kPinRstf},
          Row{ResetCause::PowerOn, csr::kPorRstf | csr::kBorRstf | csr::kPinRstf}}) {
        chip().rcc.write(0x74, csr::kRmvf, 4);
        EXPECT_EQ(csr() & csr::kResetFlags, 0U);
        chip().reset(row.cause);
        EXPECT_EQ(csr() & csr::kResetFlags, row.flags) << to_string(row.cause);
    }
    // A power-on clears what earlier resets left; a system reset keeps it.
    chip().reset(ResetCause::Watchdog);
    chip().reset(ResetCause::Software);
    EXPECT_EQ(csr() & csr::kResetFlags, csr::kIwdgRstf | csr::kSftRstf | csr::kPinRstf | csr::kPorRstf | csr::kBorRstf);
    chip().reset(ResetCause::PowerOn);
    EXPECT_EQ(csr() & csr::kResetFlags, csr::kPorRstf | csr::kBorRstf | csr::kPinRstf);
}

// SYSRESETREQ written from the firmware's own code path (a register access inside the run): the reset
// is performed at once, the rest of that code never runs.
TEST_F(HostNodeResetTest, SysResetReqFromTheCoreIsASoftwareReset)
{
    at(sim::milliseconds(300), [this] { chip().scb.write(0x0C, 0x05FA0004U, 4); });
    node_->run(sim::seconds(1));
    ASSERT_EQ(resets().size(), 1U);
    EXPECT_EQ(resets()[0].second, "software");
    EXPECT_EQ(sent("USART2"), "Hola\r\nreset: power-on\r\nHola\r\nreset: software\r\n");
    // Without the key the write is ignored.
    chip().scb.write(0x0C, 0x00000004U, 4);
    EXPECT_FALSE(chip().reset_pending());
}

// The supply gone for two seconds: nothing is sent, the pins float, and the node starts afresh once it
// is back; a reset asked for meanwhile (a press of the button) changes nothing.
TEST_F(HostNodeResetTest, PowerOffHoldsTheChipUntilPowerComesBack)
{
    at(sim::seconds(1), [this] { chip().power_off(); });
    at(sim::milliseconds(2000), [this] { chip().request_reset(ResetCause::Pin); });
    at(sim::seconds(3), [this] { chip().power_on(); });
    node_->run(sim::seconds(4));
    ASSERT_EQ(resets().size(), 1U);
    EXPECT_EQ(resets()[0].second, "power-on");
    EXPECT_EQ(sent("USART2", sim::seconds(1)), "Hola\r\nreset: power-on\r\n");
    std::string while_off;
    for (const auto& e : recorder_.events)
        if (std::holds_alternative<sim::trace::Tx>(e.what) && e.t > sim::seconds(1) && e.t < sim::seconds(3))
            while_off += "x";
    EXPECT_EQ(while_off, "");
}

// A brown-out holds the chip for its length: the greeting comes that long after the dip began.
TEST_F(HostNodeResetTest, ABrownOutHoldsTheResetForItsLength)
{
    at(sim::seconds(1), [this] { chip().request_reset(ResetCause::BrownOut, sim::milliseconds(250)); });
    node_->run(sim::seconds(2));
    ASSERT_EQ(resets().size(), 1U);
    sim::Picos second_greeting = 0;
    for (const auto& e : recorder_.events)
        if (const auto* tx = std::get_if<sim::trace::Tx>(&e.what);
            tx && tx->port == "USART2" && e.t > sim::seconds(1)) {
            second_greeting = e.t;
            break;
        }
    EXPECT_GT(second_greeting, sim::milliseconds(1250));
    EXPECT_LT(second_greeting, sim::milliseconds(1300));
}

}  // namespace
