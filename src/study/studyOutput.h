// What a study keeps of its histories, folded as they run so that memory grows with the reported
// time units and the histogram bins touched, never with the engine steps or the histories:
//   - failed engine steps per reported unit (stepsPerUnit steps each), summed over histories;
//   - per history: its failed steps, its system failures (entries into the failed state, seen
//     event by event: a failure repaired within its engine step counts, and so does one that
//     follows a repair within a step, StudyOutput says how; a history failed from its start
//     counts one) and the step
//     of its first failure, each as exact counts per value (histograms) with sums and sums of
//     squares. A failed step is one whose whole length the system was down; a failure shorter
//     than a step adds a failure and no failed step (the delays' truncation toward zero).
//
// A StudyTally belongs to one thread; tallies of several threads (or calls with the same
// horizon and stepsPerUnit) add up with mergeFrom. StudyOutput is the output a history engine
// calls (the hooks of historyOutputs.h); it knows nothing of the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

using Wide = unsigned __int128;

// Histogram bins over the values 0 .. maxValue (steps or counts of one history): one bin per
// value below kExactBins, then bins of `width` values each, width being the smallest power of
// two that keeps the bins below 2 * kExactBins. Two binnings of the same maxValue are equal.
class StudyBinning {
public:
    static constexpr std::uint64_t kExactBins = std::uint64_t{1} << 22;

    explicit StudyBinning(std::uint64_t maxValue);

    std::uint64_t binOf(std::uint64_t value) const {
        return value < kExactBins ? value : kExactBins + ((value - kExactBins) >> widthShift);
    }
    std::uint64_t width() const { return std::uint64_t{1} << widthShift; }

private:
    unsigned widthShift = 0;
};

// Unsigned 64-bit counters indexed from 0, stored in blocks allocated (zeroed) when one of their
// counters is first added to: memory follows the indices touched, not their range, so a call
// that touches few of them costs little. Additions wrap modulo 2^64. Not thread-safe.
class BlockedCounts {
public:
    void add(std::uint64_t index, std::uint64_t value) {
        const std::size_t block = static_cast<std::size_t>(index >> kBlockShift);
        if (block >= blocks.size() || !blocks[block]) makeBlock(block);
        blocks[block][index & (kBlockSize - 1)] += value;
        if (index + 1 > indicesUsed) indicesUsed = index + 1;
    }
    // One past the largest index added to (0 when none was).
    std::uint64_t size() const { return indicesUsed; }
    // Adds every counter of `other` into this one.
    void mergeFrom(const BlockedCounts& other);
    // Adds counters 0 .. n - 1 into destination[0 .. n - 1]; counters from n on are left out.
    void addInto(std::uint64_t* destination, std::uint64_t n) const;
    // Counters 0 .. size() - 1.
    std::vector<std::uint64_t> toVector() const;

private:
    static constexpr unsigned kBlockShift = 12;
    static constexpr std::uint64_t kBlockSize = std::uint64_t{1} << kBlockShift;
    void makeBlock(std::size_t block);

    std::vector<std::unique_ptr<std::uint64_t[]>> blocks;
    std::uint64_t indicesUsed = 0;
};

// Count, sum and sum of squares of one per-history figure, exact (squares of values below 2^32
// summed over up to 2^64 histories fit 128 bits).
struct ExactMoments {
    Wide sum = 0;
    Wide sumOfSquares = 0;

    void add(std::uint64_t value) {
        sum += value;
        sumOfSquares += static_cast<Wide>(value) * value;
    }
    void mergeFrom(const ExactMoments& other) {
        sum += other.sum;
        sumOfSquares += other.sumOfSquares;
    }
};

// Everything one thread keeps of its histories. simTime >= 0 engine steps, a multiple of
// stepsPerUnit >= 1. Allocates as it fills: memory follows the units where failed intervals
// begin and end and the histogram bins touched.
class StudyTally {
public:
    StudyTally(int simTime, int stepsPerUnit);

    // Adds the failed steps [from, to) (0 <= from < to <= simTime) to the per-unit counts in
    // O(1): differences for the units the interval covers whole, and the partial counts of its
    // two end units.
    void foldFailedSteps(int from, int to) {
        const auto s = static_cast<std::uint64_t>(stepsPerUnit);
        const auto first = static_cast<std::size_t>(from / stepsPerUnit);
        const auto last = static_cast<std::size_t>(to / stepsPerUnit);
        const auto intoFirst = static_cast<std::uint64_t>(from % stepsPerUnit);
        const auto intoLast = static_cast<std::uint64_t>(to % stepsPerUnit);
        // Unit `first` gets s - intoFirst, units strictly between get s each, unit `last` gets
        // intoLast; when first == last the terms net out to to - from. Arithmetic modulo 2^64.
        // Zero terms are left out, so that no block is made for them.
        unitDifferences.add(first, s - intoFirst);
        if (intoFirst != 0) unitDifferences.add(first + 1, intoFirst);
        unitDifferences.add(last, intoLast - s);
        if (intoLast != 0) unitDifferences.add(last + 1, 0 - intoLast);
    }

    // Records one finished history: its failed steps, failures and first failure step (or a
    // negative value for none).
    void addHistory(std::uint64_t failedSteps, std::uint64_t failures, int firstFailure);

    // Adds the per-history figures of `other` (histograms, moments, counts) into this one; the
    // per-unit counts are summed by failedStepsPerUnit.
    void mergeHistoriesFrom(const StudyTally& other);

    // Failed steps per reported unit (simTime / stepsPerUnit of them), summed over the tallies
    // given, which must share simTime and stepsPerUnit; each is freed of its per-unit
    // differences as soon as they are added.
    static std::vector<std::uint64_t> failedStepsPerUnit(const std::vector<StudyTally*>& tallies);

    const StudyBinning& binning() const { return bins; }
    std::uint64_t histories() const { return historyCount; }
    std::uint64_t historiesWithoutFailure() const { return neverFailed; }
    const BlockedCounts& failedStepsHistogram() const { return failedStepsBins; }
    const BlockedCounts& failuresHistogram() const { return failuresBins; }
    const BlockedCounts& firstFailureHistogram() const { return firstFailureBins; }
    const ExactMoments& failedStepsMoments() const { return failedStepsSums; }
    const ExactMoments& failuresMoments() const { return failuresSums; }
    // The sum over histories of failed steps times failures: with the two moments above it
    // gives the variance of a ratio of their totals (mean down time per failure).
    Wide failedStepsTimesFailures() const { return crossSum; }

private:
    int stepsPerUnit;
    std::uint64_t units;
    StudyBinning bins;
    // Differences whose prefix sums are the failed steps per unit; an interval ending at the
    // horizon touches indices units and units + 1, whose sums are 0.
    BlockedCounts unitDifferences;
    BlockedCounts failedStepsBins;
    BlockedCounts failuresBins;
    BlockedCounts firstFailureBins;
    ExactMoments failedStepsSums;
    ExactMoments failuresSums;
    Wide crossSum = 0;
    std::uint64_t historyCount = 0;
    std::uint64_t neverFailed = 0;
};

// The output of one history into a tally (the hooks of historyOutputs.h). Construct one per
// history, let the engine run it, then call finish(). Failed steps come from the holds; failures
// from the settled states, one per passage from working to failed, however short the failure or
// the up time before it. Within one step, the system state is judged where continuous time
// would order it: before each event drawn in that step with a positive delay shorter than the
// step (it follows the event that drew it, a positive while later), and when the step is over.
// The step's other events are taken together: an inspection that repairs one unit and a
// maintenance that stops another at the same hour are no repair and new failure of the system,
// nor is a unit repaired and failing again at that instant (a fixed failure time past).
class StudyOutput {
public:
    explicit StudyOutput(StudyTally& tally) : tally(tally) {}

    void hold(int from, int to, int systemState) {
        if (to <= from || systemState == 0) return;
        tally.foldFailedSteps(from, to);
        failedSteps += static_cast<std::uint64_t>(to - from);
    }
    void expect(int) {}
    void event(int, int, int, int, int, int) {}
    void settle(int time, int systemState, bool drawnNow) {
        if (time != instant) {
            judge(current);  // the last step with events is over
            instant = time;
        }
        if (drawnNow) judge(current);
        current = systemState;
    }

    // The history is over: records it into the tally.
    void finish() {
        judge(current);
        tally.addHistory(failedSteps, failures, firstFailure);
    }

private:
    void judge(int systemState) {
        const bool failed = systemState != 0;
        if (failed && !judgedFailed) {
            ++failures;
            if (firstFailure < 0) firstFailure = instant;
        }
        judgedFailed = failed;
    }

    StudyTally& tally;
    std::uint64_t failedSteps = 0;
    std::uint64_t failures = 0;
    int firstFailure = -1;
    int instant = -1;           // the step of the last settled event
    int current = 0;            // the system state after it
    bool judgedFailed = false;  // the system state when last judged
};
