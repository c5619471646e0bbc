#include "history/randomDraw.h"

#include <algorithm>

void LazyMersenneTwister::seedUpTo(int count) {
    for (; seeded < count; ++seeded) {
        const std::uint32_t previous = words[seeded - 1];
        words[seeded] =
            1812433253u * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(seeded);
    }
}

// The twist of word k in place, as std::mt19937 does it: words above k still hold the previous
// round, words below k the new one.
inline void LazyMersenneTwister::twistWord(int k) {
    const int after = k + 1 == kWords ? 0 : k + 1;
    const int partner = k < kWords - kShift ? k + kShift : k + kShift - kWords;
    const std::uint32_t y = (words[k] & 0x80000000u) | (words[after] & 0x7fffffffu);
    words[k] = words[partner] ^ (y >> 1) ^ ((y & 1u) != 0 ? 0x9908b0dfu : 0u);
}

void LazyMersenneTwister::makeReady() {
    if (next == kWords) {  // a new round, over words that are all seeded
        next = 0;
        ready = 0;
        firstRound = false;
    }
    // A few words at a time, so the bookkeeping stays small next to the work.
    const int target = std::min(kWords, next + 16);
    // Word k reads the seeding values of words k + 1 and, below 227, k + 397.
    if (firstRound) seedUpTo(std::min(kWords, target + kShift));
    for (int k = ready; k < target; ++k) twistWord(k);
    ready = target;
}
