// The 1-Wire master against the line on B13: slot order and kind as a DS18B20 sees them, reading a
// byte from a device that answers 0 in chosen slots, and when the presence sample is taken.
#include <gtest/gtest.h>

#include <vector>

#include "ds18b20_model.h"
#include "onewire.h"
#include "onewire_bench.h"

namespace {

using sim::Drive;
using sim::microseconds;
using sim::Picos;

// A device that pulls the line low over a window after the master's reset pulse, and answers 0 (held
// 30 us from the falling edge) in the read slots whose numbers are set in `zero_slots`.
class ScriptedDevice final : public sim::OneWireDevice {
public:
    explicit ScriptedDevice(sim::OneWireBus& bus) : bus_(bus) { bus_.connect(*this); }

    Picos presence_from = microseconds(30);
    Picos presence_until = microseconds(150);
    uint32_t zero_slots = 0;

    Drive drive(Picos now) const override { return now >= from_ && now < until_ ? Drive::Low : Drive::None; }
    void master_changed(bool low, Picos now) override
    {
        if (low) {
            fall_ = now;
            if ((zero_slots >> slot_) & 1U) hold(now, now + microseconds(30));
            ++slot_;
        } else if (now - fall_ >= microseconds(480)) {
            slot_ = 0;
            hold(now + presence_from, now + presence_until);
        }
    }

private:
    void hold(Picos from, Picos until)
    {
        from_ = from;
        until_ = until;
        bus_.device_edge_at(from);
        bus_.device_edge_at(until);
    }
    sim::OneWireBus& bus_;
    Picos fall_ = 0, from_ = 0, until_ = 0;
    uint32_t slot_ = 0;
};

class OneWireTest : public test::OneWireBench {};

TEST_F(OneWireTest, WriteSendsLeastSignificantBitFirst)
{
    sim::Ds18b20Model sensor(bus);
    ASSERT_EQ(onewire_reset(), 1U);
    onewire_Write(0xCC);
    std::vector<int> bits;
    Picos last = 0;
    for (const auto& slot : sensor.slots()) {
        if (slot.kind == sim::Ds18b20Model::Slot::Kind::Reset) continue;
        EXPECT_GT(slot.fall, last);
        last = slot.fall;
        bits.push_back(slot.bit);
    }
    EXPECT_EQ(bits, (std::vector<int>{0, 0, 1, 1, 0, 0, 1, 1}));
    ASSERT_EQ(sensor.transactions().size(), 3U);
    EXPECT_EQ(sensor.transactions()[2].byte, 0xCC);
    EXPECT_TRUE(sensor.violations().empty());
}

TEST_F(OneWireTest, ReadAssemblesLeastSignificantBitFirst)
{
    ScriptedDevice device(bus);
    device.zero_slots = (1U << 0) | (1U << 4);
    EXPECT_EQ(onewire_Read(), 0xEE);
    device.zero_slots = 0xFFU << 8;  // the next byte: every slot answered 0
    EXPECT_EQ(onewire_Read(), 0x00);
    EXPECT_EQ(onewire_Read(), 0xFF);  // nobody answers: the pull-up reads 1
}

TEST_F(OneWireTest, PresenceIsTheLineLevelSeventyMicrosecondsAfterRelease)
{
    struct Case {
        Picos from, until;
        uint8_t expected;
    };
    // From the master's release. A part starts its pulse 15-60 us after it sees the line high and holds
    // it 60-240 us; it sees the release late by the line's rise through the pull-up (0.5 us at 100 pF,
    // 5 us at 1 nF of cable).
    const Case cases[] = {
        {microseconds(15), microseconds(75), 1},   // the earliest, shortest pulse a part may give
        {microseconds(61), microseconds(121), 1},  // the latest, shortest, seen 1 us late (a short line)
        {microseconds(65), microseconds(125), 1},  // the same through 5 us of rise (a long cable)
        {microseconds(69), microseconds(76), 1},   // low only around the sample (70-74.4 us: the poll overshoots)
        {microseconds(40), microseconds(500), 1},  // far longer than a part's 240 us, yet over in the window
        {microseconds(40), microseconds(900), 0},  // still low at the window's end: a line held low, no presence
        {microseconds(15), microseconds(69), 0},   // over before the sample
        {microseconds(76), microseconds(200), 0},  // not yet begun
        {0, 0, 0},                                 // no device answers
    };
    ScriptedDevice device(bus);
    for (const Case& c : cases) {
        device.presence_from = c.from;
        device.presence_until = c.until;
        EXPECT_EQ(onewire_reset(), c.expected) << sim::to_micros(c.from) << "-" << sim::to_micros(c.until) << " us";
    }
}

}  // namespace
