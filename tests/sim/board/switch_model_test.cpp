// The switch on B12 as the firmware reads it through the port's input register.
#include <gtest/gtest.h>

#include <vector>

#include "gpio.h"
#include "sim_fixture.h"
#include "stm32f4xx.h"
#include "switch_model.h"

namespace {

using sim::SwitchPosition;

class SwitchOnB12 : public test::SimTest {
protected:
    uint32_t input() { return (GPIOB->IDR >> 12) & 1U; }
    void pull(uint32_t code) { GPIOB->PUPDR = (GPIOB->PUPDR & ~(3U << 24)) | (code << 24); }
};

TEST_F(SwitchOnB12, ClosedPositionsDriveAndOpenLeavesItToThePull)
{
    sim::SwitchModel sw(chip.gpiob, 12, SwitchPosition::Floating);
    pull(2);  // pull-down, as the board configures the switch input
    EXPECT_EQ(input(), 0U);
    sw.set(SwitchPosition::High);
    EXPECT_EQ(input(), 1U);
    sw.set(SwitchPosition::Low);
    EXPECT_EQ(input(), 0U);
    sw.set(SwitchPosition::Floating);
    pull(1);  // with a pull-up instead, an open switch reads high: nothing is driven
    EXPECT_EQ(input(), 1U);
    sw.set(SwitchPosition::Low);  // a closed switch beats the pull
    EXPECT_EQ(input(), 0U);
}

TEST_F(SwitchOnB12, ObserversHearEachChangeWhenItHappens)
{
    sim::SwitchModel sw(chip.gpiob, 12, SwitchPosition::Low);
    pull(2);
    std::vector<std::pair<int, sim::Picos>> heard;
    chip.gpiob.on_level_change([&](char port, int pin, int level, sim::Picos at) {
        if (port == 'B' && pin == 12) heard.emplace_back(level, at);
    });
    chip.run_until(sim::milliseconds(3));
    sw.set(SwitchPosition::High);
    sw.set(SwitchPosition::High);  // no movement, no news
    chip.run_until(sim::milliseconds(5));
    sw.set(SwitchPosition::Floating);  // falls back to the pull-down
    ASSERT_EQ(heard.size(), 2U);
    EXPECT_EQ(heard[0], (std::pair<int, sim::Picos>{1, sim::milliseconds(3)}));
    EXPECT_EQ(heard[1], (std::pair<int, sim::Picos>{0, sim::milliseconds(5)}));
}

TEST(SwitchPosition, ParsesTheCommandLineWords)
{
    EXPECT_EQ(sim::parse_switch_position("0"), SwitchPosition::Low);
    EXPECT_EQ(sim::parse_switch_position("1"), SwitchPosition::High);
    EXPECT_EQ(sim::parse_switch_position("float"), SwitchPosition::Floating);
    EXPECT_FALSE(sim::parse_switch_position("open").has_value());
    EXPECT_STREQ(sim::to_string(SwitchPosition::Floating), "float");
}

}  // namespace
