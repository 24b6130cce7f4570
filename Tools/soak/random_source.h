// A small deterministic random source (SplitMix64): the same seed gives the same scenario on every
// machine and library, which the standard distributions do not promise.
#pragma once

#include <cstdint>

namespace soak {

class RandomSource {
public:
    explicit RandomSource(uint64_t seed) : state_(seed) {}

    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // In [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // In [lo, hi], both included.
    int64_t between(int64_t lo, int64_t hi)
    {
        return lo + static_cast<int64_t>(next() % static_cast<uint64_t>(hi - lo + 1));
    }
    bool chance(double p) { return uniform() < p; }

private:
    uint64_t state_;
};

}  // namespace soak
