// A serial device (a USB adapter's /dev/ttyUSB0, or nodesim --pty's pseudo-terminal) opened as the
// dashboard link wants it: 9600 baud, 8 data bits, no parity, 1 stop bit, raw (no echo, no line editing,
// no CR/LF translation), no flow control, and non-blocking. It is locked (flock, as other serial programs
// do) and marked exclusive, so that two programs do not share one board's link.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

#include "file_descriptor.h"

namespace nodecheck {

// The device cannot be had: missing, not a terminal, busy, not permitted. Bad input: nothing has run.
class DeviceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SerialDevice {
public:
    // Throws DeviceError naming the device and what is wrong.
    explicit SerialDevice(const std::string& path);

    const std::string& path() const { return path_; }
    // Waits at most `timeout` for bytes; returns them (empty on a time-out). Throws std::runtime_error
    // when the device went away (the adapter unplugged, the simulator ended).
    std::string read(std::chrono::milliseconds timeout);
    // All of `bytes`, written as fast as the device takes them.
    void write(const std::string& bytes);
    // Holds the line low for at least `milliseconds` (the driver rounds up to a tenth of a second; a
    // pseudo-terminal carries no break at all).
    void send_break(int milliseconds);

private:
    std::string path_;
    nodesim::FileDescriptor fd_;
};

}  // namespace nodecheck
