#include "dma.h"

#include <string>
#include <utility>

namespace sim {

using namespace dma_reg;

namespace {

// A request is served this many AHB cycles later: arbitration plus one read and one write on the bus
// matrix. A cleared EN takes effect once such an item would be finished, a little later.
constexpr Cycles kLatencyCycles{4};
constexpr Cycles kStopCycles{6};

}  // namespace

DmaController::DmaController(ChipContext& chip, const soc::Block& block)
    : Peripheral(block),
      chip_(chip),
      irqs_(block.irqs),
      regs_(*this, *this, register_table(), chip.log()),
      transfer_timers_(make_timers<kStreams>(chip.scheduler(),
                                             [this](int index) { return [this, index](Picos) { transfer(index); }; })),
      stop_timers_(make_timers<kStreams>(chip.scheduler(),
                                         [this](int index) { return [this, index](Picos) { finish_stop(index); }; }))
{}

// Every stream disabled at its reset values, transfers in flight dropped; the routes are wiring and an
// injected fault (a stream stuck enabled) is the hardware's, so both stay.
void DmaController::reset()
{
    regs_.reset();
    for (int index = 0; index < kStreams; ++index) {
        transfer_timers_[static_cast<size_t>(index)].cancel();
        stop_timers_[static_cast<size_t>(index)].cancel();
        Stream& s = streams_[static_cast<size_t>(index)];
        const bool was_enabled = s.state != State::Disabled;
        Stream fresh;
        fresh.routes = std::move(s.routes);
        fresh.stuck = s.stuck;
        fresh.irq_level = s.irq_level;
        s = std::move(fresh);
        update_irq(index);
        if (was_enabled && stream_listener_) stream_listener_(index);
    }
}

// ---------------------------------------------------------------------------------------------------
// Registers.

// A stream's six registers, in its block at 0x10 + 0x18 * S.
template <int S>
constexpr std::array<Register<DmaController>, 6> DmaController::stream_registers()
{
    using D = DmaController;
    static_assert(S >= 0 && S < kStreams);
    constexpr uint32_t base = 0x10U + 0x18U * S;
    constexpr const char* kNames[kStreams][6] = {
        {"S0CR", "S0NDTR", "S0PAR", "S0M0AR", "S0M1AR", "S0FCR"},
        {"S1CR", "S1NDTR", "S1PAR", "S1M0AR", "S1M1AR", "S1FCR"},
        {"S2CR", "S2NDTR", "S2PAR", "S2M0AR", "S2M1AR", "S2FCR"},
        {"S3CR", "S3NDTR", "S3PAR", "S3M0AR", "S3M1AR", "S3FCR"},
        {"S4CR", "S4NDTR", "S4PAR", "S4M0AR", "S4M1AR", "S4FCR"},
        {"S5CR", "S5NDTR", "S5PAR", "S5M0AR", "S5M1AR", "S5FCR"},
        {"S6CR", "S6NDTR", "S6PAR", "S6M0AR", "S6M1AR", "S6FCR"},
        {"S7CR", "S7NDTR", "S7PAR", "S7M0AR", "S7M1AR", "S7FCR"},
    };
    return {{
        {.offset = base + kCr,
         .name = kNames[S][0],
         .writable = 0,
         .on_read = [](D& d, unsigned) { return d.read_control(S); },
         .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.write_control(S, value); }},
        {.offset = base + kNdtr,
         .name = kNames[S][1],
         .writable = 0,
         .on_read = [](D& d, unsigned) { return d.streams_[S].ndtr; },
         .on_write = [](D& d, unsigned, uint32_t value,
                        uint32_t) { d.write_protected(S, &Stream::ndtr, value & 0xFFFFU); }},
        {.offset = base + kPar,
         .name = kNames[S][2],
         .writable = 0,
         .on_read = [](D& d, unsigned) { return d.streams_[S].par; },
         .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.write_protected(S, &Stream::par, value); }},
        {.offset = base + kM0ar,
         .name = kNames[S][3],
         .writable = 0,
         .on_read = [](D& d, unsigned) { return d.streams_[S].m0ar; },
         .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.write_protected(S, &Stream::m0ar, value); }},
        {.offset = base + kM1ar,
         .name = kNames[S][4],
         .writable = 0,
         .on_read = [](D& d, unsigned) { return d.streams_[S].m1ar; },
         .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.write_protected(S, &Stream::m1ar, value); }},
        {.offset = base + kFcr,
         .name = kNames[S][5],
         .writable = 0,
         .on_read = [](D& d, unsigned) { return d.streams_[S].fcr | kFifoEmpty; },
         .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.write_fifo_control(S, value); }},
    }};
}

std::span<const Register<DmaController>> DmaController::register_table()
{
    using D = DmaController;
    static constexpr auto kTable = []<size_t... S>(std::index_sequence<S...>)
    {
        std::array<Register<D>, 4 + 6 * kStreams> table{{
            // The status registers are read-only; the clear registers are write-only (they read 0).
            {.offset = 0x00,
             .name = "LISR",
             .writable = 0,
             .on_read = [](D& d, unsigned) { return d.read_flags(0); },
             .on_write = [](D& d, unsigned, uint32_t,
                            uint32_t) { d.chip_.log().line("DMA2: write to the read-only status register LISR"); }},
            {.offset = 0x04,
             .name = "HISR",
             .writable = 0,
             .on_read = [](D& d, unsigned) { return d.read_flags(4); },
             .on_write = [](D& d, unsigned, uint32_t,
                            uint32_t) { d.chip_.log().line("DMA2: write to the read-only status register HISR"); }},
            {.offset = 0x08,
             .name = "LIFCR",
             .writable = 0,
             .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.clear_flags(0, value); }},
            {.offset = 0x0C,
             .name = "HIFCR",
             .writable = 0,
             .on_write = [](D& d, unsigned, uint32_t value, uint32_t) { d.clear_flags(4, value); }},
        }};
        size_t next = 4;
        const auto add = [&](const std::array<Register<D>, 6>& stream) {
            for (const Register<D>& r : stream) table[next++] = r;
        };
        (add(stream_registers<static_cast<int>(S)>()), ...);
        return table;
    }
    (std::make_index_sequence<kStreams>{});
    return kTable;
}

uint32_t DmaController::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void DmaController::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
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

// EN reads 1 until a cleared EN has taken effect (or never reads 0 on a stuck stream).
uint32_t DmaController::read_control(int index) const
{
    const Stream& s = streams_[index];
    return s.cr | ((s.state != State::Disabled || s.stuck) ? kEn : 0U);
}

void DmaController::write_control(int index, uint32_t value)
{
    Stream& s = streams_[index];
    if (s.state == State::Disabled) {
        s.cr = value & kCrWritable & ~kEn;
        if (value & kEn) enable(index);
    } else {
        if ((value & kEn) && ((value ^ s.cr) & kCrWritable & ~(kEn | kInterruptEnables)))
            chip_.log().line("DMA2 stream " + std::to_string(index) +
                             ": configuration bits written while enabled are ignored");
        s.cr = (s.cr & ~kInterruptEnables) | (value & kInterruptEnables);
        if (!(value & kEn) && s.state == State::Enabled) begin_stop(index);
    }
    update_irq(index);
}

void DmaController::write_fifo_control(int index, uint32_t value)
{
    Stream& s = streams_[index];
    if (s.state == State::Disabled)
        s.fcr = value & (kFeie | kDmdis | 3U);
    else
        s.fcr = (s.fcr & ~kFeie) | (value & kFeie);
    update_irq(index);
}

void DmaController::write_protected(int index, uint32_t Stream::*reg, uint32_t value)
{
    Stream& s = streams_[index];
    if (s.state != State::Disabled) {
        chip_.log().line("DMA2 stream " + std::to_string(index) +
                         ": write to a protected register while enabled is ignored");
        return;
    }
    s.*reg = value;
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
        if (route.channel == channel && route.line->high()) return true;
    return false;
}

void DmaController::route(int stream, int channel, const DmaRequest& line)
{
    streams_[stream].routes.push_back(Route{channel, &line});
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

void connect_dma(DmaRequest& line, DmaController& dma, std::span<const soc::DmaRoute> routes)
{
    for (const soc::DmaRoute& r : routes) dma.route(r.stream, r.channel, line);
    line.on_rise([&dma, routes] {
        for (const soc::DmaRoute& r : routes) dma.request(r.stream);
    });
}

}  // namespace sim
