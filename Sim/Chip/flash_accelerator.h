// The flash memory's read latency as the core sees it behind the adaptive real-time (ART) accelerator:
// the flash delivers 128-bit lines, each read taking LATENCY wait states (FLASH_ACR), and the
// accelerator hides them with
//  - the line in use: fetches inside the 128-bit line the core is executing cost nothing;
//  - the prefetch (PRFTEN): while the core executes a line, the next one is read, so that sequential
//    code entering it at least LATENCY cycles after the line before came in waits for nothing (else
//    for the rest);
//  - the instruction cache (ICEN): 64 lines of 128 bits. A line read on a miss (not the line in use,
//    not the prefetched one, not cached) is copied in; once all 64 are full the least recently used
//    line is replaced. A hit costs nothing;
//  - the data cache (DCEN): 8 lines of 128 bits for the data the core reads from flash (literal pools,
//    constants), filled and replaced the same way.
// With both caches and the prefetch off, every new line costs LATENCY wait states.
//
// A pure model: the runner tells it the flash lines the core enters and reads, each fetch with the core
// cycles run in the line before, and it answers with the wait states (core cycles) the core stalls for.
// Its state is the lines alone (the line in use, the one prefetched, the caches' lines), never a time,
// so that a run that jumps over the iterations of a waiting loop leaves it as running them would.
// Approximations: the organisation of the caches is not given by the chip's manual; they are modelled
// fully associative with least-recently-used replacement. The prefetch and the data reads do not
// delay each other (on the chip a literal read during a prefetch waits for the flash), and a line
// reached through a cache hit starts the prefetch of the next one at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class FlashAccelerator {
public:
    // The cycles run in the line before when that is not known (the first line of a block): the
    // prefetch counts as done.
    static constexpr uint32_t kLongAgo = UINT32_MAX;
    static constexpr uint32_t kLineBytes = 16;
    static constexpr size_t kInstructionLines = 64;
    static constexpr size_t kDataLines = 8;

    struct Settings {
        uint32_t latency = 0;  // wait states of a flash read (FLASH_ACR LATENCY)
        bool prefetch = false;
        bool instruction_cache = false;
        bool data_cache = false;
    };

    FlashAccelerator();

    // The settings as FLASH_ACR holds them.
    void configure(const Settings& settings) { settings_ = settings; }
    const Settings& settings() const { return settings_; }

    // The line numbers: a flash address's offset in the array over 16 (the alias at 0 and the array at
    // 0x08000000 are the same lines).
    static uint32_t line_of(uint32_t address) { return (address & kArrayMask) / kLineBytes; }
    // The flash array and its alias at address 0 (512 KB).
    static bool in_flash(uint32_t address) { return (address - kArrayBase) < kArraySize || address < kArraySize; }

    // The core enters `line` to fetch instructions, `ran` cycles after the line before came in. Returns
    // the cycles it stalls.
    uint32_t fetch(uint32_t line, uint32_t ran) { return line == current_ ? 0 : enter(line, ran); }
    // The line the core executes from: fetches inside it cost nothing.
    bool in_use(uint32_t line) const { return line == current_; }
    // The core reads data from `line` (a literal, a constant table). Returns the cycles it stalls.
    uint32_t load(uint32_t line)
    {
        if (!settings_.data_cache) return settings_.latency;
        if (data_.hit(line)) return 0;
        data_.insert(line);
        return settings_.latency;
    }

    // ICRST, DCRST: the cache emptied (on the chip only while it is disabled: the caller decides).
    void flush_instructions() { instructions_.clear(); }
    void flush_data() { data_.clear(); }
    // Everything as after reset: caches empty, no line in use, nothing prefetched, settings off.
    void reset();

private:
    static constexpr uint32_t kArrayBase = 0x08000000U;
    static constexpr uint32_t kArraySize = 512U * 1024U;
    static constexpr uint32_t kArrayMask = kArraySize - 1;
    static constexpr uint32_t kNoLine = UINT32_MAX;

    // A fully associative cache of `N` lines with least-recently-used replacement; which line sits in
    // which slot is looked up through a table over every line of the array (32 768 of them).
    template <size_t N>
    class LineCache {
    public:
        LineCache() : slot_of_(kArraySize / kLineBytes, kEmpty) {}
        // True when `line` is cached (and then it becomes the most recently used).
        bool hit(uint32_t line)
        {
            const uint8_t slot = slot_of_[line];
            if (slot == kEmpty) return false;
            used_[slot] = tick();
            return true;
        }
        void insert(uint32_t line);
        void clear();

    private:
        static constexpr uint8_t kEmpty = 0xFF;
        std::vector<uint8_t> slot_of_;
        std::array<uint32_t, N> lines_{};
        // The next use's stamp; when the stamps run out, they are numbered again in their order.
        uint32_t tick() { return ++clock_ != 0 ? clock_ : renumber(); }
        uint32_t renumber();
        std::array<uint32_t, N> used_{};  // when each slot was last used
        size_t filled_ = 0;
        uint32_t clock_ = 0;
    };

    // A line other than the one in use: from the instruction cache, the prefetch or the flash.
    uint32_t enter(uint32_t line, uint32_t ran)
    {
        uint32_t stall = 0;
        if (settings_.instruction_cache && instructions_.hit(line)) {
            stall = 0;
        } else if (settings_.prefetch && line == prefetched_) {
            // Its read started when the line before came in, and takes LATENCY cycles.
            stall = ran >= settings_.latency ? 0 : settings_.latency - ran;
        } else {
            stall = settings_.latency;
            if (settings_.instruction_cache) instructions_.insert(line);
        }
        current_ = line;
        prefetched_ = settings_.prefetch ? line + 1 : kNoLine;
        return stall;
    }

    Settings settings_;
    uint32_t current_ = kNoLine;  // the line the core executes from
    uint32_t prefetched_ = kNoLine;
    LineCache<kInstructionLines> instructions_;
    LineCache<kDataLines> data_;
};

}  // namespace sim
