// The flash's wait states behind the ART accelerator: what a fetch or a data read stalls for with the
// prefetch and the caches on or off (each row a run of accesses by line, each fetch with the cycles run
// in the line before, and the stall each must pay at LATENCY 3), the caches' least-recently-used replacement at their sizes, and
// FLASH_ACR as the firmware writes it (byte writes, the cache resets that work only while disabled).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash_accelerator.h"
#include "sim_fixture.h"

namespace {

using sim::FlashAccelerator;
namespace reg = sim::flash_reg;

struct Access {
    uint32_t line;
    uint32_t ran;  // cycles in the line before
    uint32_t stall;
    bool data = false;
};

struct Scenario {
    const char* name;
    FlashAccelerator::Settings settings;
    std::vector<Access> accesses;
};

constexpr uint32_t kWait = 3;
constexpr uint32_t kLong = FlashAccelerator::kLongAgo;

const Scenario kScenarios[] = {
    {"everything off: each new line pays its wait, the line in use is free",
     {.latency = 3},
     {{10, kLong, 3}, {10, 5, 0}, {11, 8, 3}, {10, 20, 3}, {10, 1, 0}}},
    {"prefetch: the next line is free once the one before has run LATENCY cycles, else the rest",
     {.latency = 3, .prefetch = true},
     {{10, kLong, 3}, {11, 3, 0}, {12, 1, 2}, {13, 0, 3}, {14, kLong, 0}}},
    {"prefetch: a branch elsewhere or back pays the wait (no cache)",
     {.latency = 3, .prefetch = true},
     {{10, kLong, 3}, {11, 10, 0}, {10, 20, 3}, {30, 40, 3}, {31, 50, 0}}},
    {"zero wait states: nothing to hide",
     {.latency = 0, .prefetch = false},
     {{10, kLong, 0}, {99, 1, 0}, {10, 2, 0}, {5, 3, 0, true}}},
    {"instruction cache: a loop over two lines pays only its first pass",
     {.latency = 3, .instruction_cache = true},
     {{10, kLong, 3}, {11, 10, 3}, {10, 20, 0}, {11, 1, 0}, {10, 40, 0}}},
    {"a line that came from the prefetch is not copied into the cache (it was no miss)",
     {.latency = 3, .prefetch = true, .instruction_cache = true},
     {{10, kLong, 3}, {11, 10, 0}, {50, 20, 3}, {11, 30, 3}, {10, 40, 0}}},
    {"data without the data cache: every read pays, the instruction line's buffer does not serve it",
     {.latency = 3, .prefetch = true, .instruction_cache = true},
     {{10, kLong, 3}, {10, 0, 3, true}, {10, 0, 3, true}}},
    {"data cache: a second read of a line is free; instruction fetches do not fill it",
     {.latency = 3, .instruction_cache = true, .data_cache = true},
     {{10, kLong, 3}, {10, 0, 3, true}, {10, 0, 0, true}, {20, 0, 3, true}, {10, 0, 0, true}}},
};

TEST(FlashAccelerator, StallsAsThePrefetchAndTheCachesHideTheWaitStates)
{
    for (const Scenario& s : kScenarios) {
        FlashAccelerator accelerator;
        accelerator.configure(s.settings);
        for (size_t i = 0; i < s.accesses.size(); ++i) {
            const Access& a = s.accesses[i];
            const uint32_t stall = a.data ? accelerator.load(a.line) : accelerator.fetch(a.line, a.ran);
            EXPECT_EQ(stall, a.stall) << s.name << ", access " << i << " (line " << a.line << ")";
        }
    }
}

// Fills a cache of `lines` lines, touches the first, adds one more: the second, least recently used,
// goes, the first stays. Fetches (instruction cache) or loads (data cache).
void check_least_recently_used(bool data, size_t lines)
{
    FlashAccelerator accelerator;
    accelerator.configure({.latency = 3, .instruction_cache = !data, .data_cache = data});
    // Lines two apart, so that no access is to the line in use.
    auto access = [&](uint32_t line) { return data ? accelerator.load(line) : accelerator.fetch(line, kLong); };
    for (uint32_t l = 0; l < lines; ++l) ASSERT_EQ(access(2 * l + 100), kWait) << "filling, line " << l;
    EXPECT_EQ(access(100), 0U) << "every line is held";
    EXPECT_EQ(access(2 * static_cast<uint32_t>(lines) + 100), kWait) << "one more than it holds";
    EXPECT_EQ(access(100), 0U) << "the most recently used stays";
    EXPECT_EQ(access(102), kWait) << "the least recently used was replaced";
}

TEST(FlashAccelerator, TheInstructionCacheHoldsSixtyFourLinesAndReplacesTheLeastRecentlyUsed)
{
    check_least_recently_used(false, FlashAccelerator::kInstructionLines);
}

TEST(FlashAccelerator, TheDataCacheHoldsEightLinesAndReplacesTheLeastRecentlyUsed)
{
    check_least_recently_used(true, FlashAccelerator::kDataLines);
}

TEST(FlashAccelerator, TheArrayAndItsAliasAtZeroAreTheSameLines)
{
    EXPECT_EQ(FlashAccelerator::line_of(0x08000010U), FlashAccelerator::line_of(0x00000010U));
    EXPECT_EQ(FlashAccelerator::line_of(0x0807FFF0U), 0x7FFFU);
    EXPECT_TRUE(FlashAccelerator::in_flash(0x08000000U));
    EXPECT_TRUE(FlashAccelerator::in_flash(0x0807FFFFU));
    EXPECT_TRUE(FlashAccelerator::in_flash(0x00000400U));
    EXPECT_FALSE(FlashAccelerator::in_flash(0x08080000U));  // past the 512 KB
    EXPECT_FALSE(FlashAccelerator::in_flash(0x20000000U));
    EXPECT_FALSE(FlashAccelerator::in_flash(0x1FFF0000U));  // the system memory: not modelled
}

class FlashControlTest : public test::SimTest {
protected:
    void write_acr(uint32_t value, unsigned width = 4, uint32_t offset = reg::kAcr)
    {
        chip.flash.write(offset, value, width);
    }
    FlashAccelerator& accelerator() { return chip.flash.accelerator(); }
    // A miss on line 7, then line 9, then back: whether line 7 is still cached.
    bool line_seven_cached()
    {
        accelerator().fetch(9, kLong);
        return accelerator().fetch(7, kLong) == 0;
    }
};

TEST_F(FlashControlTest, TheAcceleratorFollowsTheControlRegisterAsWritten)
{
    write_acr(3 | reg::kPrften | reg::kIcen | reg::kDcen);
    EXPECT_EQ(accelerator().settings().latency, 3U);
    EXPECT_TRUE(accelerator().settings().prefetch);
    EXPECT_TRUE(accelerator().settings().instruction_cache);
    EXPECT_TRUE(accelerator().settings().data_cache);
    // A byte write to the enables' byte leaves LATENCY as it stands.
    write_acr((reg::kIcen | reg::kDcen) >> 8, 1, reg::kAcr + 1);
    EXPECT_EQ(accelerator().settings().latency, 3U);
    EXPECT_FALSE(accelerator().settings().prefetch);
    EXPECT_TRUE(accelerator().settings().instruction_cache);
    chip.flash.reset();
    EXPECT_EQ(accelerator().settings().latency, 0U);
    EXPECT_FALSE(accelerator().settings().instruction_cache);
}

TEST_F(FlashControlTest, ACacheResetEmptiesItOnlyWhileTheCacheIsOff)
{
    write_acr(3 | reg::kIcen);
    accelerator().fetch(7, kLong);
    EXPECT_TRUE(line_seven_cached());
    write_acr(3 | reg::kIcen | reg::kIcrst);  // on: the reset does nothing
    EXPECT_TRUE(line_seven_cached());
    write_acr(3);  // off: the cache keeps its lines
    write_acr(3 | reg::kIcen);
    EXPECT_TRUE(line_seven_cached());
    write_acr(3);
    write_acr(3 | reg::kIcrst);
    write_acr(3 | reg::kIcen);
    EXPECT_FALSE(line_seven_cached());

    // The data cache alike.
    write_acr(3 | reg::kDcen);
    accelerator().load(7);
    EXPECT_EQ(accelerator().load(7), 0U);
    write_acr(3 | reg::kDcen | reg::kDcrst);
    EXPECT_EQ(accelerator().load(7), 0U);
    write_acr(3);
    write_acr(3 | reg::kDcrst);
    write_acr(3 | reg::kDcen);
    EXPECT_EQ(accelerator().load(7), kWait);
}

}  // namespace
