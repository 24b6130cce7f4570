#include "elf_firmware.h"

#include <stdexcept>
#include <utility>

namespace sim::cpu {

ElfFirmware::ElfFirmware(ElfImage image, RunnerOptions options) : image_(std::move(image)), options_(options) {}

ElfFirmware::~ElfFirmware() = default;

void ElfFirmware::load(Board& board)
{
    if (runner_) {
        if (board_ != &board) throw std::logic_error("the image is loaded on another board");
        return;
    }
    runner_ = std::make_unique<ImageRunner>(board.chip, image_, options_);
    board_ = &board;
}

uint16_t ElfFirmware::listen_for_debugger(uint16_t port)
{
    if (!runner_) throw std::logic_error("load the image before listening for a debugger");
    debugger_ = std::make_unique<GdbServer>(*runner_, board_->chip, port);
    return debugger_->port();
}

RunEnd ElfFirmware::run(Board& board, Picos limit)
{
    try {
        load(board);
    } catch (const std::exception& error) {
        return {RunEnd::Kind::Failure, error.what(), board.chip.now()};
    }
    if (debugger_) {
        GdbServer::Outcome outcome;
        try {
            outcome = debugger_->serve(limit, [this] { runner_->reset(); });
        } catch (const std::exception& error) {
            return {RunEnd::Kind::Failure, error.what(), board.chip.now()};
        }
        debugger_.reset();
        switch (outcome.kind) {
            case GdbServer::Outcome::Kind::Ended:
                return outcome.end;
            case GdbServer::Outcome::Kind::Killed:
                return {RunEnd::Kind::Interrupted, "killed by the debugger", board.chip.now()};
            case GdbServer::Outcome::Kind::Detached:
                // The node runs on, as a board does when the probe lets go, unless it had ended.
                if (outcome.end.kind != RunEnd::Kind::TimeLimit || board.chip.now() >= limit) return outcome.end;
                break;
        }
    }
    return runner_->run(limit);
}

}  // namespace sim::cpu
