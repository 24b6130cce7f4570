#include "board.h"

#include <algorithm>
#include <cstdio>

#include "gpio.h"

namespace sim {

namespace {

constexpr int kSwitchPin = 12;   // port B
constexpr int kOneWirePin = 13;  // port B
// What "noise" puts on the dashboard's line: 0xFF with a short low glitch in a data bit, as a spike on
// an otherwise high line would look to the receiver (the byte arrives, flagged NE).
constexpr uint8_t kNoiseByte = 0xFF;

Ds18b20Model::Fault fault_of(SensorCondition condition)
{
    switch (condition) {
        case SensorCondition::Ok:
            return Ds18b20Model::Fault::None;
        case SensorCondition::Absent:
            return Ds18b20Model::Fault::Absent;
        case SensorCondition::HeldLow:
            return Ds18b20Model::Fault::HeldLow;
        case SensorCondition::Corrupt:
            return Ds18b20Model::Fault::Corrupt;
    }
    return Ds18b20Model::Fault::None;
}

trace::OneWire onewire_event(const Ds18b20Model::Transaction& t)
{
    using Kind = Ds18b20Model::Transaction::Kind;
    trace::OneWire e;
    e.start = t.at;
    e.duration = t.duration;
    switch (t.kind) {
        case Kind::Reset:
            e.what = "reset";
            break;
        case Kind::Presence:
            e.what = "presence";
            break;
        case Kind::Written:
            e.what = "write";
            e.value = t.byte;
            break;
        case Kind::Read:
            e.what = "read";
            e.value = t.byte;
            break;
        case Kind::ConversionDone:
            e.what = "conversion";
            e.celsius = t.celsius;
            break;
        case Kind::Unsupported:
            e.what = "unsupported";
            e.value = t.byte;
            break;
    }
    return e;
}

}  // namespace

Board::Board(const BoardConfig& config)
    : chip(config.chip),
      dashboard(chip, chip.usart1),
      listener(chip, chip.usart2),
      onewire(chip.scheduler()),
      sensor(onewire),
      switch_model(chip.gpiob, kSwitchPin, config.switch_position)
{
    onewire.attach_to(chip.gpiob, kOneWirePin);
    sensor.set_temperature(config.celsius);
    // A day of measurements would keep millions of slot records; the trace takes what it needs.
    sensor.keep_records(false);
}

const std::vector<std::pair<char, int>>& Board::node_pins()
{
    static const std::vector<std::pair<char, int>> pins = {{'A', 0}, {'A', 9},  {'A', 10}, {'A', 2},
                                                           {'A', 3}, {'B', 12}, {'B', 13}, {'C', 13}};
    return pins;
}

void Board::record(Picos at, trace::Payload what)
{
    if (recording()) trace_->record(at, std::move(what));
}

void Board::observe(trace::Trace& trace)
{
    trace_ = &trace;
    auto on_pin = [this](char port, int pin, int level, bool driven, Picos at) {
        // The 1-Wire line changes hundreds of times a measurement: nothing is built unless someone listens.
        if (!recording() || !watched(port, pin)) return;
        record(at, trace::PinLevel{trace::pin_name(port, pin), level, driven});
    };
    chip.gpioa.on_state_change(on_pin);
    chip.gpiob.on_state_change(on_pin);
    chip.gpioc.on_state_change(on_pin);

    chip.on_reset([this](ResetCause cause, Picos at) { record(at, trace::Reset{std::string(to_string(cause))}); });
    dashboard.on_byte([this](const SerialPeer::Received& r) { record(r.time, trace::Tx{"USART1", r.byte}); });
    listener.on_byte([this](const SerialPeer::Received& r) { record(r.time, trace::Tx{"USART2", r.byte}); });

    chip.tim2.on_shape_change([this](const PwmShape& shape, Picos at) {
        trace::Pwm now{shape.period, shape.high};
        if (now.period == measured_.period && now.high == measured_.high) return;
        measured_ = now;
        record(at, now);
    });
    sensor.on_transaction([this](const Ds18b20Model::Transaction& t) {
        if (recording()) record(chip.now(), onewire_event(t));
    });
    sensor.on_violation([this](const Ds18b20Model::Violation& v) {
        record(v.at, trace::Violation{v.what, v.measured});
    });

    // Reception is live or not only through USART1's CR1/CR3 and the streams' state.
    chip.usart1.on_control_change([this] { update_rx_armed(); });
    chip.dma2.on_stream_change([this](int) { update_rx_armed(); });
    update_rx_armed();
    record_pin_states();
}

bool Board::watched(char port, int pin)
{
    if (port == 'A' && pin == 0) return false;  // the PWM pin: measured from the timer, not edge by edge
    const auto& pins = node_pins();
    return std::find(pins.begin(), pins.end(), std::pair{port, pin}) != pins.end();
}

void Board::record_pin_states()
{
    // Where every pin stands when watching begins (at reset: the LED's pin floating, not yet driven), so
    // that a reader knows each level before its first change.
    for (auto [port, pin] : node_pins()) {
        if (!watched(port, pin)) continue;
        record(chip.now(), trace::PinLevel{trace::pin_name(port, pin), level(port, pin), chip.gpio(port).driven(pin)});
    }
}

void Board::update_rx_armed()
{
    bool armed = false;
    if (chip.usart1.receiving() && chip.usart1.rx_dma_enabled())
        for (const soc::DmaRoute& r : soc::kUsart1.rx_dma) armed = armed || chip.dma2.serving(r.stream, r.channel);
    if (armed == rx_armed_) return;
    rx_armed_ = armed;
    record(chip.now(), trace::RxArmed{"USART1", armed});
}

void Board::stimulus(const char* verb, std::string text, int line)
{
    record(when(), trace::Stimulus{verb, std::move(text), line});
}

void Board::record_rx(const SerialPeer& peer, const char* port, const std::string& bytes, Picos end)
{
    if (!recording()) return;
    // Each byte is recorded when its stop bit ends, in time order with everything else.
    const Picos character = peer.char_time();
    for (size_t i = 0; i < bytes.size(); ++i) {
        Picos at = end - (bytes.size() - 1 - i) * character;
        auto byte = static_cast<uint8_t>(bytes[i]);
        chip.scheduler().schedule(at, [this, port, byte](Picos when) { record(when, trace::Rx{port, byte}); });
    }
}

void Board::send(const std::string& bytes, int line)
{
    stimulus("send", trace::printable(bytes), line);
    Picos end = dashboard.send(bytes, 0, when());
    record_rx(dashboard, "USART1", bytes, end);
}

void Board::relay(const std::string& bytes)
{
    Picos end = dashboard.send(bytes, 0, when());
    record_rx(dashboard, "USART1", bytes, end);
}

void Board::send_break(Picos length, int line)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", to_seconds(length) * 1000.0);
    stimulus("break", text, line);
    dashboard.send_break(length, when());
}

void Board::send_noise(int line)
{
    stimulus("noise", "", line);
    Picos end = dashboard.send_noisy(kNoiseByte, 3, when());
    record_rx(dashboard, "USART1", std::string(1, static_cast<char>(kNoiseByte)), end);
}

void Board::set_switch(SwitchPosition position, int line)
{
    stimulus("switch", to_string(position), line);
    switch_model.set(position);
}

void Board::set_temperature(double celsius, int line)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", celsius);
    stimulus("temp", text, line);
    sensor.set_temperature(celsius);
}

void Board::set_sensor(SensorCondition condition, int line)
{
    stimulus("sensor", to_string(condition), line);
    sensor.set_fault(fault_of(condition));
}

void Board::press_reset(int line)
{
    stimulus("reset", "", line);
    chip.request_reset(ResetCause::Pin, kResetPulse);
}

void Board::set_power(bool on, int line)
{
    stimulus("power", on ? "on" : "off", line);
    on ? chip.power_on() : chip.power_off();
}

void Board::brown_out(Picos length, int line)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", to_seconds(length) * 1000.0);
    stimulus("brownout", text, line);
    chip.request_reset(ResetCause::BrownOut, length);
}

void Board::inject_hard_fault(int line)
{
    stimulus("fault", "hardfault", line);
    chip.exceptions().set_pending(kHardFaultException);
}

void Board::stick_usart1_txe(int line)
{
    stimulus("stuck", "usart1-txe", line);
    chip.usart1.set_txe_stuck(true);
}

void Board::apply(const ScenarioStep& step)
{
    using Verb = ScenarioStep::Verb;
    applying_at_ = step.at;
    switch (step.verb) {
        case Verb::Send:
            send(step.bytes, step.line);
            break;
        case Verb::Break:
            send_break(step.length, step.line);
            break;
        case Verb::Noise:
            send_noise(step.line);
            break;
        case Verb::Switch:
            set_switch(step.position, step.line);
            break;
        case Verb::Temp:
            set_temperature(step.celsius, step.line);
            break;
        case Verb::Sensor:
            set_sensor(step.sensor, step.line);
            break;
        case Verb::Reset:
            press_reset(step.line);
            break;
        case Verb::Power:
            set_power(step.on, step.line);
            break;
        case Verb::Brownout:
            brown_out(step.length, step.line);
            break;
        case Verb::Fault:
            inject_hard_fault(step.line);
            break;
        case Verb::Stuck:
            stick_usart1_txe(step.line);
            break;
    }
    applying_at_ = kNever;
}

int Board::level(char port, int pin)
{
    return chip.gpio(port).level(pin);
}

trace::Pwm Board::pwm() const
{
    PwmShape shape = chip.tim2.pwm_shape();
    return {shape.period, shape.high};
}

void Board::pwm_edges(Picos from, Picos to, const std::function<void(Picos at, int level)>& edge)
{
    chip.tim2.edges(from, to, edge);
}

}  // namespace sim
