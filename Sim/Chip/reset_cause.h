// The kinds of reset the STM32F411 knows, and the flags each leaves in RCC_CSR for the firmware to read.
//
// Every reset drives the NRST pin low for at least 20 us (the pulse generator of the reset circuit), so
// PINRSTF is set by all of them, not only by a press of the reset button: the firmware tells the cause by
// the other flags first. A power-on sets PORRSTF and BORRSTF (the brown-out detector holds the chip until
// the supply has risen past its threshold); the flags after power-on are the register's reset value,
// 0x0E000000.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

enum class ResetCause : uint8_t { PowerOn, Pin, Software, Watchdog, BrownOut };

namespace rcc_csr {
inline constexpr uint32_t kLsiOn = 1U << 0;
inline constexpr uint32_t kLsiRdy = 1U << 1;
inline constexpr uint32_t kRmvf = 1U << 24;
inline constexpr uint32_t kBorRstf = 1U << 25;
inline constexpr uint32_t kPinRstf = 1U << 26;
inline constexpr uint32_t kPorRstf = 1U << 27;
inline constexpr uint32_t kSftRstf = 1U << 28;
inline constexpr uint32_t kIwdgRstf = 1U << 29;
inline constexpr uint32_t kWwdgRstf = 1U << 30;
inline constexpr uint32_t kLpwrRstf = 1U << 31;
inline constexpr uint32_t kResetFlags = 0xFE000000U;
}  // namespace rcc_csr

// The flags a reset of this kind sets.
constexpr uint32_t reset_flags_of(ResetCause cause)
{
    using namespace rcc_csr;
    switch (cause) {
        case ResetCause::PowerOn:
            return kPorRstf | kBorRstf | kPinRstf;
        case ResetCause::Pin:
            return kPinRstf;
        case ResetCause::Software:
            return kSftRstf | kPinRstf;
        case ResetCause::Watchdog:
            return kIwdgRstf | kPinRstf;
        case ResetCause::BrownOut:
            return kBorRstf | kPinRstf;
    }
    return kPinRstf;
}

// A power-on loses RAM and the reset flags; every other kind is a system reset, which keeps both.
constexpr bool loses_ram(ResetCause cause)
{
    return cause == ResetCause::PowerOn;
}

// The name the trace, the console and the scenarios use: "power-on", "pin", "software", "watchdog",
// "brown-out" (the same words the firmware reports on USART2).
constexpr std::string_view to_string(ResetCause cause)
{
    switch (cause) {
        case ResetCause::PowerOn:
            return "power-on";
        case ResetCause::Pin:
            return "pin";
        case ResetCause::Software:
            return "software";
        case ResetCause::Watchdog:
            return "watchdog";
        case ResetCause::BrownOut:
            return "brown-out";
    }
    return "?";
}

constexpr std::optional<ResetCause> reset_cause_named(std::string_view name)
{
    for (ResetCause cause :
         {ResetCause::PowerOn, ResetCause::Pin, ResetCause::Software, ResetCause::Watchdog, ResetCause::BrownOut})
        if (to_string(cause) == name) return cause;
    return std::nullopt;
}

}  // namespace sim
