// The 1-Wire slave's link layer under a scripted device: bytes assembled from write slots, bytes sent
// in read slots, what the slots carry once a transfer ends, status bits, a reset cutting a byte short,
// and the line faults.
#include <gtest/gtest.h>

#include <vector>

#include "ideal_onewire_master.h"
#include "onewire_slave.h"

namespace {

using sim::OneWireSlave;
using sim::Picos;

// Commands of the scripted device.
constexpr uint8_t kSendThenReceive = 0xA1;  // sends 0x5A 0x81, then receives again
constexpr uint8_t kSendThenIgnore = 0xA2;   // sends 0x3C, then ignores slots until a reset
constexpr uint8_t kStatus = 0xA3;           // read slots answer `status`

class ScriptedDevice final : public OneWireSlave {
public:
    explicit ScriptedDevice(sim::OneWireBus& bus) : OneWireSlave(bus) {}
    void fault(LineFault f) { set_line_fault(f); }

    std::vector<uint8_t> received;
    int resets = 0;
    int status = 0;

private:
    void on_reset_pulse() override { ++resets; }
    void on_byte(uint8_t byte, Picos) override
    {
        received.push_back(byte);
        if (byte == kSendThenReceive) send_bytes({0x5A, 0x81}, AfterSending::Receive);
        if (byte == kSendThenIgnore) send_bytes({0x3C}, AfterSending::Ignore);
        if (byte == kStatus) answer_status();
    }
    int status_bit(Picos) override { return status; }
};

class Line : public test::OneWireLine, public test::IdealOneWireMaster {
public:
    Line() : IdealOneWireMaster(bus), device(bus) {}
    ScriptedDevice device;
};

TEST(OneWireSlave, AssemblesBytesLeastSignificantBitFirstAndAResetDropsAPartialByte)
{
    Line line;
    line.write(0x01);  // before any reset: ignored
    EXPECT_TRUE(line.reset());
    line.write(0xA5);
    line.write(0x80);
    for (int bit : {1, 0, 1}) line.write_bit(bit);  // cut short by the reset
    EXPECT_TRUE(line.reset());
    line.write(0x3C);
    EXPECT_EQ(line.device.received, (std::vector<uint8_t>{0xA5, 0x80, 0x3C}));
    EXPECT_EQ(line.device.resets, 2);
    EXPECT_TRUE(line.device.violations().empty());
}

TEST(OneWireSlave, AfterSendingReceivesOrIgnoresAsTheDeviceAsked)
{
    Line line;
    line.reset();
    line.write(kSendThenReceive);
    EXPECT_EQ(line.read(), 0x5A);
    EXPECT_EQ(line.read(), 0x81);
    line.write(0x11);  // received again
    line.write(kSendThenIgnore);
    EXPECT_EQ(line.read(), 0x3C);
    EXPECT_EQ(line.read(), 0xFF);  // nothing more to send: the pull-up's ones
    line.write(0x22);              // ignored until the next reset
    EXPECT_EQ(line.device.received, (std::vector<uint8_t>{kSendThenReceive, 0x11, kSendThenIgnore}));

    // Only the bytes the slave sent are recorded as read, each from its first slot.
    std::vector<uint8_t> read;
    for (const auto& t : line.device.transactions())
        if (t.kind == OneWireSlave::Transaction::Kind::Read) read.push_back(t.byte);
    EXPECT_EQ(read, (std::vector<uint8_t>{0x5A, 0x81, 0x3C}));
}

TEST(OneWireSlave, StatusSlotsAnswerTheDevicesBitUntilTheNextReset)
{
    Line line;
    line.reset();
    line.write(kStatus);
    EXPECT_EQ(line.read_bit(), 0);
    line.device.status = 1;
    EXPECT_EQ(line.read_bit(), 1);
    line.device.status = 0;
    EXPECT_EQ(line.read_bit(), 0);
    line.reset();
    line.write(0x42);  // a reset ends the status slots: receiving again
    EXPECT_EQ(line.device.received.back(), 0x42);
}

TEST(OneWireSlave, LineFaultsAndRecovery)
{
    Line line;
    int notified = 0;
    line.bus.set_line_notifier([&] { ++notified; });

    line.device.fault(OneWireSlave::LineFault::Absent);
    EXPECT_FALSE(line.reset());
    line.write(0x42);
    EXPECT_EQ(notified, 0);  // absent changes nothing on the line by itself

    line.device.fault(OneWireSlave::LineFault::HeldLow);
    EXPECT_EQ(notified, 1);  // the short pulls the line at once
    EXPECT_TRUE(line.reset());
    EXPECT_EQ(line.read(), 0x00);
    line.device.fault(OneWireSlave::LineFault::None);
    EXPECT_EQ(notified, 2);  // and lifting it releases the line at once

    // Back on the line it answers from the next reset, as if it had just been connected.
    EXPECT_TRUE(line.reset());
    line.write(0x42);
    EXPECT_EQ(line.device.received, (std::vector<uint8_t>{0x42}));
    EXPECT_TRUE(line.device.violations().empty());
    EXPECT_TRUE(line.device.transactions().size() >= 3U);
}

}  // namespace
