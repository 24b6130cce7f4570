#include "dma.h"

#include <cstdio>
#include <string>

#include "usart.h"

namespace sim {

namespace {

// Stream registers, from the stream's block at 0x10 + 0x18 * x.
constexpr uint32_t kCr = 0x00, kNdtr = 0x04, kPar = 0x08, kM0ar = 0x0C, kM1ar = 0x10, kFcr = 0x14;

// SxCR bits.
constexpr uint32_t kEn = 1U << 0, kDmeie = 1U << 1, kTeie = 1U << 2, kHtie = 1U << 3, kTcie = 1U << 4;
constexpr uint32_t kInterruptEnables = kDmeie | kTeie | kHtie | kTcie;  // writable while enabled
constexpr uint32_t kCirc = 1U << 8, kPinc = 1U << 9, kMinc = 1U << 10, kPincos = 1U << 15;
constexpr uint32_t kDbm = 1U << 18, kCt = 1U << 19;
constexpr uint32_t kCrWritable = 0x0FEFFFFFU;  // bit 20 is reserved, bits 28-31 too
// SxFCR bits.
constexpr uint32_t kFeie = 1U << 7, kDmdis = 1U << 2;
constexpr uint32_t kFifoEmpty = 4U << 3;  // FS reads "empty": no item waits in a FIFO in this model

// A stream's flags, as they sit in its field of LISR/HISR.
constexpr uint32_t kFeif = 0x01, kDmeif = 0x04, kTeif = 0x08, kHtif = 0x10, kTcif = 0x20;
constexpr uint32_t kAllFlags = kFeif | kDmeif | kTeif | kHtif | kTcif;
// Where stream x's field starts in LISR (x = 0..3) or HISR (x = 4..7).
constexpr int kFlagShift[4] = {0, 6, 16, 22};

constexpr int kIrq[DmaController::kStreams] = {56, 57, 58, 59, 60, 68, 69, 70};

// A request is served this many AHB cycles later: arbitration plus one read and one write on the bus
// matrix. A cleared EN takes effect once such an item would be finished, a little later.
constexpr Cycles kLatencyCycles{4};
constexpr Cycles kStopCycles{6};

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

DmaController::DmaController(ChipContext& chip)
    : Peripheral("DMA2", 0x40026400U, 0x400U),
      chip_(chip),
      transfer_timers_(make_timers<kStreams>(chip.scheduler(),
                                             [this](int index) { return [this, index](Picos) { transfer(index); }; })),
      stop_timers_(make_timers<kStreams>(chip.scheduler(),
                                         [this](int index) { return [this, index](Picos) { finish_stop(index); }; }))
{}

// ---------------------------------------------------------------------------------------------------
// Registers.

uint32_t DmaController::read(uint32_t offset, unsigned)
{
    if (offset == 0x00) return read_flags(0);
    if (offset == 0x04) return read_flags(4);
    if (offset == 0x08 || offset == 0x0C) return 0;  // the clear registers are write-only
    if (offset >= 0x10 && offset < 0x10 + 0x18 * kStreams)
        return read_stream(static_cast<int>((offset - 0x10) / 0x18), (offset - 0x10) % 0x18);
    chip_.log().line("DMA2: read of unmodelled offset " + hex(offset));
    return 0;
}

void DmaController::write(uint32_t offset, uint32_t value, unsigned)
{
    if (offset == 0x08) return clear_flags(0, value);
    if (offset == 0x0C) return clear_flags(4, value);
    if (offset == 0x00 || offset == 0x04) {
        chip_.log().line("DMA2: write to the read-only status register at " + hex(offset));
        return;
    }
    if (offset >= 0x10 && offset < 0x10 + 0x18 * kStreams)
        return write_stream(static_cast<int>((offset - 0x10) / 0x18), (offset - 0x10) % 0x18, value);
    chip_.log().line("DMA2: write of " + hex(value) + " to unmodelled offset " + hex(offset));
}

uint32_t DmaController::read_flags(int first_stream) const
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= streams_[first_stream + i].flags << kFlagShift[i];
    return value;
}

void DmaController::clear_flags(int first_stream, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        streams_[first_stream + i].flags &= ~((value >> kFlagShift[i]) & kAllFlags);
        update_irq(first_stream + i);
    }
}

uint32_t DmaController::read_stream(int index, uint32_t reg)
{
    const Stream& s = streams_[index];
    switch (reg) {
        case kCr:
            return s.cr | ((s.state != State::Disabled || s.stuck) ? kEn : 0U);
        case kNdtr:
            return s.ndtr;
        case kPar:
            return s.par;
        case kM0ar:
            return s.m0ar;
        case kM1ar:
            return s.m1ar;
        case kFcr:
            return s.fcr | kFifoEmpty;
        default:
            return 0;
    }
}

void DmaController::write_stream(int index, uint32_t reg, uint32_t value)
{
    Stream& s = streams_[index];
    const bool disabled = s.state == State::Disabled;
    const std::string stream_name = "DMA2 stream " + std::to_string(index);
    switch (reg) {
        case kCr:
            if (disabled) {
                s.cr = value & kCrWritable & ~kEn;
                if (value & kEn) enable(index);
            } else {
                if ((value & kEn) && ((value ^ s.cr) & kCrWritable & ~(kEn | kInterruptEnables)))
                    chip_.log().line(stream_name + ": configuration bits written while enabled are ignored");
                s.cr = (s.cr & ~kInterruptEnables) | (value & kInterruptEnables);
                if (!(value & kEn) && s.state == State::Enabled) begin_stop(index);
            }
            update_irq(index);
            return;
        case kFcr:
            if (disabled)
                s.fcr = value & (kFeie | kDmdis | 3U);
            else
                s.fcr = (s.fcr & ~kFeie) | (value & kFeie);
            update_irq(index);
            return;
        case kNdtr:
        case kPar:
        case kM0ar:
        case kM1ar:
            if (!disabled) {
                chip_.log().line(stream_name + ": write to a protected register while enabled is ignored");
                return;
            }
            if (reg == kNdtr) s.ndtr = value & 0xFFFFU;
            if (reg == kPar) s.par = value;
            if (reg == kM0ar) s.m0ar = value;
            if (reg == kM1ar) s.m1ar = value;
            return;
        default:
            chip_.log().line(stream_name + ": write to reserved offset " + hex(reg));
    }
}

// ---------------------------------------------------------------------------------------------------
// Stream life.

void DmaController::enable(int index)
{
    Stream& s = streams_[index];
    const std::string stream_name = "DMA2 stream " + std::to_string(index);
    if (s.ndtr == 0) {
        chip_.log().line(stream_name + ": enabled with NDTR 0; nothing to transfer, the stream stays off");
        return;
    }
    if ((s.cr >> 6) & 3U) chip_.log().line(stream_name + ": only peripheral-to-memory transfers are modelled");
    if (s.fcr & kDmdis) chip_.log().line(stream_name + ": FIFO mode is modelled as direct mode");
    s.state = State::Enabled;
    s.items = s.ndtr;
    s.moved = 0;
    s.half_flagged = false;
    changed(index);
    if (requesting(s)) schedule_transfer(index);  // a request already waiting is served now
}

void DmaController::begin_stop(int index)
{
    Stream& s = streams_[index];
    s.state = State::Stopping;
    changed(index);
    // A request not yet taken up stays with the peripheral (its data waits in the peripheral's register).
    transfer_timers_[index].cancel();
    if (s.stuck) return;  // the fault: EN never reads back 0
    const Picos latency = cycles_to_picos(kStopCycles, period_of(chip_.clocks().now().hclk));
    stop_timers_[index].arm_at(chip_.now() + latency);
}

void DmaController::finish_stop(int index)
{
    Stream& s = streams_[index];
    s.state = State::Disabled;
    s.flags |= kTcif;  // a stream stopped by software reports the end of its transfer
    changed(index);
    update_irq(index);
}

bool DmaController::serving(int stream, int channel) const
{
    const Stream& s = streams_[stream];
    return s.state == State::Enabled && ((s.cr >> 6) & 3U) == 0 && static_cast<int>((s.cr >> 25) & 7U) == channel;
}

bool DmaController::requesting(const Stream& s) const
{
    if (s.state != State::Enabled || ((s.cr >> 6) & 3U) != 0) return false;
    const int channel = static_cast<int>((s.cr >> 25) & 7U);
    for (const Route& route : s.routes)
        if (route.channel == channel && route.line()) return true;
    return false;
}

void DmaController::route(int stream, int channel, RequestLine line)
{
    streams_[stream].routes.push_back(Route{channel, std::move(line)});
}

void DmaController::request(int stream)
{
    if (requesting(streams_[stream])) schedule_transfer(stream);
}

void DmaController::schedule_transfer(int index)
{
    Timer& timer = transfer_timers_[index];
    if (timer.armed()) return;
    const Picos latency = cycles_to_picos(kLatencyCycles, period_of(chip_.clocks().now().hclk));
    timer.arm_at(chip_.now() + latency);
}

void DmaController::transfer(int index)
{
    Stream& s = streams_[index];
    if (!requesting(s)) return;

    // Direct mode: the memory side moves items of the peripheral's size.
    const uint32_t size = 1U << ((s.cr >> 11) & 3U);
    const uint32_t source = s.par + ((s.cr & kPinc) ? s.moved * ((s.cr & kPincos) ? 4U : size) : 0U);
    const uint32_t base = ((s.cr & kDbm) && (s.cr & kCt)) ? s.m1ar : s.m0ar;
    const uint32_t destination = base + ((s.cr & kMinc) ? s.moved * size : 0U);
    const uint32_t value = chip_.master_read(source, size);
    chip_.master_write(destination, value, size);

    --s.ndtr;
    ++s.moved;
    if (!s.half_flagged && 2U * s.moved >= s.items) {
        s.flags |= kHtif;
        s.half_flagged = true;
    }
    if (s.ndtr == 0) {
        s.flags |= kTcif;
        if (s.cr & kCirc) {
            s.ndtr = s.items;
            s.moved = 0;
            s.half_flagged = false;
            if (s.cr & kDbm) s.cr ^= kCt;
        } else {
            s.state = State::Disabled;  // end of a normal-mode transfer: the hardware clears EN
            changed(index);
        }
    }
    update_irq(index);
    if (requesting(s)) schedule_transfer(index);
}

// ---------------------------------------------------------------------------------------------------
// Faults.

void DmaController::inject_transfer_error(int index)
{
    Stream& s = streams_[index];
    s.flags |= kTeif;
    if (s.state != State::Disabled) {
        // A bus error disables the stream at once.
        transfer_timers_[index].cancel();
        stop_timers_[index].cancel();
        s.state = State::Disabled;
        changed(index);
    }
    update_irq(index);
}

void DmaController::inject_direct_mode_error(int index)
{
    streams_[index].flags |= kDmeif;
    update_irq(index);
}

void DmaController::set_stuck_enabled(int index, bool stuck)
{
    streams_[index].stuck = stuck;
}

// ---------------------------------------------------------------------------------------------------
// Interrupt lines: one per stream, from its flags and their enables.

void DmaController::update_irq(int index)
{
    Stream& s = streams_[index];
    const bool level = ((s.flags & kTcif) && (s.cr & kTcie)) || ((s.flags & kHtif) && (s.cr & kHtie)) ||
                       ((s.flags & kTeif) && (s.cr & kTeie)) || ((s.flags & kDmeif) && (s.cr & kDmeie)) ||
                       ((s.flags & kFeif) && (s.fcr & kFeie));
    if (level == s.irq_level) return;
    s.irq_level = level;
    chip_.exceptions().set_line(kIrq[index], level);
}

void connect_rx_dma(Usart& port, DmaController& dma, std::initializer_list<int> streams, int channel)
{
    std::vector<int> list(streams);
    for (int stream : list) dma.route(stream, channel, [&port] { return port.rx_dma_request(); });
    port.on_rx_dma_request([&dma, list] {
        for (int stream : list) dma.request(stream);
    });
}

}  // namespace sim
