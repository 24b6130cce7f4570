#include "dma.h"

#include <cstdio>
#include <string>

#include "usart.h"

namespace sim {

using namespace dma_reg;

namespace {

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

DmaController::DmaController(ChipContext& chip, const soc::Block& block)
    : Peripheral(block),
      chip_(chip),
      irqs_(block.irqs),
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
    return s.state == State::Enabled && kDirField.get(s.cr) == 0 && static_cast<int>(kChsel.get(s.cr)) == channel;
}

bool DmaController::requesting(const Stream& s) const
{
    if (s.state != State::Enabled || ((s.cr >> 6) & 3U) != 0) return false;
    const int channel = static_cast<int>(kChsel.get(s.cr));
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
    const uint32_t size = 1U << kPsize.get(s.cr);
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
    chip_.exceptions().set_line(irqs_[static_cast<size_t>(index)], level);
}

void connect_rx_dma(Usart& port, DmaController& dma, std::span<const soc::DmaRoute> routes)
{
    for (const soc::DmaRoute& r : routes) dma.route(r.stream, r.channel, [&port] { return port.rx_dma_request(); });
    port.on_rx_dma_request([&dma, routes] {
        for (const soc::DmaRoute& r : routes) dma.request(r.stream);
    });
}

}  // namespace sim
