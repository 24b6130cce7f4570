// The dashboard protocol: the interpretation of received frames and the report texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "bus_spy.h"
#include "node_facts.h"
#include "pwm_board.h"
#include "uart_int_idle_dma.h"

namespace {

constexpr uint32_t kUntouched = 4321;  // a compare value no frame below produces

class DashboardTest : public test::PwmBoardTest {
protected:
    DashboardTest()
    {
        GPIO_InitTypeDef led{LED_Pin, GPIO_MODE_OUTPUT_PP, GPIO_NOPULL, GPIO_SPEED_FREQ_LOW, 0};
        HAL_GPIO_Init(LED_GPIO_Port, &led);
    }
    // A frame as reception leaves it: its bytes, then zeros.
    void recibe(const std::string& frame, int led_before = 1)
    {
        HAL_GPIO_WritePin(LED_GPIO_Port, LED_Pin, led_before ? GPIO_PIN_SET : GPIO_PIN_RESET);
        TIM2->CCR1 = kUntouched;
        std::memset(trama_rx, 0, sizeof trama_rx);
        std::memcpy(trama_rx, frame.data(), frame.size());
        procesa_rx();
    }
    int led() { return chip.gpioc.level(13); }
};

TEST_F(DashboardTest, LedCommandsAnywhereInTheFrame)
{
    for (const char* frame : {"V00=1", "!V00=1$", "V00=1\r\n", "V00=12"}) {
        recibe(frame, 1);
        EXPECT_EQ(led(), 0) << frame;
        EXPECT_EQ(TIM2->CCR1, kUntouched) << frame;
    }
    for (const char* frame : {"V00=0$", "xV00=0"}) {
        recibe(frame, 0);
        EXPECT_EQ(led(), 1) << frame;
    }
}

// "V00=1" is looked for first: a frame that holds both LED commands, in either order, lights the LED.
TEST_F(DashboardTest, FrameWithBothLedCommandsLightsTheLed)
{
    for (const char* frame : {"V00=0 V00=1", "V00=1 V00=0", "V00=0V00=1$"}) {
        recibe(frame, 1);
        EXPECT_EQ(led(), 0) << frame;
        EXPECT_EQ(TIM2->CCR1, kUntouched) << frame;
    }
}

TEST_F(DashboardTest, DutyIsTheLow16BitsOfTheNumberAfterTheFirstEquals)
{
    const std::pair<const char*, uint32_t> cases[] = {
        {"V01=75$", 15000},
        {"V01=75", 15000},
        {"V01=75\r\n", 15000},
        {"V01=$", 0},
        {"V01=", 0},
        {"V01=$$$", 0},
        {"V01=-1$", 13107000},
        {"V01=65536$", 0},
        {"V01=65636$", 20000},
        {"V01=-65436$", 20000},
        {"V01= +40$", 8000},
        {"==V01=5$", 1000},
        {"X=7 V01=40$", 1400},
        {"V01=99999999999$", 13107000},  // clamped to 2^31-1: low half 0xFFFF
        {"V01=-99999999999$", 0},        // clamped to -2^31: low half 0
    };
    for (auto [frame, compare] : cases) {
        recibe(frame);
        EXPECT_EQ(TIM2->CCR1, compare) << frame;
        EXPECT_EQ(led(), 1) << frame;
    }
    recibe("X=7 V01=40$");
    EXPECT_STREQ(procesa, "7 V01=40");
}

TEST_F(DashboardTest, OneActionPerFrameAndUnknownFramesIgnored)
{
    recibe("V00=0 V01=50$", 0);
    EXPECT_EQ(led(), 1);
    EXPECT_EQ(TIM2->CCR1, kUntouched);
    recibe("V01=50 V00=1$", 1);
    EXPECT_EQ(led(), 0);
    EXPECT_EQ(TIM2->CCR1, kUntouched);

    recibe("HOLA V02=5$");
    test::BusSpy spy(chip);
    procesa_rx();
    EXPECT_TRUE(spy.writes().empty());
}

TEST_F(DashboardTest, FullBufferIsReadNoFurtherThanItsEnd)
{
    std::memset(trama_rx, 'x', sizeof trama_rx);
    std::memcpy(trama_rx, "V01=42", 6);
    procesa_rx();
    EXPECT_EQ(TIM2->CCR1, 8400U);
}

// The judges and the dashboard read the node by node_facts.h, the firmware keeps its own literal text:
// the two are held equal here, where both are visible, so that a report or a command changed on one
// side alone fails.
TEST_F(DashboardTest, FirmwareSpeaksTheGrammarThePeersRead)
{
    for (float t : {23.56f, -0.0625f, -55.0f, 125.0f, 0.0f}) {
        formatea_temperatura(t);
        char want[32];
        std::snprintf(want, sizeof want, node_facts::kTemperatureFormat, static_cast<double>(t));
        EXPECT_STREQ(texto, want);
        const std::string_view report = texto;
        EXPECT_TRUE(report.starts_with(node_facts::kTemperatureTag) && report.back() == node_facts::kReportEnd)
            << report;
    }
    EXPECT_EQ(texto_interruptor(GPIO_PIN_SET), node_facts::kSwitchOn);
    EXPECT_EQ(texto_interruptor(GPIO_PIN_RESET), node_facts::kSwitchOff);

    recibe(std::string(node_facts::kLedOn), 1);
    EXPECT_EQ(led(), 0);
    recibe(std::string(node_facts::kLedOff), 0);
    EXPECT_EQ(led(), 1);
    recibe(std::string(node_facts::kDutyTag) + "40" + node_facts::kDutyEnd);
    EXPECT_EQ(TIM2->CCR1, 8000U);
}

TEST(DashboardReports, TemperatureWithOneDecimalHalfToEvenAndSwitchTexts)
{
    const std::pair<float, const char*> cases[] = {
        {23.56f, "!A00=23.6$"}, {23.25f, "!A00=23.2$"},   {23.75f, "!A00=23.8$"},  {-0.0625f, "!A00=-0.1$"},
        {85.0f, "!A00=85.0$"},  {25.0625f, "!A00=25.1$"}, {-55.0f, "!A00=-55.0$"}, {0.0f, "!A00=0.0$"},
    };
    for (auto [t, text] : cases) {
        formatea_temperatura(t);
        EXPECT_STREQ(texto, text);
    }
    EXPECT_STREQ(texto_interruptor(GPIO_PIN_SET), "!A01=1$");
    EXPECT_STREQ(texto_interruptor(GPIO_PIN_RESET), "!A01=0$");
}

}  // namespace
