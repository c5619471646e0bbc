#include "capacity/capacityTally.h"

CapacityTally::CapacityTally(const CapacityProgram& program, int simTime, int stepsPerUnit,
                             std::int64_t maxDemand, bool followDemand)
    : stepsPerUnit(stepsPerUnit),
      reciprocal(stepsPerUnit >= 2
                     ? static_cast<std::uint64_t>(~std::uint64_t{0} /
                                                  static_cast<std::uint64_t>(stepsPerUnit)) + 1
                     : 0),
      units(static_cast<std::uint64_t>(simTime / stepsPerUnit)),
      bins(static_cast<std::uint64_t>(maxDemand >= 0 ? maxDemand : program.demand()) *
           static_cast<std::uint64_t>(simTime)),
      rateCounts(static_cast<std::size_t>(2 * units + 2), 0),
      followDemand(followDemand),
      levelSums(program.levels().size(), 0),
      levelSquares(program.levels().size(), 0) {}

void CapacityTally::addHistory(std::uint64_t lost, std::vector<std::uint64_t>& stepsAtLevel,
                               std::uint64_t demanded) {
    ++historyCount;
    demandedTotal += demanded;
    lostBins.add(bins.binOf(lost), 1);
    lostSums.add(lost);
    for (std::size_t i = 0; i < stepsAtLevel.size(); ++i) {
        const std::uint64_t steps = stepsAtLevel[i];
        if (steps == 0) continue;
        levelSums[i] += steps;
        levelSquares[i] += static_cast<Wide>(steps) * steps;
        stepsAtLevel[i] = 0;
    }
}

void CapacityTally::mergeFrom(const CapacityTally& other) {
    lostBins.mergeFrom(other.lostBins);
    lostSums.mergeFrom(other.lostSums);
    for (std::size_t i = 0; i < levelSums.size(); ++i) {
        levelSums[i] += other.levelSums[i];
        levelSquares[i] += other.levelSquares[i];
    }
    historyCount += other.historyCount;
    demandedTotal += other.demandedTotal;
}

std::vector<std::uint64_t> CapacityTally::lostPerUnit(const std::vector<CapacityTally*>& tallies) {
    const std::uint64_t units = tallies.empty() ? 0 : tallies[0]->units;
    std::vector<std::uint64_t> changes(static_cast<std::size_t>(2 * units), 0);
    for (CapacityTally* tally : tallies) {
        for (std::size_t i = 0; i < changes.size(); ++i) changes[i] += tally->rateCounts[i];
        tally->rateCounts = std::vector<std::uint64_t>();
    }
    return fold(changes, units);
}

std::vector<std::uint64_t> CapacityTally::demandedPerUnit(
    const std::vector<CapacityTally*>& tallies) {
    const std::uint64_t units = tallies.empty() ? 0 : tallies[0]->units;
    std::vector<std::uint64_t> changes(static_cast<std::size_t>(2 * units), 0);
    for (CapacityTally* tally : tallies) {
        tally->demandChanges.addInto(changes.data(), 2 * units);
        tally->demandChanges = BlockedCounts();
    }
    return fold(changes, units);
}

std::vector<std::uint64_t> CapacityTally::fold(const std::vector<std::uint64_t>& changes,
                                               std::uint64_t units) {
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(units), 0);
    std::uint64_t running = 0;
    for (std::size_t u = 0; u < counts.size(); ++u) {
        running += changes[2 * u];
        counts[u] = running + changes[2 * u + 1];
    }
    return counts;
}
