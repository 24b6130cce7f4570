// The emulated core's cycle counts against the Cortex-M4's instruction timing: a small image of our own
// (images/timing.S) reads DWT CYCCNT around instruction sequences whose cost the manual fixes, inline
// and as functions of their own, from flash and from SRAM, and around an exception's entry and return.
// Each sequence must come out as the manual's figure; and the rules that the figures rest on (a
// divide's cycles by its operands, the refill after a branch) hold where their edges are.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "chip.h"
#include "image_runner.h"
#include "instruction_timing.h"

namespace {

using sim::cpu::ElfImage;
using sim::cpu::ImageRunner;

struct Sequence {
    const char* name;
    int index;  // the measurement's place: inline at index, as a function at 9 + index
    uint32_t manual;
};

// The manual's figures: ADDS 1; a load 2, and 1 when it pipelines behind another; LDM 1 + N; PUSH and
// POP 1 + N; MLA 2; VDIV.F32 14; a taken branch 1 + P, with P = 1 to a 16-bit target.
constexpr std::array<Sequence, 8> kSequences{{
    {"64 x ADDS", 1, 64},
    {"32 x LDR back to back", 2, 33},
    {"32 x (LDR; ADDS using it)", 3, 96},
    {"8 x LDM of 8 registers", 4, 72},
    {"8 x (PUSH 4; POP 4)", 5, 80},
    {"32 x MLA", 6, 64},
    {"8 x VDIV.F32", 7, 112},
    {"MOVS x2 + 32 x (SUBS; BNE)", 8, 97},
}};

struct TimingRun {
    std::array<uint32_t, 18> flash{};
    std::array<uint32_t, 18> sram{};
    std::array<uint32_t, 4> exception{};
    std::array<uint32_t, 24> wait{};  // the wait suite at LATENCY 0, 3 off, 3 on: 8 each
    uint32_t done = 0;
};

const TimingRun& timing_run()
{
    static const TimingRun run = [] {
        sim::Chip chip;
        ElfImage elf = ElfImage::load(std::string(CPU_TEST_IMAGES) + "/timing.elf");
        ImageRunner runner(chip, elf);
        runner.run(sim::milliseconds(5));
        TimingRun r;
        runner.read_memory(*elf.symbol("flash_results"), r.flash.data(), sizeof r.flash);
        runner.read_memory(*elf.symbol("sram_results"), r.sram.data(), sizeof r.sram);
        runner.read_memory(*elf.symbol("exception_reads"), r.exception.data(), sizeof r.exception);
        runner.read_memory(*elf.symbol("wait_results"), r.wait.data(), sizeof r.wait);
        runner.read_memory(*elf.symbol("done"), &r.done, 4);
        return r;
    }();
    return run;
}

TEST(InstructionTiming, EverySequenceTakesTheManualsCyclesInlineAndAsAFunctionFromFlashAndSram)
{
    const TimingRun& run = timing_run();
    ASSERT_EQ(run.done, 1U) << "the image did not finish";
    for (const auto& [memory, results] : {std::pair{"flash", run.flash}, std::pair{"SRAM", run.sram}}) {
        for (const Sequence& s : kSequences) {
            EXPECT_EQ(results[s.index] - results[0], s.manual) << s.name << ", inline, from " << memory;
            EXPECT_EQ(results[9 + s.index] - results[9], s.manual) << s.name << ", as a function, from " << memory;
        }
    }
}

// t0 read, NOP, the pending STR (2), ISB (1), then the entry, and the handler's first read (2, the count
// taken at its end); its last read, a pipelined STR (1), BX LR (1), the return, NOP, the thread's read (2).
TEST(InstructionTiming, ExceptionEntryTakesTwelveCyclesAndReturnTen)
{
    const TimingRun& run = timing_run();
    ASSERT_EQ(run.done, 1U);
    const auto& t = run.exception;
    EXPECT_EQ(t[1] - t[0] - 6, 12U) << "entry";
    EXPECT_EQ(t[3] - t[2] - 5, 10U) << "return";
}

// Code in flash at 3 wait states, against the same at 0: what the accelerator leaves to stall. Off: each
// line entered pays 3, each literal load 3. On: a sequential line was prefetched while the one before
// ran (at least 3 cycles of it), the loop's branch back into L0 misses once (L0 came from the prefetch,
// which fills no cache line) and hits after, while L1 is met by the prefetch started at L0's entry, one
// SUBS (1 cycle) earlier: 2 a pass; the data cache serves the literals after its first miss.
struct FlashCase {
    const char* name;
    int index;
    uint32_t off;
    uint32_t on;
};
constexpr std::array<FlashCase, 5> kFlashCases{{
    {"nothing, inside one line", 0, 0, 0},
    {"32 x ADDS across four lines", 1, 4 * 3, 0},
    {"a loop of 8 across two lines", 2, 8 * 3 + 7 * 3, 3 + 7 * 2},
    {"a loop of 8 inside one line", 3, 0, 0},
    {"3 literal loads from one line", 4, 3 * 3, 3},
}};

TEST(InstructionTiming, FlashAtThreeWaitStatesStallsAsTheAcceleratorLeavesIt)
{
    const TimingRun& run = timing_run();
    ASSERT_EQ(run.done, 1U);
    for (const FlashCase& c : kFlashCases) {
        const uint32_t zero = run.wait[c.index];
        EXPECT_EQ(run.wait[8 + c.index] - zero, c.off) << c.name << ", accelerator off";
        EXPECT_EQ(run.wait[16 + c.index] - zero, c.on) << c.name << ", accelerator on";
    }
}

TEST(InstructionTiming, ADivideTakesTwoToTwelveCyclesByItsQuotient)
{
    using sim::cpu::timing::divide_cycles;
    struct Row {
        uint32_t dividend, divisor;
        bool is_signed;
        uint32_t cycles;
    };
    const Row rows[] = {
        {100, 0, false, 2},                        // by zero: known at once
        {3, 7, false, 2},                          // divisor larger: quotient 0
        {7, 7, false, 3},                          // quotient 1: one significant bit
        {0xFFFFFFFFU, 1, false, 12},               // 32 quotient bits: the most
        {0xFFFFFFFFU, 0x10000U, false, 8},         // 16 quotient bits
        {static_cast<uint32_t>(-64), 8, true, 4},  // -8: a 4-bit magnitude
        {0x80000000U, 0xFFFFFFFFU, true, 12},      // INT_MIN / -1: 32 bits of magnitude
        {0x80000000U, 0xFFFFFFFFU, false, 2},      // unsigned: divisor larger
    };
    for (const Row& r : rows)
        EXPECT_EQ(divide_cycles(r.dividend, r.divisor, r.is_signed), r.cycles)
            << r.dividend << (r.is_signed ? " sdiv " : " udiv ") << r.divisor;
}

TEST(InstructionTiming, TheRefillIsTwoCyclesOnlyForAWideTargetAcrossTwoWords)
{
    using sim::cpu::timing::refill_cycles;
    EXPECT_EQ(refill_cycles(0x08000100, 0x3001), 1U);  // adds: 16-bit, aligned
    EXPECT_EQ(refill_cycles(0x08000102, 0x3001), 1U);  // 16-bit, halfword
    EXPECT_EQ(refill_cycles(0x08000100, 0xFB01), 1U);  // mla: 32-bit, word-aligned
    EXPECT_EQ(refill_cycles(0x08000102, 0xFB01), 2U);  // 32-bit across two words
    EXPECT_EQ(refill_cycles(0x08000102, 0xE92D), 2U);  // push.w (top bits 0x1D)
}

}  // namespace
