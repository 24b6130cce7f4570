// DMA2 model: the controller and its eight streams, each with its own interrupt line (the chip's layout,
// soc_layout.h, gives the address and the lines).
//
// A stream serves the request line (dma_request.h) of the peripheral its channel selection (CHSEL) picks:
// a peripheral's line is routed to a stream and channel at wiring time (connect_dma(), the streams its
// layout entry names), and tells the controller when it rises (for a serial port's receiver: a character
// waiting in DR while DMAR is set). Each
// request moves one data item from PAR to the memory address a few bus cycles later, through the chip's
// bus-master path; reading the peripheral's data register is what lowers its request. NDTR counts down; HTIF sets when
// half the items have moved, TCIF when NDTR reaches 0, where a normal-mode stream disables itself and a
// circular one reloads NDTR and starts over.
//
// Clearing EN is not immediate: the item in progress is finished first, so EN reads back 1 for a few
// cycles (a short event), then 0, and TCIF sets to mark the stream stopped, as on the chip. Configuration
// bits, NDTR and the addresses are writable only while the stream is disabled; the interrupt enables are
// writable at any time.
//
// Faults for tests: a transfer error (TEIF, the stream disables itself), a direct-mode error (DMEIF, the
// stream goes on) and a stream that never reports itself disabled.
//
// Left out: memory-to-peripheral and memory-to-memory transfers, the FIFO (a stream in FIFO mode moves
// items as in direct mode), bursts, double-buffer mode's target switch, stream priorities and arbitration
// between streams, and DMA1.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "chip_context.h"
#include "dma_request.h"
#include "peripheral.h"
#include "timer.h"

namespace sim {

// Register offsets and bits (the reference manual's names).
namespace dma_reg {

// Stream registers, from the stream's block at 0x10 + 0x18 * x.
inline constexpr uint32_t kCr = 0x00, kNdtr = 0x04, kPar = 0x08, kM0ar = 0x0C, kM1ar = 0x10, kFcr = 0x14;

// SxCR bits.
inline constexpr uint32_t kEn = 1U << 0, kDmeie = 1U << 1, kTeie = 1U << 2, kHtie = 1U << 3, kTcie = 1U << 4;
inline constexpr uint32_t kInterruptEnables = kDmeie | kTeie | kHtie | kTcie;  // writable while enabled
inline constexpr uint32_t kCirc = 1U << 8, kPinc = 1U << 9, kMinc = 1U << 10, kPincos = 1U << 15;
inline constexpr uint32_t kDbm = 1U << 18, kCt = 1U << 19;
// SxCR fields.
inline constexpr Field kDirField{6, 2}, kPsize{11, 2}, kChsel{25, 3};
inline constexpr uint32_t kCrWritable = 0x0FEFFFFFU;  // bit 20 is reserved, bits 28-31 too
// SxFCR bits.
inline constexpr uint32_t kFeie = 1U << 7, kDmdis = 1U << 2;
inline constexpr uint32_t kFifoEmpty = 4U << 3;  // FS reads "empty": no item waits in a FIFO in this model

// A stream's flags, as they sit in its field of LISR/HISR.
inline constexpr uint32_t kFeif = 0x01, kDmeif = 0x04, kTeif = 0x08, kHtif = 0x10, kTcif = 0x20;
inline constexpr uint32_t kAllFlags = kFeif | kDmeif | kTeif | kHtif | kTcif;
// Where stream x's field starts in LISR (x = 0..3) or HISR (x = 4..7).
inline constexpr int kFlagShift[4] = {0, 6, 16, 22};

}  // namespace dma_reg

class DmaController : public Peripheral {
public:
    DmaController(ChipContext& chip, const soc::Block& block);
    void reset() override;

    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;

    static constexpr int kStreams = 8;

    // Wiring: the request line of a peripheral reaches `stream` on `channel`.
    void route(int stream, int channel, const DmaRequest& line);
    // A line routed to `stream` may have risen: serve it if the stream is enabled on that channel.
    void request(int stream);

    // Faults.
    void inject_transfer_error(int stream);
    void inject_direct_mode_error(int stream);
    void set_stuck_enabled(int stream, bool stuck);  // EN never reads back 0

    bool enabled(int stream) const { return streams_[stream].state != State::Disabled; }
    // The stream is enabled (not stopping) and moves peripheral-to-memory items on `channel`: a request
    // on that channel is served.
    bool serving(int stream, int channel) const;
    // Told whenever a stream is enabled, begins or finishes stopping, or ends its transfer.
    void on_stream_change(std::function<void(int stream)> listener) { stream_listener_ = std::move(listener); }
    uint32_t flags(int stream) const { return streams_[stream].flags; }

private:
    enum class State : uint8_t { Disabled, Enabled, Stopping };
    struct Route {
        int channel;
        const DmaRequest* line;
    };
    struct Stream {
        uint32_t cr = 0, ndtr = 0, par = 0, m0ar = 0, m1ar = 0, fcr = 0x21;
        uint32_t flags = 0;  // FEIF, DMEIF, TEIF, HTIF, TCIF at bits 0, 2, 3, 4, 5
        State state = State::Disabled;
        uint32_t items = 0;  // NDTR when the stream was enabled (or reloaded)
        uint32_t moved = 0;  // items moved since then
        bool half_flagged = false;
        bool stuck = false;
        bool irq_level = false;
        std::vector<Route> routes;
    };

    // Register hooks.
    uint32_t read_flags(int first_stream) const;
    void clear_flags(int first_stream, uint32_t value);
    uint32_t read_control(int index) const;
    void write_control(int index, uint32_t value);
    void write_fifo_control(int index, uint32_t value);
    // NDTR and the addresses: writable only while the stream is disabled.
    void write_protected(int index, uint32_t Stream::*reg, uint32_t value);
    static std::span<const Register<DmaController>> register_table();
    template <int S>
    static constexpr std::array<Register<DmaController>, 6> stream_registers();

    void enable(int index);
    void begin_stop(int index);
    void finish_stop(int index);
    bool requesting(const Stream& stream) const;
    void schedule_transfer(int index);
    void transfer(int index);
    void update_irq(int index);

    void changed(int index)
    {
        if (stream_listener_) stream_listener_(index);
    }

    ChipContext& chip_;
    std::span<const int> irqs_;  // one interrupt line per stream
    // Every register is a hook onto the streams' state below: their words hold nothing.
    RegisterMap<DmaController> regs_;
    std::array<Stream, kStreams> streams_{};
    // Per stream: the served request's item moving, and a cleared EN taking effect.
    std::array<Timer, kStreams> transfer_timers_;
    std::array<Timer, kStreams> stop_timers_;
    std::function<void(int)> stream_listener_;
};

// Routes a peripheral's request line to the streams of a DMA controller that its entry in the chip's
// layout names: each stream sees the line, and each rise of the line is a request to them.
void connect_dma(DmaRequest& line, DmaController& dma, std::span<const soc::DmaRoute> routes);

}  // namespace sim
