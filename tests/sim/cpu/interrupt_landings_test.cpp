// Where interrupts land, as the timing sweep counts them: SysTick and the interrupt lines (not a fault,
// SVCall or PendSV, which the code raises itself), only from the moment asked for (a branch's own), an
// address without the Thumb bit, and the file the sweep reads back.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "interrupt_landings.h"

namespace {

using sim::cpu::InterruptLandings;

TEST(InterruptLandings, KeepsInterruptLinesFromItsMomentOnly)
{
    InterruptLandings landings(sim::milliseconds(5));
    const struct {
        int exception;
        uint32_t address;
        sim::Picos at;
    } rows[] = {
        {53, 0x0800697E, sim::milliseconds(5)},      // USART1 at the moment: kept
        {74, 0x08006983, sim::milliseconds(6)},      // DMA2 stream 2, Thumb bit set: kept as 0x08006982
        {53, 0x08006988, sim::milliseconds(5) - 1},  // before the moment (the shared run): not kept
        {15, 0x0800698A, sim::milliseconds(7)},      // SysTick: kept
        {14, 0x08006990, sim::milliseconds(7)},      // PendSV: the code's own
        {3, 0x0800698C, sim::milliseconds(7)},       // HardFault
        {16, 0x08005EC2, sim::milliseconds(8)},      // IRQ 0 (WWDG): the first line
    };
    for (const auto& row : rows) landings.record(row.exception, row.address, row.at);
    EXPECT_EQ(landings.addresses(), (std::set<uint32_t>{0x08005EC2, 0x0800697E, 0x08006982, 0x0800698A}));
}

TEST(InterruptLandings, WritesAFileTheSweepReadsBack)
{
    InterruptLandings landings;
    for (uint32_t address : {0x08006984U, 0x0800697EU, 0x0800697EU, 0x20000010U}) landings.record(40, address, 0);
    const std::string path = ::testing::TempDir() + "landings.txt";
    ASSERT_TRUE(landings.write(path));
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "0x0800697e\n0x08006984\n0x20000010\n");
    EXPECT_EQ(InterruptLandings::read(path), landings.addresses());
    std::remove(path.c_str());
    EXPECT_TRUE(InterruptLandings::read(path).empty());  // a branch that wrote none: nothing reached
    EXPECT_FALSE(landings.write("/nonexistent-folder/landings.txt"));
}

}  // namespace
