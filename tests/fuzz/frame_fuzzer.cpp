// Fuzzes the interpretation of one received frame (procesa_rx) on the simulated chip, and compares the
// LED pin, the PWM compare value and the measured waveform with a reference of the command rules
// written here from the protocol's description, not from the firmware.
//
// An input of up to 50 bytes is a frame as reception delivers it: its bytes, then zeros in the 100-byte
// buffer (a frame is cut at 50 bytes). A longer input fills the whole buffer (repeated if shorter than
// 100 bytes), so most such buffers hold no zero byte at all: nothing may be read past the buffer's end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PWMB.h"
#include "board_clocks.h"
#include "chip.h"
#include "firmware_globals.h"
#include "host_firmware.h"
#include "main.h"
#include "system_stm32f4xx.h"
#include "uart_int_idle_dma.h"

namespace {

constexpr size_t kLongestFrame = 50;         // reception cuts a burst at the half-buffer event
constexpr uint32_t kSentinelCompare = 4321;  // not a multiple of 200: no frame sets it
constexpr uint32_t kReload = 20000;          // TIM2's auto-reload: a period of 20001 us at 1 MHz

// What a frame should do, worked out from the rules alone.
struct Expected {
    enum class Action { None, LedOn, LedOff, Duty } action = Action::None;
    uint16_t duty = 0;       // the number after the first "=", reduced to its low 16 bits
    std::string value_text;  // what the work buffer holds afterwards
};

bool is_c_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Leading white space, one sign, then digits up to the first non-digit; outside the signed 32-bit
// range the nearer end of it.
int32_t whole_number(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && is_c_space(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > (int64_t{1} << 32)) magnitude = int64_t{1} << 32;  // already out of range
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

Expected reference(const uint8_t (&buffer)[trama_size])
{
    std::string text;
    for (size_t i = 0; i < trama_size && buffer[i] != 0; ++i) text.push_back(static_cast<char>(buffer[i]));

    Expected e;
    if (text.find("V00=1") != std::string::npos) {
        e.action = Expected::Action::LedOn;
    } else if (text.find("V00=0") != std::string::npos) {
        e.action = Expected::Action::LedOff;
    } else if (text.find("V01=") != std::string::npos) {
        e.action = Expected::Action::Duty;
        // The name ends at the first "=" after any leading ones; the value runs from after it, past
        // leading "$", up to the next "$" or the end.
        size_t name = text.find_first_not_of('=');
        size_t value = text.find_first_not_of('$', text.find('=', name) + 1);
        if (value != std::string::npos) e.value_text = text.substr(value, text.find('$', value) - value);
        if (e.value_text.size() > 99) e.value_text.resize(99);  // the work buffer holds 99 and a zero
        e.duty = static_cast<uint16_t>(static_cast<uint32_t>(whole_number(e.value_text)));
    }
    return e;
}

[[noreturn]] void mismatch(const uint8_t (&buffer)[trama_size], const char* what, long got, long want)
{
    std::fprintf(stderr, "frame fuzzer: %s: got %ld, expected %ld\nframe:", what, got, want);
    for (uint8_t b : buffer) std::fprintf(stderr, " %02x", b);
    std::fprintf(stderr, "\n");
    std::abort();
}

void check(bool ok, const uint8_t (&buffer)[trama_size], const char* what, long got, long want)
{
    if (!ok) mismatch(buffer, what, got, want);
}

// The high time a meter on A0 sees for a duty value: 0 constantly low, 1 to 100 that many percent of
// 20000 timer ticks of 1 us, above 100 constantly high (the compare value lies beyond the reload).
sim::Picos expected_high(uint16_t duty, sim::Picos period)
{
    if (duty > 100) return period;
    return sim::microseconds(200ULL * duty);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    test::reset_firmware_globals();
    sim::Chip chip;
    sim::HostFirmware::install_vectors(chip);
    // The board's own set-up of the LED pin and of TIM2 (1 us ticks, reload 20000), with the core at
    // 100 MHz as after the clock configuration.
    test::run_core_at_100_mhz(chip);
    MX_GPIO_Init();
    MX_TIM2_Init();
    PWM_init(&PWM1);

    std::memset(trama_rx, 0, sizeof trama_rx);
    if (size <= kLongestFrame) {
        std::memcpy(trama_rx, data, size);
    } else {
        for (size_t i = 0; i < trama_size; ++i) trama_rx[i] = data[i % size];
    }
    const Expected want = reference(trama_rx);

    // The LED starts at the level the command would not leave, so that doing nothing shows; a frame
    // with no LED command finds it at a level taken from the input.
    int led_before = (size > 0 ? data[size - 1] : 0) & 1;
    if (want.action == Expected::Action::LedOn) led_before = 1;
    if (want.action == Expected::Action::LedOff) led_before = 0;
    HAL_GPIO_WritePin(LED_GPIO_Port, LED_Pin, led_before ? GPIO_PIN_SET : GPIO_PIN_RESET);
    TIM2->CCR1 = kSentinelCompare;
    std::memset(procesa, 0x55, sizeof procesa);

    uint8_t frame_before[trama_size];
    std::memcpy(frame_before, trama_rx, sizeof trama_rx);
    procesa_rx();

    check(std::memcmp(frame_before, trama_rx, sizeof trama_rx) == 0, frame_before, "frame buffer changed", 1, 0);
    const int led = chip.gpioc.level(13);
    const uint32_t compare = TIM2->CCR1;
    switch (want.action) {
        case Expected::Action::None:
            check(led == led_before, frame_before, "LED changed by an unknown frame", led, led_before);
            check(compare == kSentinelCompare, frame_before, "compare changed by an unknown frame", compare,
                  kSentinelCompare);
            break;
        case Expected::Action::LedOn:
        case Expected::Action::LedOff: {
            const int lit_level = want.action == Expected::Action::LedOn ? 0 : 1;  // the LED is lit when low
            check(led == lit_level, frame_before, "LED level", led, lit_level);
            check(compare == kSentinelCompare, frame_before, "compare changed by an LED command", compare,
                  kSentinelCompare);
            break;
        }
        case Expected::Action::Duty: {
            check(led == led_before, frame_before, "LED changed by a duty command", led, led_before);
            // 1 to 100 percent give exactly 200 ticks a percent. Above 100 only the constantly high output
            // counts: the product (up to 1.3e9) is rounded to float on the way, so it may miss by a tick or two.
            const uint32_t want_compare = kReload / 100U * want.duty;
            if (want.duty <= 100) {
                check(compare == want_compare, frame_before, "compare value", compare, want_compare);
            } else {
                check(compare > kReload && compare + 2 >= want_compare && compare <= want_compare + 2, frame_before,
                      "compare value above the reload", compare, want_compare);
            }
            check(std::memchr(procesa, 0, sizeof procesa) != nullptr, frame_before, "work buffer unterminated", 0, 1);
            check(want.value_text == procesa, frame_before, "value text in the work buffer (lengths)",
                  static_cast<long>(std::strlen(procesa)), static_cast<long>(want.value_text.size()));
            // The new compare value takes effect at the next update: measure one whole period later.
            chip.run_until(chip.now() + sim::microseconds(2 * (kReload + 1)));
            const sim::PwmShape shape = chip.tim2.pwm_shape();
            check(shape.period == sim::microseconds(kReload + 1), frame_before, "PWM period (us)",
                  static_cast<long>(shape.period / sim::kPicosPerMicro), kReload + 1);
            check(shape.high == expected_high(want.duty, shape.period), frame_before, "PWM high time (us)",
                  static_cast<long>(shape.high / sim::kPicosPerMicro),
                  static_cast<long>(expected_high(want.duty, shape.period) / sim::kPicosPerMicro));
            break;
        }
    }
    if (want.action != Expected::Action::Duty) {
        for (char c : procesa) check(c == 0x55, frame_before, "work buffer written without a duty command", c, 0x55);
    }
    return 0;
}
