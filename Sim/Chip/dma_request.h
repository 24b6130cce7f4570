// One DMA request line of a peripheral: high while the peripheral wants a data item moved (a receiver
// with a character waiting in its data register and its DMA enable set; an SPI or I2C controller's
// receive or transmit buffer would be the same). The peripheral sets the level whenever what it depends
// on changes; a DMA controller routed to the line (connect_dma() in dma.h) is told each time it rises and
// asks its level before each item. The item itself moves between the addresses the firmware programmed
// into the stream (the peripheral's data register among them) through the chip's bus-master path, as on
// the chip: reading the data register is what lowers a receiver's request.
#pragma once

#include <functional>
#include <utility>

namespace sim {

class DmaRequest {
public:
    bool high() const { return high_; }
    void set(bool high)
    {
        const bool rose = high && !high_;
        high_ = high;
        if (rose && on_rise_) on_rise_();
    }
    // Told each time the line rises (one listener: the controller it is routed to).
    void on_rise(std::function<void()> listener) { on_rise_ = std::move(listener); }

private:
    bool high_ = false;
    std::function<void()> on_rise_;
};

}  // namespace sim
