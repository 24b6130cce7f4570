// The thermometer read-out: the pure helpers (CRC-8, conversion of the two temperature bytes) and
// complete measurements against the DS18B20 model at 100 MHz, good and faulty, with the slot timings
// the firmware really produces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ds18b20.h"
#include "ds18b20_model.h"
#include "onewire_bench.h"

namespace {

using Model = sim::Ds18b20Model;
using sim::Picos;

TEST(Ds18b20Helpers, Crc8KnownVectors)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ds18b20_crc8(check, sizeof check), 0xA1);
    const uint8_t rom[] = {0x48, 0xA8, 0xDC, 0xF2, 0xB7, 0x01, 0x30};
    EXPECT_EQ(ds18b20_crc8(rom, sizeof rom), 0x7E);
    uint8_t pad[9] = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0};
    pad[8] = ds18b20_crc8(pad, 8);
    EXPECT_EQ(ds18b20_crc8(pad, 9), 0);
    EXPECT_EQ(ds18b20_crc8(pad, 0), 0);
}

TEST(Ds18b20Helpers, TemperatureBytesAreSignedSixteenths)
{
    struct Case {
        uint8_t lsb, msb;
        float celsius;
    };
    const Case cases[] = {{0x91, 0x01, 25.0625f}, {0x5E, 0xFF, -10.125f}, {0x50, 0x05, 85.0f},
                          {0xD0, 0x07, 125.0f},   {0xFF, 0xFF, -0.0625f}, {0x90, 0xFC, -55.0f},
                          {0x00, 0x00, 0.0f},     {0x08, 0x00, 0.5f},     {0xF8, 0xFF, -0.5f}};
    for (const Case& c : cases) EXPECT_EQ(ds18b20_celsius(c.lsb, c.msb), c.celsius) << int(c.lsb) << " " << int(c.msb);
}

class ThermometerTest : public test::OneWireBench {
protected:
    std::vector<std::string> violations() const
    {
        std::vector<std::string> what;
        for (const auto& v : sensor.violations())
            what.push_back(v.what + " (" + std::to_string(sim::to_micros(v.measured)) + " us)");
        return what;
    }

    Model sensor{bus};
};

TEST_F(ThermometerTest, MeasuresTheSensorsTemperature)
{
    for (double celsius : {25.0625, -10.125, 21.53, 125.0, -55.0}) {
        sensor.set_temperature(celsius);
        float measured = DS18b20_temp();
        EXPECT_EQ(measured, static_cast<float>(std::lround(celsius * 16) / 16.0)) << celsius;
    }
    EXPECT_EQ(violations(), std::vector<std::string>{});
}

TEST_F(ThermometerTest, FollowsTheMeasurementSequence)
{
    sensor.set_temperature(19.0);
    Picos start = chip.now();
    DS18b20_temp();
    Picos took = chip.now() - start;
    // Two resets, four bytes written, nine read, 800 ms (and one tick) of conversion wait.
    EXPECT_GT(took, sim::milliseconds(808));
    EXPECT_LT(took, sim::milliseconds(811));

    using Kind = Model::Transaction::Kind;
    std::vector<std::pair<Kind, int>> seen;
    for (const auto& t : sensor.transactions())
        seen.emplace_back(t.kind, t.kind == Kind::Written || t.kind == Kind::Read ? t.byte : -1);
    std::vector<std::pair<Kind, int>> expected = {
        {Kind::Reset, -1},     {Kind::Presence, -1},       {Kind::Written, 0xCC},
        {Kind::Written, 0x44}, {Kind::ConversionDone, -1}, {Kind::Reset, -1},
        {Kind::Presence, -1},  {Kind::Written, 0xCC},      {Kind::Written, 0xBE}};
    for (uint8_t byte : sensor.scratchpad().bytes()) expected.emplace_back(Kind::Read, byte);
    EXPECT_EQ(seen, expected);
    // The conversion (750 ms at the power-on 12 bits) is over before the second reset.
    EXPECT_LT(sensor.transactions()[4].at, sensor.transactions()[5].at);
}

TEST_F(ThermometerTest, UntrustworthyReadingsAreNotANumber)
{
    sensor.set_temperature(20.0);
    for (Model::Fault fault : {Model::Fault::Absent, Model::Fault::HeldLow, Model::Fault::Corrupt}) {
        sensor.set_fault(fault);
        EXPECT_TRUE(std::isnan(DS18b20_temp())) << static_cast<int>(fault);
    }
    // A flipped bit anywhere in the nine bytes is caught, including in the CRC itself.
    for (int bit : {0, 15, 36, 71}) {
        sensor.set_corrupt_bits({bit});
        EXPECT_TRUE(std::isnan(DS18b20_temp())) << bit;
    }
    sensor.set_fault(Model::Fault::None);
    EXPECT_EQ(DS18b20_temp(), 20.0f);
}

// The slot timings the firmware produces under the simulator's cost model, judged by the sensor.
TEST_F(ThermometerTest, SlotTimingsSitInsideTheSensorsWindows)
{
    sensor.set_temperature(23.0);
    DS18b20_temp();
    ASSERT_EQ(violations(), std::vector<std::string>{});

    struct Span {
        Picos min = sim::kNever, max = 0;
        void add(Picos v)
        {
            min = std::min(min, v);
            max = std::max(max, v);
        }
    };
    using Kind = Model::Slot::Kind;
    Span reset_low, presence_sample, low[3], slot[3], read_sample;
    for (const auto& s : sensor.slots()) {
        if (s.kind == Kind::Reset) {
            reset_low.add(s.low);
            presence_sample.add(s.sample);
            continue;
        }
        int k = s.kind == Kind::Write0 ? 0 : s.kind == Kind::Write1 ? 1 : 2;
        low[k].add(s.low);
        if (s.length && s.length < sim::microseconds(200)) slot[k].add(s.length);  // not the gaps between bytes' uses
        if (s.kind == Kind::Read) read_sample.add(s.sample);
    }
    auto us = [](Picos p) { return sim::to_micros(p); };
    std::printf("reset low        %8.3f .. %8.3f us\n", us(reset_low.min), us(reset_low.max));
    std::printf("presence sample  %8.3f .. %8.3f us after release\n", us(presence_sample.min), us(presence_sample.max));
    const char* names[3] = {"write 0", "write 1", "read"};
    for (int k = 0; k < 3; ++k)
        std::printf("%-8s low %8.3f .. %8.3f us, slot %8.3f .. %8.3f us\n", names[k], us(low[k].min), us(low[k].max),
                    us(slot[k].min), us(slot[k].max));
    std::printf("read sample      %8.3f .. %8.3f us after the falling edge\n", us(read_sample.min),
                us(read_sample.max));

    // The requested figures plus the register accesses around them, and no more than the accelerated
    // poll's overshoot (its stride's share of the wait) on top.
    auto at_most = [](double requested_us) {
        constexpr double kOvershoot = 1.0 + 1.0 / sim::Chip::kCounterStrideDivisor;
        return static_cast<Picos>(requested_us * kOvershoot * sim::kPicosPerMicro) + sim::microseconds(1);
    };
    EXPECT_GE(reset_low.min, sim::microseconds(480));
    EXPECT_LE(reset_low.max, at_most(480));
    EXPECT_GE(presence_sample.min, sim::microseconds(70));
    EXPECT_LE(presence_sample.max, at_most(70));
    EXPECT_GE(low[0].min, sim::microseconds(60));
    EXPECT_LE(low[0].max, at_most(60));
    EXPECT_GE(low[1].min, sim::microseconds(8));
    EXPECT_LE(low[1].max, at_most(8));
    EXPECT_GE(low[2].min, sim::microseconds(1));
    EXPECT_LE(low[2].max, at_most(1));
    EXPECT_LE(read_sample.max, at_most(1) + at_most(3));
    for (int k = 0; k < 3; ++k) EXPECT_GE(slot[k].min, sim::microseconds(61)) << names[k];
}

}  // namespace
