// The device at the other end of a serial port: the dashboard on USART1, the listener on USART2.
//
// It is wired to the port's RX pin, which it drives push-pull (high when idle), at its own bit rate (9600
// baud unless told otherwise, so a peer 2 % fast is a different rate from the port's 9599.69), 8N1, with
// chosen gaps between characters; the port's receiver reads that pin through the GPIO port. It can hold
// the line low for a break (the port sees a character with a low stop bit: FE) and put a short glitch
// into a data bit (the port's three samples disagree: NE). Every level change is one scheduled event,
// announced to the pin's port with its time.
//
// It records what the node sends, with times, and tells listeners of each byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chip.h"
#include "node_facts.h"
#include "pin_wiring.h"

namespace sim {

class SerialPeer final : public PinDevice {
public:
    struct Received {
        Picos time;   // when the stop bit ended
        Picos start;  // when the start bit began
        uint8_t byte;
    };

    // Wired to `port`'s RX pin for as long as the chip runs (as everything on the board is).
    SerialPeer(Chip& chip, Usart& port, double baud = node_facts::kBaud);
    SerialPeer(const SerialPeer&) = delete;
    SerialPeer& operator=(const SerialPeer&) = delete;

    void set_baud(double baud) { baud_ = baud; }
    double baud() const { return baud_; }
    // One bit and one 8N1 character at the peer's rate.
    Picos bit_time() const;
    Picos char_time() const { return node_facts::kBitsPerCharacter * bit_time(); }

    // Sends the bytes from `at` (or as soon as the line is free, if later), leaving `gap` of idle line
    // between characters. Returns when the last stop bit ends.
    Picos send(const std::vector<uint8_t>& bytes, Picos gap = 0, Picos at = 0);
    Picos send(const std::string& text, Picos gap = 0, Picos at = 0);
    // Holds the line low for `duration`, then releases it.
    Picos send_break(Picos duration, Picos at = 0);
    // Sends one byte with a glitch of 1/16 bit in the middle of data bit `bit` (0-7): the value arrives
    // intact, but the receiver's samples of that bit disagree.
    Picos send_noisy(uint8_t byte, int bit = 3, Picos at = 0);
    // When the line is free for the next character.
    Picos line_free_at() const { return line_free_at_; }
    int line_level() const { return level_; }

    // What the node sent.
    const std::vector<Received>& received() const { return received_; }
    std::string received_text() const;
    void clear_received() { received_.clear(); }
    void on_byte(std::function<void(const Received&)> listener) { byte_listeners_.push_back(std::move(listener)); }

    // PinDevice
    Drive drive(Picos) const override { return level_ ? Drive::High : Drive::Low; }
    bool announces_changes() const override { return true; }

private:
    Picos begin_at(Picos at) const;
    // Schedules one character's level changes from `start`; returns its end.
    Picos schedule_char(uint8_t byte, Picos start, int glitch_bit);
    void drive(int level, Picos at);
    void edge(Picos at, int level);

    Chip& chip_;
    Chip::Pin rx_;
    double baud_;
    Picos line_free_at_ = 0;
    int level_ = 1;
    std::vector<Received> received_;
    std::vector<std::function<void(const Received&)>> byte_listeners_;
};

}  // namespace sim
