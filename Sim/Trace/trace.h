// The record of everything visible from outside the chip: bytes on the serial lines, pin levels, the PWM
// waveform as a meter on A0 would see it, 1-Wire traffic as the sensor saw it, timing violations, the
// stimuli applied and how the run ended. Producers (the board, the scenario runner) record events into a
// Trace; the Trace hands each one to every sink (a JSON-lines file, a VCD file, the live console).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim_time.h"

namespace sim::trace {

// A byte the node sent on one of its serial ports ("USART1", "USART2"), at the end of its stop bit.
struct Tx {
    std::string port;
    uint8_t byte = 0;
};
// A byte the peer put on the node's receive line, at the end of its stop bit.
struct Rx {
    std::string port;
    uint8_t byte = 0;
};
// The level of one of the node's pins ("C13", 0 or 1): its level when observing begins (at reset), then
// each change of it, and each moment the chip's own output starts or stops driving it even when the
// level stays (C13 becomes an output already low: the LED lights although the level reads 0 before and
// after). `driven`: the chip's output buffer drives the pin (an output, or an alternate function with
// a level); false while only the board or a pull sets the level; unknown in traces from before it was
// recorded.
struct PinLevel {
    std::string pin;
    int level = 0;
    std::optional<bool> driven;
};
// The PWM output as a meter on its pin measures it. Constantly high: high == period; constantly low:
// high == 0; not running: period == 0.
struct Pwm {
    Picos period = 0;
    Picos high = 0;
};
// One exchange on the 1-Wire line as the sensor saw it: "reset", "presence", "write" or "read" (value:
// the byte), "conversion" (celsius: the temperature it latched), "unsupported" (value: the command).
// The event's time is when the exchange was complete; `start` and `duration` span it.
struct OneWire {
    std::string what;
    int value = -1;
    std::optional<double> celsius;
    Picos start = 0;
    Picos duration = 0;
};
// A master timing the sensor judged outside the datasheet's window.
struct Violation {
    std::string what;
    Picos measured = 0;
};
// A stimulus applied to the board (from a scenario line or the console).
struct Stimulus {
    std::string verb;
    std::string text;
    int line = 0;  // the scenario line, 0 for the console
};
// Something the simulator logged, such as an access to a register no model covers.
struct Note {
    std::string text;
};
// Whether a serial port's receive DMA is live: the port's receiver on, its DMA request enabled (CR3
// DMAR) and the stream routed to it enabled on the port's channel. A byte that completes while this is
// true is stored; one that completes while it is false stays in DR and is lost.
struct RxArmed {
    std::string port;
    bool armed = false;
};
// The node stopped for good (a fault loop, interrupts masked and the core spinning).
struct Halt {
    std::string reason;
};
// The chip was reset and the firmware starts again from its reset vector: `cause` "power-on", "pin",
// "software", "watchdog" or "brown-out" (at a power-off, "power-on": the reset the supply's return ends).
struct Reset {
    std::string cause;
};
// The run is over: "time limit", "halt", "interrupted".
struct End {
    std::string reason;
};

using Payload = std::variant<Tx, Rx, PinLevel, Pwm, OneWire, Violation, Stimulus, Note, Halt, End, RxArmed, Reset>;

struct Event {
    Picos t = 0;
    Payload what;
};

// The kind of an event as the trace files name it: "tx", "rx", "pin", "pwm", "onewire", "violation",
// "stimulus", "log", "halt", "end", "rx_armed", "reset".
const char* kind_of(const Payload& what);

// "C13" for port 'C', pin 13.
std::string pin_name(char port, int pin);

// Bytes of a serial line as readable text: control characters and bytes above 0x7E as C escapes
// (\r, \n, \t, \\, \xNN), the rest as they are.
std::string printable(const std::string& bytes);
// The bytes behind that text: \r \n \t \\ and \xNN resolved; a backslash before anything else stands
// for that character.
std::string unprintable(std::string_view text);

class Sink {
public:
    virtual ~Sink() = default;
    // Events arrive in the order of their times.
    virtual void record(const Event& event) = 0;
    // The run is over at `end`: write whatever is still owed up to that time and flush.
    virtual void finish(Picos end) { (void)end; }
};

class Trace {
public:
    // The sink must outlive the trace's use.
    void add(Sink& sink) { sinks_.push_back(&sink); }
    bool has_sinks() const { return !sinks_.empty(); }

    void record(Picos t, Payload what);
    void finish(Picos end);

private:
    std::vector<Sink*> sinks_;
    Picos last_ = 0;
};

// Keeps every event in memory (tests, summaries).
class Recorder final : public Sink {
public:
    void record(const Event& event) override { events.push_back(event); }
    std::vector<Event> events;
};

}  // namespace sim::trace
