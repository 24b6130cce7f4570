// A whole node on the bench: the chip and what is wired to its pins.
//   USART1 (A9 TX, A10 RX)  the dashboard peer: sends frames, breaks and noise, records the node's bytes
//   USART2 (A2 TX, A3 RX)   a listener that records the greeting
//   B13                     the DS18B20 on its 1-Wire line with the 4.7 kOhm pull-up
//   B12                     the switch: high, low or open (the pin's pull-down decides)
//   C13                     the LED (lit when the pin is low)
//   A0                      TIM2 channel 1's PWM output, measured from the timer's state
// Once observed, everything visible outside the chip goes to a trace as it happens.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "chip.h"
#include "ds18b20_model.h"
#include "onewire_bus.h"
#include "scenario.h"
#include "serial_peer.h"
#include "switch_model.h"
#include "trace.h"

namespace sim {

struct BoardConfig {
    ChipConfig chip;
    double celsius = 22.0;
    SwitchPosition switch_position = SwitchPosition::Floating;
};

class Board {
public:
    explicit Board(const BoardConfig& config = {});
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // From now on, reports to `trace` every byte on the serial lines, the level of each pin the node
    // uses (but the PWM's) now and at every change of it or of whether the chip drives it, every change
    // of the measured PWM waveform, the sensor's transactions and violations, and the simulator's log
    // lines. The trace must outlive the board's run.
    void observe(trace::Trace& trace);

    // Stimuli, each recorded in the trace as it is applied (`line`: the scenario line, 0 otherwise).
    void send(const std::string& bytes, int line = 0);
    // Bytes from a program attached to USART1's far end, on the line back to back as they come. Traced as
    // the peer's rx bytes only: they are the peer talking, not a stimulus applied to the board.
    void relay(const std::string& bytes);
    void send_break(Picos length, int line = 0);
    void send_noise(int line = 0);
    void set_switch(SwitchPosition position, int line = 0);
    void set_temperature(double celsius, int line = 0);
    void set_sensor(SensorCondition condition, int line = 0);
    // The reset button (NRST held low kResetPulse), the supply off and on, a dip below the brown-out
    // threshold for `length`, a HardFault taken at the core's next instruction boundary, and USART1's TXE
    // stuck clear until the next reset.
    void press_reset(int line = 0);
    void set_power(bool on, int line = 0);
    void brown_out(Picos length, int line = 0);
    void inject_hard_fault(int line = 0);
    void stick_usart1_txe(int line = 0);
    static constexpr Picos kResetPulse = microseconds(20);
    void apply(const ScenarioStep& step);

    // The pins the node uses, in the order a waveform viewer lists them.
    static const std::vector<std::pair<char, int>>& node_pins();
    int level(char port, int pin);
    // The PWM output as a meter on A0 sees it now, and its edges between two times.
    trace::Pwm pwm() const;
    void pwm_edges(Picos from, Picos to, const std::function<void(Picos at, int level)>& edge);

    Chip chip;
    SerialPeer dashboard;
    SerialPeer listener;
    OneWireBus onewire;
    Ds18b20Model sensor;
    SwitchModel switch_model;

private:
    void stimulus(const char* verb, std::string text, int line);
    bool recording() const { return trace_ != nullptr && trace_->has_sinks(); }
    void record(Picos at, trace::Payload what);
    void record_rx(const SerialPeer& peer, const char* port, const std::string& bytes, Picos end);
    // Records a change of USART1's receive side between live (a completed byte is stored by DMA) and not.
    void update_rx_armed();
    // A pin whose level changes the chip's GPIO reports (every pin the node uses but the PWM output).
    static bool watched(char port, int pin);
    // Each pin's level, and whether the chip drives it, as observing begins.
    void record_pin_states();

    // When the stimulus being applied is due: a scenario step's own time (the chip may be a bus access
    // past it when the event runs), or now.
    Picos when() const { return applying_at_ != kNever ? applying_at_ : chip.now(); }

    trace::Trace* trace_ = nullptr;
    trace::Pwm measured_{};
    bool rx_armed_ = false;
    Picos applying_at_ = kNever;
};

}  // namespace sim
