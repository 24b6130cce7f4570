// What the node shows to the outside, in one place for everyone who judges or talks to it (the soak
// checker, the scenario judge, nodecheck, the sweep, the dashboard): its greeting, the grammar of its
// reports and of the commands it takes, the timing of its serial lines and the length of its report
// cycle. The firmware keeps its own literal text (it depends on nothing outside Core/ and Platform/);
// the host build's tests hold its output equal to what is written here.
#pragma once

#include <cstdint>
#include <string_view>

namespace node_facts {

// ---------------------------------------------------------------------------------------------------
// Text on the serial lines.

// Sent once after every start, on USART2 first, then on USART1 (the dashboard's port).
inline constexpr std::string_view kGreeting = "Hola\r\n";

// Reports on USART1, nothing around them: each starts with '!' and ends with '$'.
inline constexpr char kReportEnd = '$';
// The temperature in degrees Celsius with one decimal ("!A00=23.6$", "!A00=-0.1$"); the node leaves it
// out of a cycle whose reading failed.
inline constexpr std::string_view kTemperatureTag = "!A00=";
inline constexpr const char* kTemperatureFormat = "!A00=%.1f$";
// The switch on B12, every cycle after the temperature: the digit is the pin's level.
inline constexpr std::string_view kSwitchTag = "!A01=";
inline constexpr std::string_view kSwitchOff = "!A01=0$";
inline constexpr std::string_view kSwitchOn = "!A01=1$";

// Commands from the dashboard, found anywhere in a received frame: the LED on C13 lit (pin low) or
// dark, the PWM duty in percent from the text after the first '=' up to the next '$'.
inline constexpr std::string_view kLedOn = "V00=1";
inline constexpr std::string_view kLedOff = "V00=0";
inline constexpr std::string_view kDutyTag = "V01=";
inline constexpr char kDutyEnd = '$';

// ---------------------------------------------------------------------------------------------------
// The serial lines: 9600 baud, 8 data bits, no parity, one stop bit on both ports.

inline constexpr unsigned kBaud = 9600;
inline constexpr unsigned kBitsPerCharacter = 10;  // start, 8 data, stop
inline constexpr uint64_t kPicosPerSecond = 1'000'000'000'000ULL;

// A peer at exactly 9600 baud (the dashboard, a terminal): a character is 1.0417 ms on its line.
inline constexpr double kPeerCharSeconds = static_cast<double>(kBitsPerCharacter) / kBaud;
// In picoseconds truncated: 1 041 666 666 (the simulated peer rounds its bit instead, 104 166 667 ps,
// and so takes 4 ps longer a character).
inline constexpr uint64_t kPeerCharPicos = kPicosPerSecond * kBitsPerCharacter / kBaud;

// The node's USART1 divides its 100 MHz clock by 16 x 651.0625 (BRR 0x28B1): a bit is 10417 cycles,
// 104.17 us (9599.7 baud), a character 1.0417 ms.
inline constexpr unsigned kPortBitCycles = 10417;
inline constexpr uint64_t kPortClockHz = 100'000'000;
inline constexpr double kPortBitSeconds = kPortBitCycles / static_cast<double>(kPortClockHz);
inline constexpr uint64_t kPortBitPicos = kPortBitCycles * (kPicosPerSecond / kPortClockHz);  // 104 170 000
inline constexpr uint64_t kPortCharPicos = kBitsPerCharacter * kPortBitPicos;
// The receiver has a character once it has sampled the middle of its stop bit, 9.5625 bit times
// after the start edge; a break's low stop bit is judged at that moment too.
inline constexpr double kStopSampledBits = 9.5625;

// ---------------------------------------------------------------------------------------------------
// The report cycle: the 1-Wire reset and conversion command (5 ms), the 0.8 s conversion wait, the
// reading and the reports (about 18 ms at 9600 baud), then a 4 s wait; about 4.83 s in all.

inline constexpr double kCycleWaitSeconds = 4.0;
inline constexpr double kReportCycleSeconds = 4.83;

}  // namespace node_facts
