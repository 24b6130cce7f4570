// Small images assembled for the purpose, run on the emulated core against a bare chip: exception entry,
// nesting and return from the NVIC model, and faults ending the run through the image's HardFault
// handler with a halt that names the fault, the instruction and the address.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "chip.h"
#include "hex_text.h"
#include "image_runner.h"

namespace {

using sim::RunEnd;
using sim::cpu::ElfImage;
using sim::cpu::ImageRunner;
using sim::cpu::RunnerOptions;

ElfImage image(const std::string& name)
{
    return ElfImage::load(std::string(CPU_TEST_IMAGES) + "/" + name + ".elf");
}

uint32_t word(const ImageRunner& runner, const ElfImage& elf, const std::string& symbol)
{
    uint32_t value = 0;
    auto address = elf.symbol(symbol);
    EXPECT_TRUE(address.has_value()) << symbol;
    EXPECT_TRUE(address && runner.read_memory(*address, &value, 4)) << symbol;
    return value;
}

struct ExceptionsRun {
    std::string order;
    uint32_t ticks;
    uint32_t mismatch;
    uint64_t instructions;
    uint64_t skipped;
    RunEnd end;
};

ExceptionsRun run_exceptions(bool skip_waits, sim::Picos limit)
{
    sim::Chip chip;
    ElfImage elf = image("exceptions");
    RunnerOptions options;
    options.skip_waits = skip_waits;
    ImageRunner runner(chip, elf, options);
    ExceptionsRun run{};
    run.end = runner.run(limit);
    char order[65] = {};
    runner.read_memory(*elf.symbol("order"), order, 64);
    run.order = order;
    run.ticks = word(runner, elf, "ticks");
    run.mismatch = word(runner, elf, "mismatch");
    run.instructions = runner.instructions();
    run.skipped = runner.skipped_instructions();
    return run;
}

TEST(SmallImage, ExceptionsNestByPriorityWaitUnderPrimaskAndReturnToTheInterruptedCode)
{
    ExceptionsRun run = run_exceptions(true, sim::milliseconds(20) + sim::microseconds(50));
    EXPECT_EQ(run.end.kind, RunEnd::Kind::TimeLimit) << run.end.reason;
    EXPECT_EQ(run.end.at, sim::milliseconds(20) + sim::microseconds(50));
    // M: pended under PRIMASK, U taken at cpsie before T; on the first tick U pre-empts SysTick (S..s)
    // while DMA2 stream 2, at SysTick's own priority, waits for its return (D).
    EXPECT_EQ(run.order, "MUTSUsD");
    // A 1 ms tick from about 10 us after reset: 20 of them by 20 ms.
    EXPECT_EQ(run.ticks, 20U);
    // r0-r3, r12 and the stack pointer (4 bytes off an 8-byte boundary) came back every time.
    EXPECT_EQ(run.mismatch, 0U);
    // Almost all of the time is the thread's check loop, jumped over between ticks.
    EXPECT_GT(run.skipped, run.instructions / 2);
}

TEST(SmallImage, SkippingWaitsChangesNeitherTheInstructionsRunNorTheirTime)
{
    ExceptionsRun fast = run_exceptions(true, sim::milliseconds(7) + sim::nanoseconds(123'450));
    ExceptionsRun slow = run_exceptions(false, sim::milliseconds(7) + sim::nanoseconds(123'450));
    EXPECT_EQ(slow.skipped, 0U);
    EXPECT_EQ(fast.instructions, slow.instructions);
    EXPECT_EQ(fast.order, slow.order);
    EXPECT_EQ(fast.ticks, slow.ticks);
    EXPECT_EQ(fast.end.at, slow.end.at);
}

TEST(SmallImage, ARunStoppedAtItsLimitGoesOnWhereItStopped)
{
    sim::Chip chip;
    ElfImage elf = image("exceptions");
    ImageRunner runner(chip, elf);
    for (int ms = 1; ms <= 10; ++ms) {
        RunEnd end = runner.run(sim::milliseconds(static_cast<uint64_t>(ms)) + sim::microseconds(50));
        ASSERT_EQ(end.kind, RunEnd::Kind::TimeLimit) << end.reason;
    }
    EXPECT_EQ(word(runner, elf, "ticks"), 10U);
    EXPECT_EQ(word(runner, elf, "mismatch"), 0U);
    ExceptionsRun whole = run_exceptions(true, sim::milliseconds(10) + sim::microseconds(50));
    EXPECT_EQ(runner.instructions(), whole.instructions);
}

TEST(SmallImage, ACoreAsleepInWfiWakesForEachInterrupt)
{
    sim::Chip chip;
    ElfImage elf = image("sleep");
    ImageRunner runner(chip, elf);
    RunEnd end = runner.run(sim::milliseconds(10) + sim::microseconds(50));
    EXPECT_EQ(end.kind, RunEnd::Kind::TimeLimit) << end.reason;
    EXPECT_EQ(word(runner, elf, "ticks"), 10U);
    // Stopped with nothing left to wake it, the core has stopped for good.
    chip.systick.write(0x0, 0, 4);
    end = runner.run(sim::milliseconds(20));
    EXPECT_EQ(end.kind, RunEnd::Kind::Halt) << end.reason;
    EXPECT_NE(end.reason.find("WFI"), std::string::npos) << end.reason;
}

struct FaultCase {
    int number;
    std::vector<std::string> words;  // what the halt's reason names
};

// As gtest shows the case (otherwise the bytes of the struct, its vector's pointers among them).
void PrintTo(const FaultCase& c, std::ostream* out)
{
    *out << "fault" << c.number;
    for (const std::string& w : c.words) *out << " \"" << w << '"';
}

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, EndTheRunThroughHardFaultWithAHaltNamingThem)
{
    const FaultCase& c = GetParam();
    sim::Chip chip;
    ElfImage elf = image("fault" + std::to_string(c.number));
    ImageRunner runner(chip, elf);
    RunEnd end = runner.run(sim::milliseconds(5));
    ASSERT_EQ(end.kind, RunEnd::Kind::Halt) << end.reason;
    EXPECT_EQ(end.reason.rfind("HardFault: ", 0), 0U) << end.reason;
    EXPECT_NE(end.reason.find("at pc " + sim::hex_text(*elf.symbol("fault_here") & ~1U)), std::string::npos)
        << end.reason;
    for (const std::string& w : c.words) EXPECT_NE(end.reason.find(w), std::string::npos) << end.reason;
    EXPECT_EQ(word(runner, elf, "reached"), 0U);
    // The image's handler ran: the core sits in it.
    EXPECT_EQ(runner.pc() & ~1U, *elf.symbol("hard_fault") & ~1U);
    EXPECT_LT(end.at, sim::microseconds(100));
}

INSTANTIATE_TEST_SUITE_P(
    SmallImage, Faults,
    ::testing::Values(FaultCase{1, {"BusFault", "read of 4 bytes from unmapped address 0x60000000"}},
                      FaultCase{2, {"UNDEFINSTR"}}, FaultCase{3, {"NOCP", "CPACR"}},
                      FaultCase{5, {"INVSTATE", "SysTick", "vector is 0x00000000"}},
                      FaultCase{6, {"BusFault", "write of 4 bytes to read-only address 0x08001000"}}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return "fault" + std::to_string(param.param.number); });

TEST(SmallImage, FloatingPointRunsOnceCpacrGrantsTheCoprocessors)
{
    sim::Chip chip;
    ElfImage elf = image("fault4");
    ImageRunner runner(chip, elf);
    RunEnd end = runner.run(sim::milliseconds(1));
    // No fault: the image ends in a loop that nothing can end, which stops the node.
    EXPECT_EQ(end.reason.find("Fault"), std::string::npos) << end.reason;
    EXPECT_NE(end.reason.find("spinning"), std::string::npos) << end.reason;
    EXPECT_EQ(word(runner, elf, "reached"), 1U);
}

}  // namespace

// A debugger's look at a register changes nothing: SysTick's CTRL read through the debug port (a 4-byte
// memory read, byte by byte as GDB's `m` packet asks for it) shows COUNTFLAG in its third byte, and shows
// it again on a second look; only the core's own read clears it.
TEST(SmallImage, ADebuggerReadOfARegisterHasNoSideEffect)
{
    sim::Chip chip;
    ElfImage elf = image("exceptions");
    ImageRunner runner(chip, elf);
    runner.run(sim::milliseconds(3) + sim::microseconds(50));  // past the first wraps of the 1 ms tick
    constexpr uint32_t kSysTickCtrl = 0xE000E010U;
    for (int look = 0; look < 2; ++look) {
        uint8_t bytes[4] = {};
        ASSERT_TRUE(runner.debug().read(kSysTickCtrl, bytes, 4));
        EXPECT_EQ(bytes[2] & 1U, 1U) << "COUNTFLAG, look " << look;
        EXPECT_EQ(bytes[0] & 1U, 1U) << "ENABLE, look " << look;
    }
    EXPECT_EQ((chip.read(kSysTickCtrl, 4) >> 16) & 1U, 1U);
    EXPECT_EQ((chip.read(kSysTickCtrl, 4) >> 16) & 1U, 0U);  // the core's read took it
}

// An interrupt due inside a block is taken at the first instruction boundary at or after its time: the
// tick lands between the LDREX and the STREX of one block, its entry clears the exclusive monitor, the
// STREX fails and the loop retries. At block boundaries only (the runner's coarser mode) neither happens.
TEST(SmallImage, AnInterruptInsideABlockIsTakenThereAndMakesTheStrexRetry)
{
    for (bool exact : {true, false}) {
        sim::Chip chip;
        ElfImage elf = image("exclusive");
        RunnerOptions options;
        options.exact_interrupts = exact;
        ImageRunner runner(chip, elf, options);
        runner.run(sim::microseconds(500));
        const uint32_t ticks = word(runner, elf, "ticks");
        const uint32_t inside = word(runner, elf, "inside");
        const uint32_t retries = word(runner, elf, "retries");
        EXPECT_GE(ticks, 20U) << "exact " << exact;
        if (exact) {
            EXPECT_GT(inside, 0U) << "no tick taken between LDREX and STREX";
            EXPECT_GT(retries, 0U) << "no STREX failed";
            EXPECT_LE(retries, inside);  // a retry needs a tick in the window
        } else {
            EXPECT_EQ(inside, 0U);
            EXPECT_EQ(retries, 0U);
        }
    }
}
