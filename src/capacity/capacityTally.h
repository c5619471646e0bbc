// What a study keeps of the capacity its histories deliver, folded as they run (in the manner of
// studyOutput.h: memory grows with the reported units touched, the histogram bins touched and
// the capacity levels, never with the engine steps or the histories):
//   - lost production per reported unit, summed over histories: the demand minus
//     min(capacity, demand), in quanta, times the engine steps it lasted;
//   - per history: its lost production as counts per bin of 2^k values (k the smallest that
//     keeps the largest possible loss, demand x horizon, within kLostBins bins: a bin is at
//     most a millionth of that loss), with its exact sum and sum of squares;
//   - per capacity level: the engine steps spent at it, summed over histories, with the sum of
//     the squares of each history's steps there.
// Delivered production is the demand times the steps less the lost production, so only what is
// lost (zero while the system delivers its demand) is folded.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "capacity/capacityProgram.h"
#include "history/historyOutputs.h"
#include "study/studyOutput.h"

// Bins of 2^shift values over 0 .. maxValue, at most kLostBins of them.
class LostBinning {
public:
    static constexpr std::uint64_t kLostBins = std::uint64_t{1} << 20;
    explicit LostBinning(std::uint64_t maxValue) {
        while ((maxValue >> shift) >= kLostBins) ++shift;
    }
    std::uint64_t binOf(std::uint64_t value) const { return value >> shift; }
    std::uint64_t width() const { return std::uint64_t{1} << shift; }

private:
    unsigned shift = 0;
};

class CapacityTally {
public:
    // maxDemand: the largest demand a history may have (the program's by default);
    // followDemand: the demand changes within a history (a calendar's phases), whose demanded
    // production is then counted per reported unit too.
    CapacityTally(const CapacityProgram& program, int simTime, int stepsPerUnit,
                  std::int64_t maxDemand = -1, bool followDemand = false);

    // The lost production rate of a history changes by `delta` (modulo 2^64) from step `time`
    // on, to the end of the history: in O(1), whatever the number of units it covers. Unit u
    // of s steps then loses delta x (s - offset) when the change falls at `offset` into it, and
    // delta x s in every later unit; summed over changes and histories, prefix sums give the
    // lost production per unit (a history's changes sum to its rate at every step).
    void changeRate(int time, std::uint64_t delta) { addChange(rateChanges, time, delta); }
    // As changeRate, for the demand (a tally that follows the demand).
    void changeDemand(int time, std::uint64_t delta) { addChange(demandChanges, time, delta); }
    bool followsDemand() const { return followDemand; }
    int steps() const { return stepsPerUnit; }  // engine steps per time unit

    // Records one finished history: its lost and demanded production and its steps at each
    // level (which are set back to 0).
    void addHistory(std::uint64_t lost, std::vector<std::uint64_t>& stepsAtLevel,
                    std::uint64_t demanded);
    void mergeFrom(const CapacityTally& other);

    // Lost (demanded) production per reported unit, summed over the tallies (same program and
    // horizon); each is freed of its per-unit differences as they are added.
    static std::vector<std::uint64_t> lostPerUnit(const std::vector<CapacityTally*>& tallies);
    static std::vector<std::uint64_t> demandedPerUnit(
        const std::vector<CapacityTally*>& tallies);

    const LostBinning& binning() const { return bins; }
    std::uint64_t histories() const { return historyCount; }
    const BlockedCounts& lostHistogram() const { return lostBins; }
    const ExactMoments& lostMoments() const { return lostSums; }
    Wide demandedSum() const { return demandedTotal; }
    const std::vector<Wide>& levelSteps() const { return levelSums; }
    const std::vector<Wide>& levelStepsSquares() const { return levelSquares; }

private:
    void addChange(BlockedCounts& changes, int time, std::uint64_t delta) {
        const auto s = static_cast<std::uint64_t>(stepsPerUnit);
        const auto t = static_cast<std::uint64_t>(time);
        // t / s by a multiplication (exact for t < 2^32): cheaper than a division per change.
        const std::uint64_t unit =
            s == 1 ? t : static_cast<std::uint64_t>((static_cast<Wide>(t) * reciprocal) >> 64);
        const std::uint64_t offset = t - unit * s;
        // Even entries: what every unit from this one on gains; odd ones: this unit's own
        // correction for the steps before the change.
        changes.add(2 * unit, delta * s);
        if (offset != 0) changes.add(2 * unit + 1, 0 - delta * offset);
    }
    static std::vector<std::uint64_t> perUnit(const std::vector<CapacityTally*>& tallies,
                                              BlockedCounts CapacityTally::*changes);

    int stepsPerUnit;
    std::uint64_t reciprocal;  // ceil(2^64 / stepsPerUnit), for stepsPerUnit >= 2
    std::uint64_t units;
    LostBinning bins;
    BlockedCounts rateChanges;
    BlockedCounts demandChanges;
    bool followDemand;
    Wide demandedTotal = 0;
    BlockedCounts lostBins;
    ExactMoments lostSums;
    std::vector<Wide> levelSums;
    std::vector<Wide> levelSquares;
    std::uint64_t historyCount = 0;
};

// Follows one history's capacity into a tally: each event sets its component's state in the
// program; when the capacity (or the demand) changes, the steps since the last change are added
// to its level and lost production, and the lost rate's change to the per-unit counts. Made per
// history over a state that was reset; finish() records the history.
class CapacityFollower {
public:
    CapacityFollower(const CapacityProgram& program, CapacityState& state, CapacityTally& tally,
                     std::vector<std::uint64_t>& stepsAtLevel, int simTime)
        : program(program), state(state), tally(tally), stepsAtLevel(stepsAtLevel),
          demand(program.demand()), simTime(simTime) {
        if (tally.followsDemand()) tally.changeDemand(0, static_cast<std::uint64_t>(demand));
        follow(0, state.value());
    }

    // Out of the engine's loop, which stays as compact as without capacity.
    __attribute__((noinline)) void changed(int time, int component, int toState) {
        const std::int64_t was = state.value();
        const std::int64_t now = state.set(component, toState);
        if (now != was) follow(time, now);
    }

    // The demand is `value` from `time` on (a calendar's phase); only for a tally that
    // follows the demand.
    void setDemand(int time, std::int64_t value) {
        if (value == demand) return;
        tally.changeDemand(time, static_cast<std::uint64_t>(value - demand));
        close(time);
        demand = value;
        follow(time, state.value());
    }

    void finish() {
        close(simTime);
        tally.addHistory(lost, stepsAtLevel, demanded);
    }

    // The production lost from 0 to `time` (no earlier than the last change), in capacity
    // units x time units: what a history's costs count (logistics).
    double lostUnits(int time) const {
        const std::uint64_t quantaSteps =
            lost + lostRate * static_cast<std::uint64_t>(time - since);
        return static_cast<double>(quantaSteps) /
               (static_cast<double>(program.scale()) * tally.steps());
    }

private:
    // The steps since the last change, at the level, lost rate and demand that held during them.
    void close(int time) {
        const auto steps = static_cast<std::uint64_t>(time - since);
        stepsAtLevel[static_cast<std::size_t>(level)] += steps;
        lost += lostRate * steps;
        demanded += static_cast<std::uint64_t>(demand) * steps;
        since = time;
    }

    void follow(int time, std::int64_t capacity) {
        close(time);
        const std::uint64_t rate =
            capacity >= demand ? 0 : static_cast<std::uint64_t>(demand - capacity);
        if (rate != lostRate) {
            tally.changeRate(time, rate - lostRate);
            lostRate = rate;
        }
        level = program.levelOf(capacity);
    }

    const CapacityProgram& program;
    CapacityState& state;
    CapacityTally& tally;
    std::vector<std::uint64_t>& stepsAtLevel;
    std::int64_t demand;
    const int simTime;
    std::uint64_t lostRate = 0;
    std::uint64_t lost = 0;
    std::uint64_t demanded = 0;
    int level = 0;
    int since = 0;  // the time of the last change
};

// An output (the hooks of historyOutputs.h) that passes every hook on to `inner` and follows the
// system's capacity (CapacityFollower). Construct one per history over a state that was reset,
// let the engine run it, then call finish().
template <class Inner>
class CapacityOutput {
public:
    CapacityOutput(Inner& inner, const CapacityProgram& program, CapacityState& state,
                   CapacityTally& tally, std::vector<std::uint64_t>& stepsAtLevel, int simTime)
        : inner(inner), follower(program, state, tally, stepsAtLevel, simTime) {}

    // The capacity holds between events: its time is counted when it changes, and at the end.
    void hold(int from, int to, int systemState) { inner.hold(from, to, systemState); }
    void expect(int time) { inner.expect(time); }
    // Passed on when the inner output has it (historyOutputs.h), so that engines track it.
    template <class I = Inner, std::enable_if_t<HasSettle<I>::value, int> = 0>
    void settle(int time, int systemState, bool drawnNow) {
        inner.settle(time, systemState, drawnNow);
    }
    void event(int time, int fromState, int toState, int component, int before, int after) {
        inner.event(time, fromState, toState, component, before, after);
        follower.changed(time, component, toState);
    }

    void finish() { follower.finish(); }
    double lostProduction(int time) const { return follower.lostUnits(time); }

private:
    Inner& inner;
    CapacityFollower follower;
};
