// Base of every register-level model: a block of registers at the chip's bus address (from the chip's
// layout, soc_layout.h), with a read and a write handler, and a reset to the reference manual's reset
// values.
//
// A model whose registers are plain data describes them in a table (RegisterMap below): offset, name,
// reset value, the bits a write stores, the bits cleared by writing 0 or 1, and hooks for a register whose
// value is computed when read or whose write has an effect. Dispatch, write masking, reset and the one
// "unmodelled offset" log line are then the table's, not each model's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

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

class Peripheral {
public:
    explicit Peripheral(const soc::Block& block) : name_(block.name), base_(block.base), size_(block.size) {}
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, uint32_t value, unsigned width) = 0;

    // A register whose value moves on with time itself (a cycle counter, a timer's CNT) rather than only
    // at scheduled events; a wait polling it is accelerated by a bounded stride instead of a jump.
    virtual bool free_running(uint32_t /*offset*/) const { return false; }

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
};

// The registers of a model as data: a word per register, found through an index built once from the
// offset, so that a read costs an array look-up and at most one call through a plain function pointer.
template <class M>
class RegisterMap {
public:
    RegisterMap(M& model, const Peripheral& block, std::span<const Register<M>> registers, Log& log)
        : model_(model), block_(block), registers_(registers), log_(log), slot_of_word_(block.size() / 4U, kNone)
    {
        uint8_t slot = 0;
        for (uint8_t r = 0; r < registers.size(); ++r) {
            for (unsigned i = 0; i < registers[r].count; ++i) {
                uint32_t word = registers[r].offset / 4U + i;
                slot_of_word_.at(word) = slot++;
                slots_.push_back({r, static_cast<uint8_t>(i)});
            }
        }
        values_.assign(slots_.size(), 0);
        reset();
    }

    void reset()
    {
        for (size_t s = 0; s < slots_.size(); ++s) values_[s] = registers_[slots_[s].reg].reset;
    }

    uint32_t read(uint32_t offset, unsigned width)
    {
        const uint32_t word = offset >> 2;
        const uint8_t s = word < slot_of_word_.size() ? slot_of_word_[word] : kNone;
        if (s == kNone) {
            unmodelled("read of", offset);
            return 0;
        }
        const Register<M>& r = registers_[slots_[s].reg];
        uint32_t value = r.on_read ? r.on_read(model_, slots_[s].index) : values_[s];
        if (width < 4) value >>= 8U * (offset & 3U);  // a byte or half-word lane of the word
        return value;
    }

    // False for an offset no register covers (logged).
    bool write(uint32_t offset, uint32_t value, unsigned width)
    {
        const uint32_t word = offset >> 2;
        const uint8_t s = word < slot_of_word_.size() ? slot_of_word_[word] : kNone;
        if (s == kNone) {
            unmodelled("write to", offset);
            return false;
        }
        const Register<M>& r = registers_[slots_[s].reg];
        const uint32_t before = values_[s];
        uint32_t written = value;
        uint32_t lanes = 0xFFFFFFFFU;
        if (width < 4) {  // only the lanes written change
            const unsigned shift = 8U * (offset & 3U);
            lanes = (width == 1 ? 0xFFU : 0xFFFFU) << shift;
            written = (value << shift) & lanes;
        }
        uint32_t next = (before & ~(r.writable & lanes)) | (written & r.writable & lanes);
        next &= ~(r.clear_on_0 & lanes & ~written);
        next &= ~(r.clear_on_1 & lanes & written);
        values_[s] = next;
        if (r.on_write) r.on_write(model_, slots_[s].index, written, before);
        return true;
    }

    // The stored word of the register at `offset` (index-th word of an array).
    uint32_t& at(uint32_t offset, unsigned index = 0) { return values_[slot_of_word_[offset / 4U + index]]; }
    uint32_t at(uint32_t offset, unsigned index = 0) const { return values_[slot_of_word_[offset / 4U + index]]; }

private:
    static constexpr uint8_t kNone = 0xFF;
    struct Slot {
        uint8_t reg;
        uint8_t index;
    };

    void unmodelled(const char* what, uint32_t offset)
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(offset));
        log_.line(block_.name() + ": " + what + " unmodelled offset " + text);
    }

    M& model_;
    const Peripheral& block_;
    std::span<const Register<M>> registers_;
    Log& log_;
    std::vector<uint8_t> slot_of_word_;  // per word of the block: its slot, or kNone
    std::vector<Slot> slots_;
    std::vector<uint32_t> values_;
};

}  // namespace sim
