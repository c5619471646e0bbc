// What a study keeps of the capacity its histories deliver, folded as they run (in the manner of
// studyOutput.h: memory grows with the reported units touched, the histogram bins touched and
// the capacity levels, never with the engine steps or the histories):
//   - lost production per reported unit, summed over histories: the demand minus
//     min(capacity, demand), in quanta, times the engine steps it lasted;
//   - per history: its lost production as exact counts per value (a histogram binned as
//     StudyBinning bins) with its sum and sum of squares;
//   - per capacity level: the engine steps spent at it, summed over histories, with the sum of
//     the squares of each history's steps there.
// Delivered production is the demand times the steps less the lost production, so only what is
// lost (zero while the system delivers its demand) is folded.
#pragma once

#include <cstdint>
#include <vector>

#include "capacityProgram.h"
#include "studyOutput.h"

class CapacityTally {
public:
    CapacityTally(const CapacityProgram& program, int simTime, int stepsPerUnit);

    // Adds rate x steps for the steps [from, to) (0 <= from < to <= simTime) to the per-unit
    // counts, in O(1).
    void foldLost(int from, int to, std::uint64_t rate) {
        const auto s = static_cast<std::uint64_t>(stepsPerUnit);
        const auto first = static_cast<std::uint64_t>(from / stepsPerUnit);
        const auto last = static_cast<std::uint64_t>(to / stepsPerUnit);
        const auto intoFirst = static_cast<std::uint64_t>(from % stepsPerUnit);
        const auto intoLast = static_cast<std::uint64_t>(to % stepsPerUnit);
        // As StudyTally::foldFailedSteps, every term times the rate (modulo 2^64).
        unitDifferences.add(first, rate * (s - intoFirst));
        if (intoFirst != 0) unitDifferences.add(first + 1, rate * intoFirst);
        unitDifferences.add(last, rate * intoLast - rate * s);
        if (intoLast != 0) unitDifferences.add(last + 1, 0 - rate * intoLast);
    }

    // Records one finished history: its lost production and its steps at each level (which are
    // set back to 0).
    void addHistory(std::uint64_t lost, std::vector<std::uint64_t>& stepsAtLevel);
    void mergeFrom(const CapacityTally& other);

    // Lost production per reported unit, summed over the tallies (same program and horizon);
    // each is freed of its per-unit differences as they are added.
    static std::vector<std::uint64_t> lostPerUnit(const std::vector<CapacityTally*>& tallies);

    const StudyBinning& binning() const { return bins; }
    std::uint64_t histories() const { return historyCount; }
    const BlockedCounts& lostHistogram() const { return lostBins; }
    const ExactMoments& lostMoments() const { return lostSums; }
    const std::vector<Wide>& levelSteps() const { return levelSums; }
    const std::vector<Wide>& levelStepsSquares() const { return levelSquares; }

private:
    int stepsPerUnit;
    std::uint64_t units;
    StudyBinning bins;
    BlockedCounts unitDifferences;
    BlockedCounts lostBins;
    ExactMoments lostSums;
    std::vector<Wide> levelSums;
    std::vector<Wide> levelSquares;
    std::uint64_t historyCount = 0;
};

// An output (the hooks of historyOutputs.h) that passes every hook on to `inner` and follows the
// system's capacity: each event sets its component's state in the program, each hold adds the
// lost production and the steps at the current level. Construct one per history over a state
// that was reset, let the engine run it, then call finish().
template <class Inner>
class CapacityOutput {
public:
    CapacityOutput(Inner& inner, const CapacityProgram& program, CapacityState& state,
                   CapacityTally& tally, std::vector<std::uint64_t>& stepsAtLevel)
        : inner(inner), program(program), state(state), tally(tally),
          stepsAtLevel(stepsAtLevel), demand(program.demand()) {
        follow(state.value());
    }

    void hold(int from, int to, int systemState) {
        inner.hold(from, to, systemState);
        if (to <= from) return;
        const auto steps = static_cast<std::uint64_t>(to - from);
        stepsAtLevel[static_cast<std::size_t>(level)] += steps;
        if (lostRate != 0) {
            tally.foldLost(from, to, lostRate);
            lost += lostRate * steps;
        }
    }
    void expect(int time) { inner.expect(time); }
    void event(int time, int fromState, int toState, int component, int before, int after) {
        inner.event(time, fromState, toState, component, before, after);
        const std::int64_t was = state.value();
        const std::int64_t now = state.set(component, toState);
        if (now != was) follow(now);
    }

    void finish() { tally.addHistory(lost, stepsAtLevel); }

private:
    void follow(std::int64_t capacity) {
        lostRate = capacity >= demand ? 0 : static_cast<std::uint64_t>(demand - capacity);
        level = program.levelOf(capacity);
    }

    Inner& inner;
    const CapacityProgram& program;
    CapacityState& state;
    CapacityTally& tally;
    std::vector<std::uint64_t>& stepsAtLevel;
    const std::int64_t demand;
    std::uint64_t lostRate = 0;
    std::uint64_t lost = 0;
    int level = 0;
};
