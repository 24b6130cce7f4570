// The flashable image as the node's firmware: programmed into the board's chip and executed by the
// emulated core (ImageRunner), optionally under a debugger that attaches over the GDB remote protocol
// the way one attaches to a board through its debug probe.
#pragma once

#include <cstdint>
#include <memory>

#include "elf_image.h"
#include "firmware.h"
#include "gdb_server.h"
#include "image_runner.h"

namespace sim::cpu {

class ElfFirmware final : public Firmware {
public:
    explicit ElfFirmware(ElfImage image, RunnerOptions options = {});
    ~ElfFirmware() override;

    // Programs the image into `board`'s chip ahead of the run (run() does it otherwise). Throws
    // std::runtime_error when the image does not fit the chip's memories.
    void load(Board& board);
    // After load(): listens for a debugger on 127.0.0.1:`port` (0: a free port) and returns the port.
    // The run then waits for the debugger, starts halted at the reset vector and goes as it says; once
    // it detaches the node runs on. Throws std::runtime_error when the port cannot be had.
    uint16_t listen_for_debugger(uint16_t port);

    RunEnd run(Board& board, Picos limit) override;

    const ElfImage& image() const { return image_; }
    // After load(): the runner, to attach a watcher of the core (a profiler) to.
    ImageRunner& runner() { return *runner_; }

private:
    ElfImage image_;
    RunnerOptions options_;
    Board* board_ = nullptr;
    std::unique_ptr<ImageRunner> runner_;
    std::unique_ptr<GdbServer> debugger_;
};

}  // namespace sim::cpu
