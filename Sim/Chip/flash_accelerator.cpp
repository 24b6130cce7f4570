#include "flash_accelerator.h"

namespace sim {

FlashAccelerator::FlashAccelerator() = default;

template <size_t N>
void FlashAccelerator::LineCache<N>::insert(uint32_t line)
{
    size_t slot = filled_;
    if (filled_ < N) {
        ++filled_;
    } else {
        slot = 0;
        for (size_t s = 1; s < N; ++s)
            if (used_[s] < used_[slot]) slot = s;
        slot_of_[lines_[slot]] = kEmpty;
    }
    lines_[slot] = line;
    slot_of_[line] = static_cast<uint8_t>(slot);
    used_[slot] = ++clock_;
}

template <size_t N>
void FlashAccelerator::LineCache<N>::clear()
{
    for (size_t s = 0; s < filled_; ++s) slot_of_[lines_[s]] = kEmpty;
    filled_ = 0;
}

template class FlashAccelerator::LineCache<FlashAccelerator::kInstructionLines>;
template class FlashAccelerator::LineCache<FlashAccelerator::kDataLines>;

FlashAccelerator::Time FlashAccelerator::fetch(uint32_t line, Time now, Time read_wait)
{
    if (line == current_) return 0;
    Time stall = 0;
    if (settings_.instruction_cache && instructions_.hit(line)) {
        stall = 0;
    } else if (settings_.prefetch && line == prefetched_) {
        stall = prefetch_ready_ > now ? prefetch_ready_ - now : 0;
    } else {
        stall = read_wait;
        if (settings_.instruction_cache) instructions_.insert(line);
    }
    current_ = line;
    // The flash is free once this line is in: the next one's read starts then.
    if (settings_.prefetch) {
        prefetched_ = line + 1;
        prefetch_ready_ = now + stall + read_wait;
    } else {
        prefetched_ = kNoLine;
    }
    return stall;
}

FlashAccelerator::Time FlashAccelerator::load(uint32_t line, Time read_wait)
{
    if (!settings_.data_cache) return read_wait;
    if (data_.hit(line)) return 0;
    data_.insert(line);
    return read_wait;
}

void FlashAccelerator::reset()
{
    settings_ = Settings{};
    current_ = kNoLine;
    prefetched_ = kNoLine;
    prefetch_ready_ = 0;
    instructions_.clear();
    data_.clear();
}

}  // namespace sim
