#include "study/studyOutput.h"

#include <algorithm>

StudyBinning::StudyBinning(std::uint64_t maxValue) {
    while (maxValue >= kExactBins && ((maxValue - kExactBins) >> widthShift) >= kExactBins) {
        ++widthShift;
    }
}

void BlockedCounts::makeBlock(std::size_t block) {
    if (block >= blocks.size()) blocks.resize(block + 1);
    blocks[block].reset(new std::uint64_t[kBlockSize]());
}

void BlockedCounts::mergeFrom(const BlockedCounts& other) {
    for (std::size_t block = 0; block < other.blocks.size(); ++block) {
        if (!other.blocks[block]) continue;
        if (block >= blocks.size() || !blocks[block]) makeBlock(block);
        for (std::uint64_t i = 0; i < kBlockSize; ++i) blocks[block][i] += other.blocks[block][i];
    }
    indicesUsed = std::max(indicesUsed, other.indicesUsed);
}

void BlockedCounts::addInto(std::uint64_t* destination, std::uint64_t n) const {
    for (std::size_t block = 0; block < blocks.size(); ++block) {
        if (!blocks[block]) continue;
        const std::uint64_t first = static_cast<std::uint64_t>(block) << kBlockShift;
        if (first >= n) break;
        const std::uint64_t count = std::min(kBlockSize, n - first);
        for (std::uint64_t i = 0; i < count; ++i) destination[first + i] += blocks[block][i];
    }
}

std::vector<std::uint64_t> BlockedCounts::toVector() const {
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(indicesUsed), 0);
    addInto(counts.data(), indicesUsed);
    return counts;
}

StudyTally::StudyTally(int simTime, int stepsPerUnit)
    : stepsPerUnit(stepsPerUnit),
      units(static_cast<std::uint64_t>(simTime / stepsPerUnit)),
      bins(static_cast<std::uint64_t>(simTime)) {}

void StudyTally::addHistory(std::uint64_t failedSteps, std::uint64_t failures, int firstFailure) {
    ++historyCount;
    failedStepsBins.add(bins.binOf(failedSteps), 1);
    failuresBins.add(bins.binOf(failures), 1);
    failedStepsSums.add(failedSteps);
    failuresSums.add(failures);
    crossSum += static_cast<Wide>(failedSteps) * failures;
    if (firstFailure < 0) {
        ++neverFailed;
    } else {
        firstFailureBins.add(bins.binOf(static_cast<std::uint64_t>(firstFailure)), 1);
    }
}

void StudyTally::mergeHistoriesFrom(const StudyTally& other) {
    failedStepsBins.mergeFrom(other.failedStepsBins);
    failuresBins.mergeFrom(other.failuresBins);
    firstFailureBins.mergeFrom(other.firstFailureBins);
    failedStepsSums.mergeFrom(other.failedStepsSums);
    failuresSums.mergeFrom(other.failuresSums);
    crossSum += other.crossSum;
    historyCount += other.historyCount;
    neverFailed += other.neverFailed;
}

std::vector<std::uint64_t> StudyTally::failedStepsPerUnit(const std::vector<StudyTally*>& tallies) {
    const std::uint64_t units = tallies.empty() ? 0 : tallies[0]->units;
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(units), 0);
    for (StudyTally* tally : tallies) {
        tally->unitDifferences.addInto(counts.data(), units);
        tally->unitDifferences = BlockedCounts();
    }
    std::uint64_t running = 0;
    for (std::uint64_t& value : counts) {
        running += value;
        value = running;
    }
    return counts;
}
