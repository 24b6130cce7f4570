// Switching a pin between push-pull output and floating input: only the chosen pin's fields change,
// and the pin really drives and releases the line.
#include <gtest/gtest.h>

#include "puertos.h"
#include "sim_fixture.h"

namespace {

class PinDirectionTest : public test::SimTest {
protected:
    // Every field of every pin at a value neither operation writes, so any stray change shows.
    void fill_port_b()
    {
        GPIOB->MODER = 0xFFFFFFFFU;    // analog
        GPIOB->OTYPER = 0x0000FFFFU;   // open-drain
        GPIOB->OSPEEDR = 0xAAAAAAAAU;  // high speed
        GPIOB->PUPDR = 0xAAAAAAAAU;    // pull-down
        GPIOB->ODR = 0x0000A5A5U;
    }
    static uint32_t field(uint32_t reg, int pin, int bits) { return (reg >> (pin * bits)) & ((1U << bits) - 1U); }
    // Registers with pin 13's (or `pin`'s) fields masked out.
    static uint32_t others(uint32_t reg, int pin, int bits) { return reg & ~(((1U << bits) - 1U) << (pin * bits)); }
};

TEST_F(PinDirectionTest, OutputSetsModeTypeAndSpeedOfThatPinOnly)
{
    fill_port_b();
    Output_Pin(GPIOB, GPIO_PIN_13);
    EXPECT_EQ(field(chip.gpiob.moder(), 13, 2), 1U);
    EXPECT_EQ(field(chip.gpiob.otyper(), 13, 1), 0U);
    EXPECT_EQ(field(chip.gpiob.ospeedr(), 13, 2), 1U);
    EXPECT_EQ(field(chip.gpiob.pupdr(), 13, 2), 2U);  // pull left alone
    EXPECT_EQ(others(chip.gpiob.moder(), 13, 2), others(0xFFFFFFFFU, 13, 2));
    EXPECT_EQ(others(chip.gpiob.otyper(), 13, 1), others(0xFFFFU, 13, 1));
    EXPECT_EQ(others(chip.gpiob.ospeedr(), 13, 2), others(0xAAAAAAAAU, 13, 2));
    EXPECT_EQ(chip.gpiob.pupdr(), 0xAAAAAAAAU);
    EXPECT_EQ(chip.gpiob.odr(), 0xA5A5U);  // the latch is never touched
}

TEST_F(PinDirectionTest, InputSetsModeAndPullOfThatPinOnly)
{
    fill_port_b();
    Output_Pin(GPIOB, GPIO_PIN_13);
    uint32_t otyper = chip.gpiob.otyper();
    uint32_t ospeedr = chip.gpiob.ospeedr();
    Input_Pin(GPIOB, GPIO_PIN_13);
    EXPECT_EQ(field(chip.gpiob.moder(), 13, 2), 0U);
    EXPECT_EQ(field(chip.gpiob.pupdr(), 13, 2), 0U);
    EXPECT_EQ(others(chip.gpiob.moder(), 13, 2), others(0xFFFFFFFFU, 13, 2));
    EXPECT_EQ(others(chip.gpiob.pupdr(), 13, 2), others(0xAAAAAAAAU, 13, 2));
    EXPECT_EQ(chip.gpiob.otyper(), otyper);  // as the output left them
    EXPECT_EQ(chip.gpiob.ospeedr(), ospeedr);
}

TEST_F(PinDirectionTest, OnlyTheLowestPinOfTheMaskSwitches)
{
    fill_port_b();
    Output_Pin(GPIOB, GPIO_PIN_12 | GPIO_PIN_13);
    EXPECT_EQ(field(chip.gpiob.moder(), 12, 2), 1U);
    EXPECT_EQ(field(chip.gpiob.moder(), 13, 2), 3U);
    Input_Pin(GPIOB, GPIO_PIN_13 | GPIO_PIN_15);
    EXPECT_EQ(field(chip.gpiob.moder(), 13, 2), 0U);
    EXPECT_EQ(field(chip.gpiob.moder(), 15, 2), 3U);

    uint64_t accesses = chip.access_count();
    Output_Pin(GPIOB, 0);
    Input_Pin(GPIOB, 0);
    EXPECT_EQ(chip.access_count(), accesses);  // an empty mask touches nothing
}

TEST_F(PinDirectionTest, OutputDrivesTheLatchAndInputFloats)
{
    GPIOB->PUPDR = 1U << (2 * 13);  // a pull-up, so that the floating input reads 1
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_13, GPIO_PIN_RESET);
    Output_Pin(GPIOB, GPIO_PIN_13);
    EXPECT_EQ(chip.gpiob.chip_drive(13), sim::Drive::Low);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_13), GPIO_PIN_RESET);
    Input_Pin(GPIOB, GPIO_PIN_13);
    EXPECT_EQ(chip.gpiob.chip_drive(13), sim::Drive::None);
    EXPECT_EQ(field(chip.gpiob.pupdr(), 13, 2), 0U);  // and the pull-up is gone: the line floats
}

}  // namespace
