// A GDB remote-protocol server for the emulated core: registers (core, FP and the stack pointers, with
// a target description of an M-profile core with an FPU), memory (a peripheral register read goes
// through its model), breakpoints, single step, continue, Ctrl-C, and `monitor reset`. Virtual time
// stands still while the node is halted. One debugger at a time, on the loopback interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "chip.h"
#include "image_runner.h"

namespace sim::cpu {

class GdbServer {
public:
    // Listens on 127.0.0.1:`port` (0: a free port). Throws std::runtime_error when it cannot.
    GdbServer(ImageRunner& runner, Chip& chip, uint16_t port);
    ~GdbServer();
    GdbServer(const GdbServer&) = delete;
    GdbServer& operator=(const GdbServer&) = delete;

    uint16_t port() const { return port_; }

    struct Outcome {
        enum class Kind {
            Detached,  // the debugger left; the caller runs the node on
            Killed,    // the debugger ended the node
            Ended,     // the run ended (time limit, halt or failure): `end`
        };
        Kind kind = Kind::Detached;
        RunEnd end;
    };
    // Waits for a debugger, then runs the node (halted at first) as it says, up to virtual time `limit`.
    // `reset` puts the node back to its reset state for `monitor reset`.
    Outcome serve(Picos limit, const std::function<void()>& reset);

private:
    // One packet's answer; sets `running_` for c, and `outcome_` when the session ends.
    std::string handle(const std::string& packet, const std::function<void()>& reset);
    std::string read_registers();
    std::string read_register(unsigned number);
    bool write_register(unsigned number, const std::string& bytes);
    std::string monitor(const std::string& command, const std::function<void()>& reset);
    std::string stop_reply(const RunEnd& end);
    void send(const std::string& data);
    void send_raw(const std::string& bytes);
    bool receive_some(int timeout_ms);  // false when the debugger went away

    ImageRunner& runner_;
    Chip& chip_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::string input_;
    std::vector<uint32_t> breakpoints_;
    bool running_ = false;
    bool session_over_ = false;
    Outcome outcome_;
};

}  // namespace sim::cpu
