// USART model: one serial port, at the address, bus and interrupt line its entry in the chip's layout
// (soc_layout.h) gives.
//
// Timing comes from BRR and the port's bus clock. With 16-fold oversampling one bit lasts BRR / PCLK:
// BRR 0x28B1 at PCLK2 100 MHz is 104.17 us (9599.69 baud), so a character of 8N1 (ten bits) is 1.0417 ms.
//
// Receiver: it reads its RX pin through the GPIO port's alternate-function input (the chip's wiring), so
// it sees the pin's level as the port resolves it, from whatever the board wires to the pin, and only
// while the pin is switched to the port's function; each change arrives through rx_line(). A falling
// edge while the receiver waits starts a character. The chip takes samples 8, 9 and 10 of the sixteen in each bit; the
// model reads them from the recorded edges of the line in one event, when the stop bit has been sampled
// (9.56 bit times after the start edge), so a character costs one event however its bits fall. Majority
// gives the bit; samples that disagree set NE; a low stop bit sets FE (a break); a character completing
// while RXNE is still set is lost and sets ORE, and DR keeps the older one. IDLE is set once the line has
// stayed high for a whole character after a received character, once per idle period.
//
// Transmitter: writing DR clears TXE and TC; the data moves into the shift register at once if that is
// empty (TXE sets again). The TX line then carries the start bit, the data least significant bit first
// and the stop bit(s); each change of level is one event and is handed to the TX pin's listener. TC sets
// when the last stop bit has gone with nothing waiting in DR. Enabling the transmitter first sends an
// idle frame (a character time of high line), as the chip does.
//
// Left out: the clock enable in RCC (the port works without it), LIN, smartcard, IrDA, half-duplex,
// synchronous mode, hardware flow control, mute mode and 8-fold oversampling's different sampling points
// (its bit time is modelled).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "chip_context.h"
#include "dma_request.h"
#include "peripheral.h"
#include "timer.h"

namespace sim {

// Register offsets and bits (the reference manual's names).
namespace usart_reg {

// Register offsets.
inline constexpr uint32_t kSr = 0x00, kDr = 0x04, kBrr = 0x08, kCr1 = 0x0C, kCr2 = 0x10, kCr3 = 0x14, kGtpr = 0x18;

// SR bits.
inline constexpr uint32_t kPe = 1U << 0, kFe = 1U << 1, kNe = 1U << 2, kOre = 1U << 3, kIdle = 1U << 4;
inline constexpr uint32_t kRxne = 1U << 5, kTc = 1U << 6, kTxe = 1U << 7, kLbd = 1U << 8, kCts = 1U << 9;
// Cleared by a read of SR followed by a read of DR.
inline constexpr uint32_t kSequenceCleared = kPe | kFe | kNe | kOre | kIdle;
// The bits software may clear by writing 0; every other bit of SR ignores writes.
inline constexpr uint32_t kWriteZeroClears = kRxne | kTc | kLbd | kCts;

// CR1 bits.
inline constexpr uint32_t kRe = 1U << 2, kTe = 1U << 3, kIdleie = 1U << 4, kRxneie = 1U << 5, kTcie = 1U << 6;
inline constexpr uint32_t kTxeie = 1U << 7, kPeie = 1U << 8, kPs = 1U << 9, kPce = 1U << 10, kM = 1U << 12;
inline constexpr uint32_t kUe = 1U << 13, kOver8 = 1U << 15;
// CR3 bits.
inline constexpr uint32_t kEie = 1U << 0, kDmar = 1U << 6;

}  // namespace usart_reg

class Usart : public Peripheral {
public:
    Usart(ChipContext& chip, const soc::Block& block);

    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;

    // The level the receiver sees on its RX input changed at `at` (an event's own time, not later than
    // now): called by the RX pin's alternate-function input. 1 is the idle (mark) level.
    void reset() override;
    // A fault to inject: TXE does not set again until the port is reset, so that a send that polls it
    // waits for ever (the character already in the shift register still goes out).
    void set_txe_stuck(bool stuck) { txe_stuck_ = stuck; }
    void rx_line(int level, Picos at);
    int rx_level() const { return rx_level_; }

    using LevelListener = std::function<void(int level, Picos at)>;
    using CharListener = std::function<void(uint16_t data, Picos start, Picos end)>;
    // Every change of the TX line, as the alternate-function output of the TX pin.
    void on_tx_level(LevelListener listener) { tx_level_listeners_.push_back(std::move(listener)); }
    // Every character sent, once its stop bit has left the line (start: its start bit's leading edge).
    void on_tx_char(CharListener listener) { tx_char_listeners_.push_back(std::move(listener)); }
    int tx_level() const { return tx_level_; }

    // The receiver's DMA request line: high while a received character waits in DR with DMAR set.
    DmaRequest& rx_dma() { return rx_dma_; }

    // Told after every write of CR1 or CR3 (receiver, DMA request and interrupt enables), for whoever
    // follows the receive side's state.
    void on_control_change(std::function<void()> listener) { control_listener_ = std::move(listener); }
    bool receiving() const { return receiver_on(); }
    bool rx_dma_enabled() const;

    // One bit time at the present BRR and bus clock; 0 while BRR is 0.
    Picos bit_time() const;
    // The status register as it stands, without the side effects of a read (for tests and traces).
    uint32_t status() const { return sr_; }
    int irq() const { return irq_; }
    bool on_apb2() const { return on_apb2_; }

private:
    // The receiver.
    void start_frame(Picos at);
    void complete_frame(Picos at);
    int level_at(Picos t) const;
    int sample_bit(int index, bool& noisy) const;
    void arm_idle_check(Picos from);
    void on_idle_check();
    void stop_receiver();

    // The transmitter.
    void start_char(Picos at);
    void start_idle_frame(Picos at);
    void on_tx_step(Picos at);
    void finish_tx_frame(Picos at);
    void set_tx_level(int level, Picos at);

    // Shape of a character: data bits (8 or 9, parity included) and the frame in sixteenths of a bit.
    int data_bits() const;
    uint32_t frame_sixteenths() const;
    bool receiver_on() const;
    bool transmitter_on() const;

    void update_irq();
    void update_dma_request();

    // Register hooks.
    uint32_t read_status();
    uint32_t read_data();
    void data_written(uint32_t value);
    void control1_written(uint32_t before);
    void control3_written();
    static std::span<const Register<Usart>> register_table();

    ChipContext& chip_;
    int irq_;
    bool on_apb2_;

    // The registers the model works with, kept as members that the table names.
    uint32_t sr_ = 0;
    uint32_t brr_ = 0;
    uint32_t cr1_ = 0;
    uint32_t cr2_ = 0;
    uint32_t cr3_ = 0;
    RegisterMap<Usart> regs_;
    uint32_t seen_flags_ = 0;  // error and idle flags seen by a read of SR, cleared by the next DR read
    bool irq_level_ = false;
    DmaRequest rx_dma_;

    // Receiver state.
    uint16_t rdr_ = 0;
    int rx_level_ = 1;
    bool rx_in_frame_ = false;
    Picos rx_frame_start_ = 0;
    Picos rx_bit_ = 0;                             // bit time of the character being received
    std::vector<std::pair<Picos, int>> rx_edges_;  // the line's edges since the start edge
    Timer frame_timer_;                            // at the last sample of the stop bit of the character being received
    Timer idle_timer_;                             // a whole idle character after the last one
    bool rx_since_idle_ = false;                   // a character has completed since IDLE was last set
    bool idle_waits_for_high_ = false;  // a character ended on a low line (a break): idle counts from the rise

    // Transmitter state.
    uint16_t tdr_ = 0;
    bool tdr_full_ = false;
    bool tx_busy_ = false;  // the shift register is sending a character or the idle frame
    bool tx_idle_frame_ = false;
    uint16_t tx_shift_ = 0;
    Picos tx_start_ = 0;
    std::vector<std::pair<Picos, int>> tx_plan_;  // level changes of the character in flight; last: its end
    size_t tx_step_ = 0;
    Timer tx_step_timer_;  // the next level change of tx_plan_, or the end of the frame
    int tx_level_ = 1;
    bool txe_stuck_ = false;

    std::vector<LevelListener> tx_level_listeners_;
    std::vector<CharListener> tx_char_listeners_;
    std::function<void()> control_listener_;
};

}  // namespace sim
