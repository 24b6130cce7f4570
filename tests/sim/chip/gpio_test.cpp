// Pins: the platform's pin operations at register level, and the port model's resolution of a pin's
// level from the chip's driver, the board's devices and the pulls.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "bus_spy.h"
#include "sim_fixture.h"
#include "stm32f4xx_hal.h"

namespace {

using sim::Drive;
using sim::Picos;

class FakeDevice final : public sim::PinDevice {
public:
    Drive drive(Picos) const override { return drives; }
    bool pull_up() const override { return board_pull_up; }
    void on_chip_drive(Drive chip, Picos) override { seen.push_back(chip); }

    Drive drives = Drive::None;
    bool board_pull_up = false;
    std::vector<Drive> seen;
};

class GpioTest : public test::SimTest {
protected:
    void init(GPIO_TypeDef* port, uint32_t pins, uint32_t mode, uint32_t pull, uint32_t speed = 0, uint32_t af = 0)
    {
        GPIO_InitTypeDef record{pins, mode, pull, speed, af};
        HAL_GPIO_Init(port, &record);
    }
};

TEST_F(GpioTest, InitWritesEachPinsFieldsInOrderAndNeverTheLatch)
{
    test::BusSpy spy(chip);
    init(GPIOA, GPIO_PIN_9 | GPIO_PIN_10, GPIO_MODE_AF_PP, GPIO_NOPULL, GPIO_SPEED_FREQ_VERY_HIGH, GPIO_AF7_USART1);
    // Per pin, pin 9 first: speed, output type, pull, alternate function (AFR high word), mode.
    EXPECT_EQ(spy.offsets_written(GPIOA_BASE),
              (std::vector<uint32_t>{0x08, 0x04, 0x0C, 0x24, 0x00, 0x08, 0x04, 0x0C, 0x24, 0x00}));
    EXPECT_EQ(GPIOA->MODER, 0xA8000000U | (2U << 18) | (2U << 20));  // the debug pins keep theirs
    EXPECT_EQ(GPIOA->OSPEEDR, 0x0C000000U | (3U << 18) | (3U << 20));
    EXPECT_EQ(GPIOA->AFR[1], 0x770U);

    spy.clear();
    init(GPIOB, GPIO_PIN_12, GPIO_MODE_INPUT, GPIO_PULLDOWN);  // input: pull and mode only
    EXPECT_EQ(spy.offsets_written(GPIOB_BASE), (std::vector<uint32_t>{0x0C, 0x00}));
    EXPECT_EQ(GPIOB->PUPDR, 0x100U | (2U << 24));

    spy.clear();
    GPIOC->PUPDR = 1U << 2;
    spy.clear();
    init(GPIOC, GPIO_PIN_1, GPIO_MODE_ANALOG, GPIO_PULLDOWN);  // analog: the mode alone, pull untouched
    EXPECT_EQ(spy.offsets_written(GPIOC_BASE), (std::vector<uint32_t>{0x00}));
    EXPECT_EQ(GPIOC->PUPDR, 1U << 2);

    init(GPIOC, GPIO_PIN_2, GPIO_MODE_OUTPUT_OD, GPIO_NOPULL);
    EXPECT_EQ(GPIOC->OTYPER, 1U << 2);
    EXPECT_EQ((GPIOC->MODER >> 4) & 3U, 1U);
}

TEST_F(GpioTest, WritePinIsOneBsrrWriteAndTheLatchDrivesOnceThePinIsAnOutput)
{
    std::vector<std::tuple<int, int, Picos>> changes;
    chip.gpioc.on_level_change([&](char, int pin, int level, Picos at) { changes.emplace_back(pin, level, at); });
    {
        test::BusSpy spy(chip);
        HAL_GPIO_WritePin(GPIOC, GPIO_PIN_13, GPIO_PIN_SET);
        HAL_GPIO_WritePin(GPIOC, GPIO_PIN_13, GPIO_PIN_RESET);
        HAL_GPIO_WritePin(GPIOC, GPIO_PIN_1, static_cast<GPIO_PinState>(2));  // any state but reset sets
        EXPECT_EQ(spy.writes(),
                  (std::vector<test::BusSpy::Write>{
                      {GPIOC_BASE + 0x18, 0x2000U}, {GPIOC_BASE + 0x18, 0x20000000U}, {GPIOC_BASE + 0x18, 0x2U}}));
    }
    EXPECT_TRUE(changes.empty());  // still inputs: the latch drives nothing yet

    // The LED's order: latch low while an input, then output. It drives low from the first moment.
    init(GPIOC, GPIO_PIN_13, GPIO_MODE_OUTPUT_PP, GPIO_NOPULL);
    EXPECT_EQ(chip.gpioc.chip_drive(13), Drive::Low);
    EXPECT_TRUE(changes.empty());
    init(GPIOC, GPIO_PIN_1, GPIO_MODE_OUTPUT_PP, GPIO_NOPULL);
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(std::get<0>(changes[0]), 1);
    EXPECT_EQ(std::get<1>(changes[0]), 1);

    GPIOC->BSRR = 0x2000U | 0x20000000U;  // set and reset of one pin: set wins
    EXPECT_EQ(GPIOC->ODR, 0x2002U);
    EXPECT_EQ(GPIOC->BSRR, 0U);  // write-only
    HAL_GPIO_TogglePin(GPIOC, GPIO_PIN_13 | GPIO_PIN_0);
    EXPECT_EQ(GPIOC->ODR, 0x0003U);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOC, GPIO_PIN_1), GPIO_PIN_SET);
}

TEST_F(GpioTest, StateObserversHearWhenThePinBecomesDrivenAtTheLevelItFloatedAt)
{
    // (level, driven) as the state observers hear them; the level observers hear only new levels.
    std::vector<std::tuple<int, int, bool>> states;
    std::vector<int> levels;
    chip.gpioc.on_state_change(
        [&](char, int pin, int level, bool driven, Picos) { states.emplace_back(pin, level, driven); });
    chip.gpioc.on_level_change([&](char, int pin, int, Picos) { levels.push_back(pin); });
    EXPECT_FALSE(chip.gpioc.driven(13));

    init(GPIOC, GPIO_PIN_13, GPIO_MODE_OUTPUT_PP, GPIO_NOPULL);  // floating 0, now driven 0: the LED lights
    EXPECT_TRUE(chip.gpioc.driven(13));
    ASSERT_EQ(states.size(), 1U);
    EXPECT_EQ(states[0], std::make_tuple(13, 0, true));
    EXPECT_TRUE(levels.empty());

    GPIOC->BSRR = GPIO_PIN_13;  // a new level while driven: one notice each
    ASSERT_EQ(states.size(), 2U);
    EXPECT_EQ(states[1], std::make_tuple(13, 1, true));
    EXPECT_EQ(levels.size(), 1U);
    GPIOC->BSRR = GPIO_PIN_13;  // nothing changes: no notice
    EXPECT_EQ(states.size(), 2U);

    // An open-drain output at 1 lets go of the line: driven no more, and with the pull-up still high.
    GPIOC->PUPDR = 1U << 26;  // pull-up under a driven high: nothing to tell
    EXPECT_EQ(states.size(), 2U);
    GPIOC->OTYPER = GPIO_PIN_13;
    ASSERT_EQ(states.size(), 3U);
    EXPECT_EQ(states[2], std::make_tuple(13, 1, false));
    EXPECT_EQ(levels.size(), 1U);
}

TEST_F(GpioTest, ReadPinResolvesPullsDevicesAndTheWiredAnd)
{
    FakeDevice line;
    chip.gpiob.attach(13, &line);
    init(GPIOB, GPIO_PIN_12, GPIO_MODE_INPUT, GPIO_PULLDOWN);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_12), GPIO_PIN_RESET);  // switch open: pulled down
    init(GPIOB, GPIO_PIN_12, GPIO_MODE_INPUT, GPIO_PULLUP);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_12), GPIO_PIN_SET);

    init(GPIOB, GPIO_PIN_13, GPIO_MODE_INPUT, GPIO_NOPULL);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_13), GPIO_PIN_RESET);  // floating reads 0
    line.board_pull_up = true;
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_13), GPIO_PIN_SET);
    line.drives = Drive::Low;  // the sensor pulls the line down against the 4.7 kOhm
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_13), GPIO_PIN_RESET);

    // A push-pull high against a device holding the line low: low, and the contention is reported once.
    chip.log().keep(true);
    GPIOB->BSRR = GPIO_PIN_13;
    init(GPIOB, GPIO_PIN_13, GPIO_MODE_OUTPUT_PP, GPIO_NOPULL);
    chip.gpiob.external_changed(13);
    EXPECT_EQ(chip.gpiob.level(13), 0);
    EXPECT_EQ(chip.log().kept().size(), 1U);

    // Open drain with the latch high releases the line to the pull-up.
    line.drives = Drive::None;
    init(GPIOB, GPIO_PIN_13, GPIO_MODE_OUTPUT_OD, GPIO_NOPULL);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_13), GPIO_PIN_SET);

    // Analog: IDR reads 0 whatever the line does.
    line.drives = Drive::High;
    init(GPIOB, GPIO_PIN_13, GPIO_MODE_ANALOG, GPIO_NOPULL);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_13), GPIO_PIN_RESET);
    EXPECT_EQ(chip.gpiob.level(13), 1);
}

// IDR works out the plain pins all at once from the registers and the rest one at a time: in every
// configuration it must read what each pin's own resolution gives.
TEST_F(GpioTest, IdrAgreesWithEachPinsResolvedLevelInEveryConfiguration)
{
    FakeDevice line;
    chip.gpioc.attach(5, &line);
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        GPIOC->MODER = random();
        GPIOC->OTYPER = random() & 0xFFFFU;
        GPIOC->PUPDR = random();
        GPIOC->ODR = random() & 0xFFFFU;
        line.drives = static_cast<Drive>(random() % 3);
        line.board_pull_up = random() % 2;
        uint32_t expected = 0;
        for (int pin = 0; pin < 16; ++pin)
            if (chip.gpioc.mode(pin) != sim::gpio_reg::kAnalog && chip.gpioc.level(pin)) expected |= 1U << pin;
        ASSERT_EQ(GPIOC->IDR, expected) << "MODER " << std::hex << GPIOC->MODER << " OTYPER " << GPIOC->OTYPER
                                        << " PUPDR " << GPIOC->PUPDR << " ODR " << GPIOC->ODR;
    }
}

TEST_F(GpioTest, DevicesHearOnlyOfTheirOwnPinsDriveChanges)
{
    FakeDevice line;
    chip.gpiob.attach(13, &line);
    init(GPIOB, GPIO_PIN_12, GPIO_MODE_INPUT, GPIO_PULLDOWN);
    GPIOB->BSRR = GPIO_PIN_12;
    EXPECT_TRUE(line.seen.empty());

    GPIOB->BSRR = static_cast<uint32_t>(GPIO_PIN_13) << 16;
    GPIOB->MODER |= 1U << 26;    // output: the latched 0 is driven
    GPIOB->OSPEEDR |= 3U << 26;  // slew rate: no change of drive
    GPIOB->MODER &= ~(3U << 26);
    EXPECT_EQ(line.seen, (std::vector<Drive>{Drive::Low, Drive::None}));
}

TEST_F(GpioTest, ResetValuesAndDebugPins)
{
    EXPECT_EQ(GPIOA->MODER, 0xA8000000U);
    EXPECT_EQ(GPIOA->OSPEEDR, 0x0C000000U);
    EXPECT_EQ(GPIOA->PUPDR, 0x64000000U);
    EXPECT_EQ(GPIOB->MODER, 0x00000280U);
    EXPECT_EQ(GPIOB->OSPEEDR, 0x000000C0U);
    EXPECT_EQ(GPIOB->PUPDR, 0x00000100U);
    EXPECT_EQ(GPIOC->MODER, 0U);
    EXPECT_EQ(GPIOA->IDR, (1U << 13) | (1U << 15));  // SWDIO and JTDI pulled up, SWCLK down
    EXPECT_EQ(GPIOB->IDR, 1U << 4);                  // NJTRST pulled up
}

TEST_F(GpioTest, AlternateLevelTakesEffectOnlyInAlternateMode)
{
    chip.gpioa.set_alternate_level(9, 1);  // USART1 TX idles high
    EXPECT_EQ(chip.gpioa.level(9), 0);
    init(GPIOA, GPIO_PIN_9, GPIO_MODE_AF_PP, GPIO_NOPULL, GPIO_SPEED_FREQ_VERY_HIGH, GPIO_AF7_USART1);
    EXPECT_EQ(chip.gpioa.level(9), 1);
    chip.gpioa.set_alternate_level(9, 0);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOA, GPIO_PIN_9), GPIO_PIN_RESET);
}

TEST_F(GpioTest, LockedPinsKeepTheirConfiguration)
{
    GPIOC->LCKR = (1U << 16) | 1U;
    GPIOC->LCKR = 1U;
    GPIOC->LCKR = (1U << 16) | 1U;
    EXPECT_EQ(GPIOC->LCKR, (1U << 16) | 1U);
    GPIOC->MODER = 0x5U;  // pins 0 and 1 to output: only pin 1 changes
    EXPECT_EQ(GPIOC->MODER, 0x4U);
}

// A peripheral's input reads its pin by the same rule as IDR, through the alternate-function
// multiplexer: only while the pin is in alternate-function mode with the input's function selected
// (otherwise it sees the idle high level), each change with the time the device gave for it.
TEST_F(GpioTest, PeripheralInputSeesThePinOnlyThroughItsAlternateFunction)
{
    class Sender final : public sim::PinDevice {
    public:
        Drive drive(Picos) const override { return high ? Drive::High : Drive::Low; }
        bool announces_changes() const override { return true; }
        bool high = true;
    } sender;
    std::vector<std::pair<int, Picos>> seen;
    chip.gpioc.attach(5, &sender);
    chip.gpioc.connect_alternate_input(5, 7, [&](int level, Picos at) { seen.emplace_back(level, at); });
    EXPECT_EQ(chip.gpioc.motion(sim::gpio_reg::kIdr), sim::Motion::AtEvents);  // the sender announces its changes

    struct Case {
        const char* name;
        uint32_t mode;
        uint32_t af;
        bool connected;
    };
    const Case cases[] = {
        {"input", GPIO_MODE_INPUT, 0, false},
        {"alternate function 7", GPIO_MODE_AF_PP, 7, true},
        {"alternate function 8", GPIO_MODE_AF_PP, 8, false},
        {"analog", GPIO_MODE_ANALOG, 0, false},
    };
    for (const Case& c : cases) {
        init(GPIOC, GPIO_PIN_5, c.mode, GPIO_NOPULL, 0, c.af);
        seen.clear();
        const Picos edge = chip.now() - 1000;  // an event's own time, a little before now
        sender.high = false;
        chip.gpioc.external_changed(5, edge);
        EXPECT_EQ(chip.gpioc.level(5), 0) << c.name;
        EXPECT_EQ((GPIOC->IDR >> 5) & 1U, 0U) << c.name;
        const std::vector<std::pair<int, Picos>> expected =
            c.connected ? std::vector<std::pair<int, Picos>>{{0, edge}} : std::vector<std::pair<int, Picos>>{};
        EXPECT_EQ(seen, expected) << c.name;
        sender.high = true;
        chip.gpioc.external_changed(5, chip.now());
    }

    // Switched to the function while the line is low: the input sees the fall then, and the rise after.
    init(GPIOC, GPIO_PIN_5, GPIO_MODE_INPUT, GPIO_NOPULL);
    sender.high = false;
    chip.gpioc.external_changed(5);
    seen.clear();
    init(GPIOC, GPIO_PIN_5, GPIO_MODE_AF_PP, GPIO_NOPULL, 0, 7);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].first, 0);
    init(GPIOC, GPIO_PIN_5, GPIO_MODE_INPUT, GPIO_NOPULL);
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[1].first, 1);
}

}  // namespace
