#include "flash_accelerator.h"

#include <algorithm>

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
    used_[slot] = tick();
}

template <size_t N>
uint32_t FlashAccelerator::LineCache<N>::renumber()
{
    std::array<size_t, N> order{};
    for (size_t s = 0; s < filled_; ++s) order[s] = s;
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(filled_),
              [this](size_t a, size_t b) { return used_[a] < used_[b]; });
    for (size_t rank = 0; rank < filled_; ++rank) used_[order[rank]] = static_cast<uint32_t>(rank + 1);
    clock_ = static_cast<uint32_t>(filled_ + 1);
    return clock_;
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
    instructions_.clear();
    data_.clear();
}

}  // namespace sim
