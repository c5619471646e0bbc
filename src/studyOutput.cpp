#include "studyOutput.h"

#include <algorithm>

StudyBinning::StudyBinning(std::uint64_t maxValue) {
    while (maxValue >= kExactBins && ((maxValue - kExactBins) >> widthShift) >= kExactBins) {
        ++widthShift;
    }
}

void LazyHistogram::makeBlock(std::size_t block) {
    if (block >= blocks.size()) blocks.resize(block + 1);
    blocks[block].reset(new std::uint64_t[kBlockSize]());
}

void LazyHistogram::mergeFrom(const LazyHistogram& other) {
    for (std::size_t block = 0; block < other.blocks.size(); ++block) {
        if (!other.blocks[block]) continue;
        if (block >= blocks.size() || !blocks[block]) makeBlock(block);
        for (std::uint64_t i = 0; i < kBlockSize; ++i) blocks[block][i] += other.blocks[block][i];
    }
    binsUsed = std::max(binsUsed, other.binsUsed);
}

std::vector<std::uint64_t> LazyHistogram::toVector() const {
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(binsUsed), 0);
    for (std::size_t block = 0; block < blocks.size(); ++block) {
        if (!blocks[block]) continue;
        const std::uint64_t first = static_cast<std::uint64_t>(block) << kBlockShift;
        const std::uint64_t end = std::min(binsUsed, first + kBlockSize);
        for (std::uint64_t bin = first; bin < end; ++bin) {
            counts[static_cast<std::size_t>(bin)] = blocks[block][bin - first];
        }
    }
    return counts;
}

StudyTally::StudyTally(int simTime, int stepsPerUnit)
    : stepsPerUnit(stepsPerUnit),
      bins(static_cast<std::uint64_t>(simTime)),
      unitDifferences(static_cast<std::size_t>(simTime / stepsPerUnit) + 2, 0) {}

void StudyTally::addHistory(std::uint64_t failedSteps, std::uint64_t failures, int firstFailure) {
    ++historyCount;
    failedStepsBins.add(bins.binOf(failedSteps));
    failuresBins.add(bins.binOf(failures));
    failedStepsSums.add(failedSteps);
    failuresSums.add(failures);
    if (firstFailure < 0) {
        ++neverFailed;
    } else {
        firstFailureBins.add(bins.binOf(static_cast<std::uint64_t>(firstFailure)));
    }
}

void StudyTally::mergeFrom(const StudyTally& other) {
    for (std::size_t u = 0; u < unitDifferences.size(); ++u) {
        unitDifferences[u] += other.unitDifferences[u];
    }
    failedStepsBins.mergeFrom(other.failedStepsBins);
    failuresBins.mergeFrom(other.failuresBins);
    firstFailureBins.mergeFrom(other.firstFailureBins);
    failedStepsSums.mergeFrom(other.failedStepsSums);
    failuresSums.mergeFrom(other.failuresSums);
    historyCount += other.historyCount;
    neverFailed += other.neverFailed;
}

std::vector<std::uint64_t> StudyTally::takeFailedStepsPerUnit() {
    std::vector<std::uint64_t> counts = std::move(unitDifferences);
    unitDifferences.clear();
    std::uint64_t running = 0;
    for (std::uint64_t& value : counts) {
        running += value;
        value = running;
    }
    counts.resize(counts.size() - 2);  // the two guard words hold 0 once summed
    return counts;
}
