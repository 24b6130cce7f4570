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
