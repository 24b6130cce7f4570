#include "serial_peer.h"

#include <algorithm>
#include <cmath>

namespace sim {

SerialPeer::SerialPeer(Chip& chip, Usart& port, double baud) : chip_(chip), rx_(chip.rx_pin(port)), baud_(baud)
{
    port.on_tx_char([this](uint16_t data, Picos start, Picos end) {
        Received r{end, start, static_cast<uint8_t>(data)};
        received_.push_back(r);
        for (auto& listener : byte_listeners_) listener(r);
    });
    rx_.port.attach(rx_.pin, this);
}

Picos SerialPeer::bit_time() const
{
    return static_cast<Picos>(std::llround(1e12 / baud_));
}

Picos SerialPeer::begin_at(Picos at) const
{
    return std::max({at, line_free_at_, chip_.now()});
}

std::string SerialPeer::received_text() const
{
    std::string text;
    for (const Received& r : received_) text.push_back(static_cast<char>(r.byte));
    return text;
}

Picos SerialPeer::send(const std::vector<uint8_t>& bytes, Picos gap, Picos at)
{
    Picos t = begin_at(at);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) t += gap;
        t = schedule_char(bytes[i], t, -1);
    }
    line_free_at_ = t;
    return t;
}

Picos SerialPeer::send(const std::string& text, Picos gap, Picos at)
{
    return send(std::vector<uint8_t>(text.begin(), text.end()), gap, at);
}

Picos SerialPeer::send_break(Picos duration, Picos at)
{
    const Picos start = begin_at(at);
    edge(start, 0);
    edge(start + duration, 1);
    line_free_at_ = start + duration;
    return line_free_at_;
}

Picos SerialPeer::send_noisy(uint8_t byte, int bit, Picos at)
{
    line_free_at_ = schedule_char(byte, begin_at(at), std::clamp(bit, 0, 7));
    return line_free_at_;
}

Picos SerialPeer::schedule_char(uint8_t byte, Picos start, int glitch_bit)
{
    // Boundaries are computed from the start of the character, so the rate carries no rounding drift.
    const double bit = 1e12 / baud_;
    auto at_bits = [&](double bits) { return start + static_cast<Picos>(std::llround(bits * bit)); };

    int level = 1;
    for (int i = 0; i < 10; ++i) {
        const int next = i == 0 ? 0 : (i == 9 ? 1 : (byte >> (i - 1)) & 1);
        if (next != level) edge(at_bits(i), next);
        level = next;
        if (glitch_bit >= 0 && i - 1 == glitch_bit) {
            // A spike of 1/16 bit around the middle sample: of the receiver's samples 8, 9 and 10 only
            // the middle one sees it.
            edge(at_bits(i + 7.5 / 16.0), 1 - level);
            edge(at_bits(i + 8.5 / 16.0), level);
        }
    }
    return at_bits(10);
}

void SerialPeer::edge(Picos at, int level)
{
    chip_.scheduler().schedule(at, [this, level](Picos when) { drive(level, when); });
}

void SerialPeer::drive(int level, Picos at)
{
    level_ = level;
    rx_.port.external_changed(rx_.pin, at);
}

}  // namespace sim
