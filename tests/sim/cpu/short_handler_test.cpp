// Short handlers worked out without the engine: which handlers qualify, and that one run makes the
// handler's stores and nothing else, or gives up with nothing stored.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "short_handler.h"

namespace {

using sim::cpu::CoreMemory;
using sim::cpu::ShortHandler;

constexpr uint32_t kTicks = 0x20000214U;
constexpr uint32_t kFrequency = 0x200001D0U;

struct Memories {
    std::vector<uint8_t> flash = std::vector<uint8_t>(sim::cpu::kFlashSize, 0xFF);
    std::vector<uint8_t> ram = std::vector<uint8_t>(sim::cpu::kRamSize, 0);
    std::vector<uint8_t> stub = std::vector<uint8_t>(sim::cpu::kStubSize, 0);
    CoreMemory memory{flash.data(), ram.data(), stub.data()};

    // HAL_IncTick at 0x08000000 (its tick count's and frequency's addresses in a literal pool at 0x10),
    // with `first` in place of its first instruction; a branch to it at 0x08000020.
    explicit Memories(uint16_t first = 0x4A03, uint32_t ticks = kTicks)
    {
        const uint16_t code[] = {first, 0x4B04, 0x6811, 0x781B, 0x440B, 0x6013, 0x4770, 0xBF00};
        std::memcpy(flash.data(), code, sizeof code);
        const uint32_t pool[] = {ticks, kFrequency};
        std::memcpy(flash.data() + 0x10, pool, sizeof pool);
        const uint16_t branch = 0xE7EE;  // b.n 0x08000000
        std::memcpy(flash.data() + 0x20, &branch, 2);
        set_word(kTicks, 41);
        ram[kFrequency - sim::cpu::kRamBase] = 1;
    }
    uint32_t word(uint32_t address) const
    {
        uint32_t value;
        std::memcpy(&value, ram.data() + (address - sim::cpu::kRamBase), 4);
        return value;
    }
    void set_word(uint32_t address, uint32_t value)
    {
        std::memcpy(ram.data() + (address - sim::cpu::kRamBase), &value, 4);
    }
};

TEST(ShortHandler, TheTicksHandlerIsWorkedOutWithItsStoreAndCycles)
{
    Memories m;
    auto handler = ShortHandler::decode(0x08000021U, m.memory);
    ASSERT_TRUE(handler);
    EXPECT_EQ(handler->instructions(), 8U);  // the branch, then seven up to bx lr
    const std::vector<uint8_t> before = m.ram;
    ASSERT_TRUE(handler->run(m.memory, 0x20001000U));
    EXPECT_EQ(m.word(kTicks), 42U);
    m.set_word(kTicks, 41);
    EXPECT_EQ(m.ram, before);  // nothing else written
}

// Its flash reads as the engine's two blocks would make them: the branch's line, then (a block of its
// own, its first line's prefetch not timed from the branch's) HAL_IncTick's line after the branch's 1 +
// P cycles, and its two literals from the pool's line, the second pipelined behind the first load.
TEST(ShortHandler, TheTicksHandlerReadsTheFlashAsItsBlocksWould)
{
    Memories m;
    auto handler = ShortHandler::decode(0x08000021U, m.memory);
    ASSERT_TRUE(handler);
    struct Read {
        uint32_t line, at;
        bool data, first;
    };
    const Read expected[] = {{2, 0, false, true}, {0, 2, false, true}, {1, 2, true, false}, {1, 4, true, false}};
    const auto& reads = handler->flash_reads();
    ASSERT_EQ(reads.size(), std::size(expected));
    for (size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].line, expected[i].line) << "read " << i;
        EXPECT_EQ(reads[i].at, expected[i].at) << "read " << i;
        EXPECT_EQ(reads[i].data, expected[i].data) << "read " << i;
        EXPECT_EQ(reads[i].first, expected[i].first) << "read " << i;
    }
}

TEST(ShortHandler, OnlyAStraightRunOfLoadsStoresAndArithmeticQualifies)
{
    // push {r4, lr}; beq; bl (first half); a load into r4, which the return does not restore.
    for (uint16_t first : {uint16_t{0xB510}, uint16_t{0xD000}, uint16_t{0xF000}, uint16_t{0x4C03}}) {
        Memories m(first);
        EXPECT_FALSE(ShortHandler::decode(0x08000001U, m.memory)) << std::hex << first;
    }
}

TEST(ShortHandler, AnAddressOffItsPathLeavesItToTheEngineWithNothingStored)
{
    // The count's address in a peripheral, then unaligned: the run gives up before any store.
    for (uint32_t ticks : {0x40011000U, kTicks + 2}) {
        Memories m(0x4A03, ticks);
        auto handler = ShortHandler::decode(0x08000001U, m.memory);
        ASSERT_TRUE(handler);
        const std::vector<uint8_t> before = m.ram;
        EXPECT_FALSE(handler->run(m.memory, 0x20001000U)) << std::hex << ticks;
        EXPECT_EQ(m.ram, before);
    }
}

}  // namespace
