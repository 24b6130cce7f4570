// The switch on B12. Closed to 3.3 V it drives the line high, closed to ground it drives it low, open it
// drives nothing and the pin's own pull-down (configured by the firmware) decides: the node reports
// "1" only for a line that reads high.
#pragma once

#include <optional>
#include <string_view>

#include "pin_wiring.h"

namespace sim {

class GpioPort;

enum class SwitchPosition { Low, High, Floating };

// "0", "1" or "float", as the command line and scenarios write it.
std::optional<SwitchPosition> parse_switch_position(std::string_view text);
const char* to_string(SwitchPosition position);

class SwitchModel final : public PinDevice {
public:
    // Attaches itself to `pin` of `port`.
    SwitchModel(GpioPort& port, int pin, SwitchPosition initial);

    // Moves the switch; the port re-resolves the pin's level at once.
    void set(SwitchPosition position);
    SwitchPosition position() const { return position_; }

    Drive drive(Picos now) const override;

private:
    GpioPort& port_;
    int pin_;
    SwitchPosition position_;
};

}  // namespace sim
