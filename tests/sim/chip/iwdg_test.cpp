// The independent watchdog on a bare chip: its timeout from PR, RLR and the LSI's frequency, the keys
// that guard its registers, the update flags while a write crosses into the LSI's domain, and the freeze
// while a debugger halts the core.
#include <gtest/gtest.h>

#include "chip.h"

namespace {

using namespace sim;
using namespace iwdg_reg;

class IwdgTest : public ::testing::Test {
protected:
    explicit IwdgTest(uint32_t lsi_hz = Iwdg::kLsiTypicalHz) : chip_(ChipConfig{.lsi_hz = lsi_hz})
    {
        chip_.log().keep(true);
        chip_.on_reset([this](ResetCause cause, Picos at) {
            ++resets_;
            last_cause_ = cause;
            reset_at_ = at;
        });
    }
    void key(uint32_t k) { chip_.iwdg.write(kKr, k, 4); }
    void configure(uint32_t pr, uint32_t rlr)
    {
        key(kKeyUnlock);
        chip_.iwdg.write(kPr, pr, 4);
        chip_.iwdg.write(kRlr, rlr, 4);
    }
    uint32_t sr() { return chip_.iwdg.read(kSr, 4); }
    // Time passes as in a NOP loop; a reset the watchdog asks for is performed at once.
    void run_to(Picos t)
    {
        while (chip_.now() < t) {
            try {
                chip_.run_until(std::min(t, chip_.scheduler().next_time()));
            } catch (const ResetSignal&) {
                chip_.perform_reset();
            }
        }
    }

    Chip chip_;
    int resets_ = 0;
    ResetCause last_cause_ = ResetCause::PowerOn;
    Picos reset_at_ = 0;
};

// Started with PR 4 (/64) and RLR 999: (999 + 1) x 64 / 32 kHz = 2 s. A reload before then postpones it;
// without one the chip resets with IWDGRSTF, and the reset stops the watchdog.
TEST_F(IwdgTest, StartedItResetsTheChipUnlessReloadedInTime)
{
    key(kKeyStart);
    configure(4, 999);
    run_to(milliseconds(10));
    EXPECT_EQ(sr(), 0U);
    key(kKeyReload);
    EXPECT_EQ(chip_.iwdg.timeout(), seconds(2));
    run_to(milliseconds(1900));
    key(kKeyReload);
    run_to(milliseconds(3800));
    EXPECT_EQ(resets_, 0);
    run_to(milliseconds(4000));
    EXPECT_EQ(resets_, 1);
    EXPECT_EQ(last_cause_, ResetCause::Watchdog);
    EXPECT_EQ(reset_at_, milliseconds(1900) + seconds(2));
    EXPECT_TRUE(chip_.rcc.read(0x74, 4) & rcc_csr::kIwdgRstf);
    EXPECT_FALSE(chip_.iwdg.started());
    run_to(seconds(30));
    EXPECT_EQ(resets_, 1);
}

TEST_F(IwdgTest, AtResetItTimesOutAfterItsLongestReloadAtTheShortestPrescaler)
{
    key(kKeyStart);
    EXPECT_EQ(chip_.iwdg.timeout(), microseconds(512'000));  // 4096 x 4 / 32 kHz
    run_to(seconds(1));
    EXPECT_EQ(reset_at_, microseconds(512'000));
}

// PR and RLR change only after the key 0x5555; any other key locks them again. The new value shows in
// SR (PVU, RVU) for five LSI periods, and a reload in that window still takes the old RLR.
TEST_F(IwdgTest, WritesNeedTheKeyAndTakeFiveLsiPeriodsToCross)
{
    key(kKeyStart);
    chip_.iwdg.write(kRlr, 10, 4);
    EXPECT_EQ(chip_.iwdg.read(kRlr, 4), kRlrReset);
    ASSERT_FALSE(chip_.log().kept().empty());
    configure(0, 10);
    EXPECT_EQ(sr(), kPvu | kRvu);
    key(kKeyReload);
    EXPECT_EQ(chip_.iwdg.expires_at(), microseconds(512'000));  // the old RLR
    key(0x1234);
    chip_.iwdg.write(kRlr, 20, 4);
    EXPECT_EQ(chip_.iwdg.read(kRlr, 4), 10U);
    run_to(nanoseconds(156'250) - 1);
    EXPECT_EQ(sr(), kPvu | kRvu);
    run_to(nanoseconds(156'250));
    EXPECT_EQ(sr(), 0U);
    key(kKeyReload);
    EXPECT_EQ(chip_.iwdg.expires_at(), nanoseconds(156'250) + microseconds(11 * 125));
}

// Not started and the LSI off: the update never crosses, the flag stays up (a set-up that waits on it
// before starting the watchdog waits for ever); RCC's LSION or the start lets it through.
TEST_F(IwdgTest, WithTheLsiStoppedAnUpdateWaits)
{
    configure(3, 100);
    run_to(seconds(1));
    EXPECT_EQ(sr(), kPvu | kRvu);
    key(kKeyStart);
    run_to(seconds(1) + nanoseconds(156'250));
    EXPECT_EQ(sr(), 0U);
}

// A debugger holds the core halted for a minute: with DBG_IWDG_STOP set the counter stands still and
// resumes where it stopped; without it the watchdog fires during the halt.
TEST_F(IwdgTest, FrozenWhileADebuggerHaltsTheCoreWithTheFreezeBit)
{
    key(kKeyStart);
    chip_.dbgmcu.write(DbgMcu::kApb1Fz, DbgMcu::kDbgIwdgStop, 4);
    run_to(milliseconds(100));
    chip_.set_debug_halt(true);
    run_to(seconds(60) + milliseconds(100));
    EXPECT_EQ(resets_, 0);
    chip_.set_debug_halt(false);
    EXPECT_EQ(chip_.iwdg.expires_at(), seconds(60) + microseconds(512'000));
    // A system reset keeps DBGMCU's bits (a power-on clears them): halted again, it still stands still.
    key(kKeyReload);
    chip_.reset(ResetCause::Pin);
    EXPECT_TRUE(chip_.dbgmcu.iwdg_stop());
    key(kKeyStart);
    chip_.dbgmcu.write(DbgMcu::kApb1Fz, 0, 4);
    chip_.set_debug_halt(true);
    run_to(seconds(62));
    EXPECT_EQ(resets_, 2);  // the pin reset above and the watchdog's during the halt
    EXPECT_EQ(last_cause_, ResetCause::Watchdog);
    chip_.reset(ResetCause::PowerOn);
    EXPECT_EQ(chip_.dbgmcu.read(DbgMcu::kApb1Fz, 4), 0U);
}

class IwdgAtTheLsiExtremes : public IwdgTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    IwdgAtTheLsiExtremes() : IwdgTest(GetParam()) {}
};

// The same setting times out 0.68 to 1.9 times as fast as at 32 kHz.
TEST_P(IwdgAtTheLsiExtremes, TheTimeoutFollowsTheLsi)
{
    key(kKeyStart);
    configure(6, 0xFFF);
    run_to(milliseconds(1));
    key(kKeyReload);
    EXPECT_EQ(chip_.iwdg.timeout(), 4096U * 256U * (kPicosPerSecond / GetParam()));
}
INSTANTIATE_TEST_SUITE_P(Lsi, IwdgAtTheLsiExtremes, ::testing::Values(17'000U, 32'000U, 47'000U));

TEST(Iwdg, AnLsiOutsideItsRangeIsRefused)
{
    EXPECT_THROW(Chip(ChipConfig{.lsi_hz = 16'999}), std::invalid_argument);
    EXPECT_THROW(Chip(ChipConfig{.lsi_hz = 47'001}), std::invalid_argument);
}

}  // namespace
