// The random numbers of a history: its generator, the uniform draw handed to a law's quantile,
// and the conversion of the quantile's answer into a delay in whole time units.
//
// Everything here is defined in the header so that the event loop inlines it. A generator is
// used by one thread at a time; the free functions are pure.
#pragma once

#include <cstdint>

// The pending time of a component with nothing to do; no delay can beat it.
inline constexpr int kNeverDelay = 2147483647;

// The smallest draw: what an engine output of 0 gives. Every other output x gives at least
// 2^-32, so this value is taken by no other output and stays below all of them. A draw of
// exactly 0 would make laws whose quantile rejects p = 0 (Normal) abort a run about once in
// 2^32 draws; half the smallest step keeps the draw's order and its meaning (the lowest
// quantile the law has) while every law accepts it.
inline constexpr float kSmallestDraw = 0x1p-33f;

// The uniform number in (0, 1) given to quantile, from one 32-bit engine output x:
// float(x) * 2^-32 with round-to-nearest conversion, a result of 1.0f becoming 0.99999994f,
// and x = 0 giving kSmallestDraw.
inline float unitFloatFromBits(std::uint32_t x) noexcept {
    // The conversion is the only rounding: scaling by a power of two is exact. Outputs within
    // 128 of 2^32 round up to 2^32 itself, hence the clamp below 1.
    if (x == 0) return kSmallestDraw;
    const float f = static_cast<float>(x) * 0x1p-32f;
    return f >= 1.0f ? 0x1.fffffep-1f : f;
}

// Converts a quantile result to a delay in whole time units, truncated toward zero. Results
// without an int value are mapped so that no conversion is undefined: NaN and anything above
// 2147483647 become kNeverDelay, anything below -2147483648 becomes -2147483648 (overdue).
inline int delayFromQuantile(double q) noexcept {
    // Written so that NaN fails the first test.
    if (!(q < 2147483648.0)) return kNeverDelay;
    if (q <= -2147483649.0) return -2147483647 - 1;
    return static_cast<int>(q);
}

// Whether a quantile result is a positive delay shorter than one time unit: truncated to 0, it
// fires in the unit it was drawn in, yet a positive while after the event that drew it (a
// negative or zero delay fires at that very instant).
inline bool withinOneUnit(double q) noexcept { return q > 0.0 && q < 1.0; }

// The 32-bit Mersenne Twister, output for output the same as std::mt19937 seeded with the same
// value, but it seeds and twists its first 624 words only as far as the outputs asked for need
// them. A history that draws a few hundred numbers then pays for a few hundred words instead
// of the full 624 of seeding and 624 of twisting, which would otherwise be most of the cost of
// a short history. Reseeding allocates nothing.
class LazyMersenneTwister {
public:
    explicit LazyMersenneTwister(std::uint32_t value = 5489u) { seed(value); }

    void seed(std::uint32_t value) {
        words[0] = value;
        seeded = 1;
        ready = 0;
        next = 0;
        firstRound = true;
    }

    std::uint32_t operator()() {
        if (next >= ready) makeReady();
        std::uint32_t y = words[next++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }

private:
    static constexpr int kWords = 624;
    static constexpr int kShift = 397;

    // Makes words[next] (and a few after it) ready to be tempered.
    void makeReady();
    void seedUpTo(int count);
    void twistWord(int k);

    std::uint32_t words[kWords];
    int seeded;  // first round: words[0, seeded) hold the seeding values
    int ready;   // words[0, ready) hold the current round's values
    int next;    // the next word to temper
    bool firstRound;
};
