// The DS18B20 model driven directly, as a master on the line would drive it, with times chosen by the
// test: its protocol, its answers on the line, the timings it rejects and its faults.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "dallas_crc8.h"
#include "ds18b20_model.h"
#include "ideal_onewire_master.h"

namespace {

using sim::Drive;
using sim::microseconds;
using sim::milliseconds;
using sim::Picos;
using Model = sim::Ds18b20Model;

// The thermometer on a line of its own, with a master of ideal timing.
class Wire : public test::OneWireLine, public test::IdealOneWireMaster {
public:
    Wire() : IdealOneWireMaster(bus), device(bus) {}

    std::array<uint8_t, 9> read_scratchpad()
    {
        reset();
        write(0xCC);
        write(0xBE);
        std::array<uint8_t, 9> bytes{};
        for (auto& b : bytes) b = read();
        return bytes;
    }
    void convert(double celsius)
    {
        device.set_temperature(celsius);
        reset();
        write(0xCC);
        write(0x44);
        t += milliseconds(800);
    }
    std::vector<std::string> violations() const
    {
        std::vector<std::string> what;
        for (const auto& v : device.violations()) what.push_back(v.what);
        return what;
    }

    Model device;
};

bool crc_ok(const std::array<uint8_t, 9>& bytes)
{
    return sim::dallas_crc8(bytes) == 0;
}

TEST(DallasCrc8, KnownVectors)
{
    const std::string check = "123456789";
    EXPECT_EQ(sim::dallas_crc8(std::span(reinterpret_cast<const uint8_t*>(check.data()), check.size())), 0xA1);
    const std::array<uint8_t, 7> rom{0x48, 0xA8, 0xDC, 0xF2, 0xB7, 0x01, 0x30};
    EXPECT_EQ(sim::dallas_crc8(rom), 0x7E);
    EXPECT_EQ(sim::dallas_crc8(std::array<uint8_t, 8>{}), 0);
}

TEST(Ds18b20Model, PowerOnScratchpadAndCleanTiming)
{
    Wire w;
    auto pad = w.read_scratchpad();
    EXPECT_EQ(pad, (std::array<uint8_t, 9>{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, pad[8]}));
    EXPECT_TRUE(crc_ok(pad));
    EXPECT_TRUE(w.violations().empty());

    // The record as the device saw it: reset, presence, the two commands, nine bytes read.
    const auto& tr = w.device.transactions();
    ASSERT_EQ(tr.size(), 13U);
    EXPECT_EQ(tr[0].kind, Model::Transaction::Kind::Reset);
    EXPECT_EQ(tr[0].duration, microseconds(480));
    EXPECT_EQ(tr[1].kind, Model::Transaction::Kind::Presence);
    EXPECT_EQ(tr[1].at, tr[0].at + microseconds(480) + Model::kPresenceWait);
    EXPECT_EQ(tr[2].kind, Model::Transaction::Kind::Written);
    EXPECT_EQ(tr[2].byte, 0xCC);
    EXPECT_EQ(tr[3].byte, 0xBE);
    EXPECT_EQ(tr[4].kind, Model::Transaction::Kind::Read);
    EXPECT_EQ(tr[4].byte, 0x50);
    EXPECT_EQ(tr[12].byte, pad[8]);
    EXPECT_LT(tr[2].at, tr[3].at);
}

TEST(Ds18b20Model, ConversionIsBusyThenLatchesTheRoundedTemperature)
{
    Wire w;
    w.device.set_temperature(25.03);  // 400.48 sixteenths: 25.0 C at 12 bits
    w.reset();
    w.write(0xCC);
    w.write(0x44);
    Picos started = w.t;
    EXPECT_EQ(w.read_bit(), 0);
    EXPECT_TRUE(w.device.converting(w.t));
    w.t = started + milliseconds(749);
    EXPECT_EQ(w.read_bit(), 0);
    w.t = started + milliseconds(751);
    EXPECT_EQ(w.read_bit(), 1);
    auto pad = w.read_scratchpad();
    EXPECT_EQ(pad[0], 0x90);
    EXPECT_EQ(pad[1], 0x01);
    EXPECT_TRUE(crc_ok(pad));

    w.convert(-10.125);
    pad = w.read_scratchpad();
    EXPECT_EQ(pad[0], 0x5E);
    EXPECT_EQ(pad[1], 0xFF);
    w.convert(300.0);  // beyond the part's range: clamped to +125 C
    pad = w.read_scratchpad();
    EXPECT_EQ(pad[0], 0xD0);
    EXPECT_EQ(pad[1], 0x07);
    EXPECT_TRUE(w.violations().empty());
}

TEST(Ds18b20Model, ProfileIsSampledAtTheEndOfTheConversion)
{
    Wire w;
    w.device.set_profile([](Picos at) { return at < sim::seconds(1) ? 10.0 : 30.0; });
    w.t = milliseconds(500);
    w.reset();
    w.write(0xCC);
    w.write(0x44);  // started at about 0.5 s, so it ends past the step at 1 s
    w.t += milliseconds(800);
    auto pad = w.read_scratchpad();
    EXPECT_EQ(pad[0] | (pad[1] << 8), 30 * 16);
    const auto& done = w.device.transactions()[4];
    EXPECT_EQ(done.kind, Model::Transaction::Kind::ConversionDone);
    EXPECT_DOUBLE_EQ(done.celsius, 30.0);
}

TEST(Ds18b20Model, WriteScratchpadSetsResolutionAndConversionTime)
{
    Wire w;
    w.reset();
    w.write(0xCC);
    w.write(0x4E);
    w.write(0x11);  // TH
    w.write(0x22);  // TL
    w.write(0x00);  // 9 bits (the fixed ones read back as 1)
    w.device.set_temperature(21.3);
    w.reset();
    w.write(0xCC);
    w.write(0x44);
    Picos started = w.t;
    w.t = started + microseconds(93'000);
    EXPECT_EQ(w.read_bit(), 0);
    w.t = started + microseconds(94'000);
    EXPECT_EQ(w.read_bit(), 1);
    auto pad = w.read_scratchpad();
    EXPECT_EQ(pad[2], 0x11);
    EXPECT_EQ(pad[3], 0x22);
    EXPECT_EQ(pad[4], 0x1F);
    EXPECT_EQ(pad[0] | (pad[1] << 8), 21 * 16 + 8);  // 21.5: half degrees at 9 bits
    EXPECT_TRUE(crc_ok(pad));
    EXPECT_EQ(Model::conversion_time(0x7F), milliseconds(750));
    EXPECT_EQ(Model::conversion_time(0x5F), sim::nanoseconds(375'000'000));
}

TEST(Ds18b20Model, RomCommands)
{
    Wire w;
    w.reset();
    w.write(0x33);
    std::array<uint8_t, 9> rom{};
    for (int i = 0; i < 8; ++i) rom[i] = w.read();
    EXPECT_EQ(rom[0], 0x28);
    EXPECT_EQ(sim::dallas_crc8(std::span(rom.data(), 7)), rom[7]);
    EXPECT_EQ(rom[1], 0x71);  // serial number, least significant byte first

    // Match ROM with its own code addresses it; with another code it stays silent until the next reset.
    w.reset();
    w.write(0x55);
    for (int i = 0; i < 8; ++i) w.write(rom[i]);
    w.write(0xBE);
    EXPECT_EQ(w.read(), 0x50);
    w.reset();
    w.write(0x55);
    for (int i = 0; i < 8; ++i) w.write(static_cast<uint8_t>(rom[i] ^ (i == 3 ? 1 : 0)));
    w.write(0xBE);
    EXPECT_EQ(w.read(), 0xFF);
    EXPECT_TRUE(w.violations().empty());
}

TEST(Ds18b20Model, UnknownCommandsAreRecordedAndSilenceThePartUntilTheNextReset)
{
    Wire w;
    w.reset();
    w.write(0xF0);  // Search ROM: not modelled
    w.write(0xBE);
    EXPECT_EQ(w.read(), 0xFF);
    w.reset();
    w.write(0xCC);
    w.write(0x12);  // no such function command
    w.write(0xBE);
    EXPECT_EQ(w.read(), 0xFF);
    std::vector<uint8_t> unsupported;
    for (const auto& t : w.device.transactions())
        if (t.kind == Model::Transaction::Kind::Unsupported) unsupported.push_back(t.byte);
    EXPECT_EQ(unsupported, (std::vector<uint8_t>{0xF0, 0x12}));

    // Read Power Supply: an externally powered part lets every read slot go to the pull-up.
    w.reset();
    w.write(0xCC);
    w.write(0xB4);
    EXPECT_EQ(w.read(), 0xFF);
    // Only R1 R0 of the configuration take a write; bit 7 reads 0 and bits 4-0 read 1 whatever is written.
    w.reset();
    w.write(0xCC);
    w.write(0x4E);
    w.write(0x01);
    w.write(0x02);
    w.write(0xBF);  // R1 0, R0 1: 10 bits
    EXPECT_EQ(w.device.scratchpad().config, 0x3F);
    EXPECT_EQ(Model::conversion_time(w.device.scratchpad().config), sim::nanoseconds(187'500'000));
    auto pad = w.read_scratchpad();
    EXPECT_EQ(pad[4], 0x3F);
    EXPECT_TRUE(crc_ok(pad));
    EXPECT_TRUE(w.violations().empty());
}

TEST(Ds18b20Model, ResetAbortsARead)
{
    Wire w;
    w.reset();
    w.write(0xCC);
    w.write(0xBE);
    EXPECT_EQ(w.read(), 0x50);
    EXPECT_EQ(w.read(), 0x05);
    auto pad = w.read_scratchpad();  // starts again from byte 0
    EXPECT_EQ(pad[0], 0x50);
    EXPECT_TRUE(crc_ok(pad));
    // Past the ninth byte the device no longer drives: the pull-up gives 1s.
    EXPECT_EQ(w.read(), 0xFF);
}

TEST(Ds18b20Model, DrivesPresenceAndReadZeroOnlyInTheirWindows)
{
    Wire w;
    int notified = 0;
    w.bus.set_line_notifier([&] { ++notified; });
    w.low(microseconds(480));
    Picos release = w.t;
    w.release(0);
    EXPECT_EQ(w.bus.drive(release + microseconds(29)), Drive::None);
    EXPECT_EQ(w.bus.drive(release + microseconds(30)), Drive::Low);
    EXPECT_EQ(w.bus.drive(release + microseconds(149)), Drive::Low);
    EXPECT_EQ(w.bus.drive(release + microseconds(150)), Drive::None);
    // Both edges of the presence pulse are scheduled, so the port re-resolves the line at those times.
    std::vector<Picos> due;
    while (w.scheduler.next_time() != sim::kNever) {
        due.push_back(w.scheduler.next_time());
        w.scheduler.run_due(w.scheduler.next_time());
    }
    EXPECT_EQ(due, (std::vector<Picos>{release + microseconds(30), release + microseconds(150)}));
    EXPECT_EQ(notified, 2);

    w.t = release + microseconds(500);
    w.write(0xCC);
    w.write(0xBE);  // the first bit sent is bit 0 of 0x50: a 0
    Picos fall = w.t;
    w.low(microseconds(2));
    w.release(0);
    EXPECT_EQ(w.bus.drive(fall + microseconds(14)), Drive::Low);
    EXPECT_EQ(w.bus.drive(fall + Model::kReadZeroHold), Drive::None);
}

TEST(Ds18b20Model, RecordsMasterTimingsOutsideTheWindows)
{
    struct Case {
        const char* name;
        void (*run)(Wire&);
        const char* expected;
    };
    const Case cases[] = {
        {"write released at 30 us",
         [](Wire& w) {
             w.low(microseconds(30));
             w.release(microseconds(40));
         },
         "write slot: released 15-60 us after the falling edge, inside the sampling window"},
        {"write 0 held 200 us",
         [](Wire& w) {
             w.low(microseconds(200));
             w.release(microseconds(10));
         },
         "write 0: low longer than 120 us"},
        {"slot of 40 us",
         [](Wire& w) {
             w.low(microseconds(5));
             w.release(microseconds(35));
             w.write_bit(1);
         },
         "time slot shorter than 60 us"},
        {"no recovery",
         [](Wire& w) {
             w.low(microseconds(64));
             w.release(microseconds(0));
             w.write_bit(1);
         },
         "recovery between slots shorter than 1 us"},
        {"first slot too early",
         [](Wire& w) {
             w.t -= microseconds(300);
             w.write_bit(1);
         },
         "first slot less than 480 us after the reset pulse (presence window)"},
    };
    for (const Case& c : cases) {
        Wire w;
        w.reset();
        c.run(w);
        EXPECT_EQ(w.violations(), std::vector<std::string>{c.expected}) << c.name;
    }

    // Read slots: a late sample, a long master low, a short master low.
    Wire w;
    w.reset();
    w.write(0xCC);
    w.write(0xBE);
    w.low(microseconds(2));
    w.release(microseconds(18));
    EXPECT_EQ(w.sample(), 0);  // still the device's 0 (held to 30 us), but only 15 us are guaranteed
    w.t += microseconds(50);
    w.low(microseconds(20));
    w.release(microseconds(50));
    w.low(sim::nanoseconds(500));
    w.release(microseconds(70));
    EXPECT_EQ(w.violations(), (std::vector<std::string>{
                                  "read slot: sampled later than 15 us after the falling edge",
                                  "read slot: master held the line low past the 15 us of valid data",
                                  "read slot: master low shorter than 1 us",
                              }));
    EXPECT_EQ(w.device.violations()[0].measured, microseconds(20));

    Wire late;
    late.reset(microseconds(100));  // presence is guaranteed only 60-75 us after the release
    ASSERT_EQ(late.violations().size(), 1U);
    EXPECT_EQ(late.device.violations()[0].measured, microseconds(100));
}

TEST(Ds18b20Model, Faults)
{
    Wire absent;
    absent.device.set_fault(Model::Fault::Absent);
    EXPECT_FALSE(absent.reset());
    auto pad = absent.read_scratchpad();
    EXPECT_EQ(pad, (std::array<uint8_t, 9>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(absent.device.transactions().empty());

    Wire held;
    held.device.set_fault(Model::Fault::HeldLow);
    EXPECT_TRUE(held.reset());  // a shorted line looks like a presence pulse
    pad = held.read_scratchpad();
    EXPECT_EQ(pad, (std::array<uint8_t, 9>{}));
    EXPECT_TRUE(crc_ok(pad));  // which is why the CRC alone cannot reject it

    Wire corrupt;
    corrupt.device.set_fault(Model::Fault::Corrupt);
    pad = corrupt.read_scratchpad();
    EXPECT_EQ(pad[0], 0x58);  // bit 3 flipped
    EXPECT_EQ(pad[4], 0x7F);
    EXPECT_FALSE(crc_ok(pad));
    EXPECT_EQ(corrupt.device.scratchpad().bytes()[0], 0x50);  // the device's own copy is intact
}

}  // namespace
