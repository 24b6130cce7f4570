// Base of every register-level model: a block of registers at the chip's bus address (from the chip's
// layout, soc_layout.h), with a read and a write handler, and a reset to the reference manual's reset
// values.
//
// Every model describes its registers as data, in a table (RegisterMap below): offset, name, reset
// value, the bits a write stores, the bits cleared by writing 0 or 1 or by a read, where the word lives
// (the map's storage, or a member of the model that its fast paths read directly), how the value moves
// between events (a counter), and hooks for a register whose value is computed when read or whose write
// has an effect. Dispatch, byte lanes, write masking, reset and the one "unmodelled offset" log line are
// then the table's, not each model's.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "hex_text.h"
#include "sim_log.h"
#include "soc_layout.h"

namespace sim {

// A field of a register: `width` bits from bit `shift`.
struct Field {
    uint8_t shift;
    uint8_t width = 1;

    constexpr uint32_t mask() const { return (width >= 32 ? ~0U : ((1U << width) - 1U)) << shift; }
    constexpr uint32_t get(uint32_t reg) const { return (reg & mask()) >> shift; }
    constexpr uint32_t set(uint32_t reg, uint32_t value) const { return (reg & ~mask()) | of(value); }
    // `value` in the field's place, the rest 0.
    constexpr uint32_t of(uint32_t value) const { return (value << shift) & mask(); }
};

// How a register's value moves between the events that change it: only at events (a status flag set by
// a character's end), with time itself (a timer's count: a wait polling it creeps by a bounded stride
// instead of jumping to the next event), or as the core's own cycle count (the DWT's CYCCNT, which the
// chip samples inline on its shortest path, from the core clock it keeps).
enum class Motion : uint8_t { AtEvents, Counts, CoreCycles };

class Peripheral {
public:
    explicit Peripheral(const soc::Block& block) : name_(block.name), base_(block.base), size_(block.size) {}
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    // The word at `offset` as a debugger sees it: what a read would return, with none of a read's
    // effects (SysTick's COUNTFLAG stays set, a serial port's SR-then-DR sequence is not started).
    virtual uint32_t peek(uint32_t offset) = 0;
    virtual void write(uint32_t offset, uint32_t value, unsigned width) = 0;
    // Back to the state the reference manual gives after a system reset: registers at their reset
    // values, activity in progress dropped (its events cancelled), lines and requests low. What is wired
    // to the model (pins, listeners, DMA routes) stays. Every model has one: the chip walks its model
    // table to reset the machine (Chip::reset).
    virtual void reset() = 0;
    // A power-on reset: the same for most blocks; those that a system reset leaves alone (the debug
    // unit) reset only here.
    virtual void power_on_reset() { reset(); }

    // How the register at `offset` moves now (its table's declaration).
    virtual Motion motion(uint32_t /*offset*/) const { return Motion::AtEvents; }
    // Whether it moves on with time itself rather than only at scheduled events.
    bool free_running(uint32_t offset) const { return motion(offset) != Motion::AtEvents; }

    const std::string& name() const { return name_; }
    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }

private:
    std::string name_;
    uint32_t base_;
    uint32_t size_;
};

// One register (or `count` consecutive words alike, such as CCR1..CCR4) of a model of type M.
template <class M>
struct Register {
    uint32_t offset;
    const char* name;
    uint32_t reset = 0;
    uint32_t writable = 0xFFFFFFFFU;  // bits a write stores; the others keep their value
    uint32_t clear_on_0 = 0;          // rc_w0: a 0 written clears the bit, a 1 leaves it
    uint32_t clear_on_1 = 0;          // rc_w1: a 1 written clears the bit, a 0 leaves it
    // The value, computed when read (the stored word is not used); `index` counts the words of an array.
    uint32_t (*on_read)(M& model, unsigned index) = nullptr;
    // Called after a write has been stored, with the value written (in its byte lanes) and the stored
    // word before the write.
    void (*on_write)(M& model, unsigned index, uint32_t value, uint32_t before) = nullptr;
    unsigned count = 1;
    // The model's member that holds the word, for a register its fast paths read or change directly (one
    // word only); none: the map keeps it. Either way the map resets, masks and clears it.
    uint32_t M::*storage = nullptr;
    uint32_t clear_on_read = 0;  // bits cleared once a read has taken them (SysTick's COUNTFLAG)
    // The value for a debugger, when `on_read` has effects of its own (a serial port's SR and DR).
    uint32_t (*on_peek)(const M& model, unsigned index) = nullptr;
    // How the value moves, when it may move between events (asked of the model: a counter counts only
    // while enabled); none: only at events.
    Motion (*motion)(const M& model) = nullptr;
};

// The registers of a model as data: a word per register, found through a table with an entry per word
// of the block built once, so that a read costs an array look-up and at most one call through a plain
// function pointer (the simulator's hot path: a poll of GPIO IDR on the 1-Wire line, say).
template <class M>
class RegisterMap {
public:
    RegisterMap(M& model, const Peripheral& block, std::span<const Register<M>> registers, Log& log)
        : model_(model), block_(block), log_(log), words_(block.size() / 4U)
    {
        size_t slots = 0;
        for (const Register<M>& r : registers) slots += r.storage ? 0 : r.count;
        values_.assign(slots, 0);  // never resized: the entries keep pointers into it
        size_t slot = 0;
        for (const Register<M>& r : registers) {
            if (r.storage && r.count != 1) throw std::logic_error(block.name() + ": an array kept in a member");
            for (unsigned i = 0; i < r.count; ++i)
                words_.at(r.offset / 4U + i) = {&r, r.storage ? &(model.*r.storage) : &values_[slot++], i};
        }
        reset();
    }
    RegisterMap(const RegisterMap&) = delete;
    RegisterMap& operator=(const RegisterMap&) = delete;

    void reset()
    {
        for (const Entry& e : words_)
            if (e.reg) *e.value = e.reg->reset;
    }

    uint32_t read(uint32_t offset, unsigned width)
    {
        const uint32_t word = offset >> 2;
        if (word >= words_.size() || words_[word].reg == nullptr) {
            unmodelled("read of", offset);
            return 0;
        }
        const Entry& e = words_[word];
        uint32_t value = e.reg->on_read ? e.reg->on_read(model_, e.index) : *e.value;
        if (e.reg->clear_on_read) *e.value &= ~(e.reg->clear_on_read & lanes(offset, width));
        if (width < 4) value >>= 8U * (offset & 3U);  // a byte or half-word lane of the word
        return value;
    }

    // The whole word at `offset` as read() would return it, with no effect: no bit cleared by the read,
    // `on_peek` in place of an `on_read` that has effects. 0 where no register is.
    uint32_t peek(uint32_t offset) const
    {
        const uint32_t word = offset >> 2;
        if (word >= words_.size() || words_[word].reg == nullptr) return 0;
        const Entry& e = words_[word];
        if (e.reg->on_peek) return e.reg->on_peek(model_, e.index);
        return e.reg->on_read ? e.reg->on_read(model_, e.index) : *e.value;
    }

    // How the register at `offset` moves now.
    Motion motion(uint32_t offset) const
    {
        const uint32_t word = offset >> 2;
        if (word >= words_.size() || words_[word].reg == nullptr || words_[word].reg->motion == nullptr)
            return Motion::AtEvents;
        return words_[word].reg->motion(model_);
    }

    // False for an offset no register covers (logged).
    bool write(uint32_t offset, uint32_t value, unsigned width)
    {
        const uint32_t word = offset >> 2;
        if (word >= words_.size() || words_[word].reg == nullptr) {
            unmodelled("write to", offset);
            return false;
        }
        const Entry& e = words_[word];
        const Register<M>& r = *e.reg;
        const uint32_t before = *e.value;
        // Only the lanes written change.
        const uint32_t lane = lanes(offset, width);
        const uint32_t written = width < 4 ? (value << (8U * (offset & 3U))) & lane : value;
        uint32_t next = (before & ~(r.writable & lane)) | (written & r.writable & lane);
        next &= ~(r.clear_on_0 & lane & ~written);
        next &= ~(r.clear_on_1 & lane & written);
        *e.value = next;
        if (r.on_write) r.on_write(model_, e.index, written, before);
        return true;
    }

    // The stored word of the register at `offset` (the index-th word of an array).
    uint32_t& at(uint32_t offset, unsigned index = 0) { return *words_.at(offset / 4U + index).value; }
    uint32_t at(uint32_t offset, unsigned index = 0) const { return *words_.at(offset / 4U + index).value; }

private:
    // The bits of the word that an access of `width` bytes at `offset` reaches.
    static uint32_t lanes(uint32_t offset, unsigned width)
    {
        if (width >= 4) return 0xFFFFFFFFU;
        return (width == 1 ? 0xFFU : 0xFFFFU) << (8U * (offset & 3U));
    }

    struct Entry {
        const Register<M>* reg = nullptr;  // none: no register at this word
        uint32_t* value = nullptr;
        unsigned index = 0;
    };

    void unmodelled(const char* what, uint32_t offset)
    {
        log_.line(block_.name() + ": " + what + " unmodelled offset " + hex_text(offset, 2));
    }

    M& model_;
    const Peripheral& block_;
    Log& log_;
    std::vector<Entry> words_;  // one per word of the block
    std::vector<uint32_t> values_;
};

}  // namespace sim
