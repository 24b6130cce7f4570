#include "switch_model.h"

#include "gpio.h"

namespace sim {

std::optional<SwitchPosition> parse_switch_position(std::string_view text)
{
    if (text == "0") return SwitchPosition::Low;
    if (text == "1") return SwitchPosition::High;
    if (text == "float") return SwitchPosition::Floating;
    return std::nullopt;
}

const char* to_string(SwitchPosition position)
{
    switch (position) {
        case SwitchPosition::Low:
            return "0";
        case SwitchPosition::High:
            return "1";
        case SwitchPosition::Floating:
            return "float";
    }
    return "?";
}

SwitchModel::SwitchModel(GpioPort& port, int pin, SwitchPosition initial) : port_(port), pin_(pin), position_(initial)
{
    port_.attach(pin_, this);
}

void SwitchModel::set(SwitchPosition position)
{
    if (position == position_) return;
    position_ = position;
    port_.external_changed(pin_);
}

Drive SwitchModel::drive(Picos) const
{
    switch (position_) {
        case SwitchPosition::Low:
            return Drive::Low;
        case SwitchPosition::High:
            return Drive::High;
        case SwitchPosition::Floating:
            return Drive::None;
    }
    return Drive::None;
}

}  // namespace sim
