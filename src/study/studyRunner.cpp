#include "study/studyRunner.h"

#include <stdexcept>

#include "history/historyEngine.h"
#include "simRunner.h"

void checkStudyPlan(const StudyPlan& plan) {
    if (plan.simTime < 0) throw std::invalid_argument("simTime must not be negative");
    if (plan.stepsPerUnit < 1) throw std::invalid_argument("stepsPerUnit must be at least 1");
    if (plan.simTime % plan.stepsPerUnit != 0) {
        throw std::invalid_argument("simTime (" + std::to_string(plan.simTime) +
                                    ") must be a multiple of stepsPerUnit (" +
                                    std::to_string(plan.stepsPerUnit) + ")");
    }
    if (plan.histories < 0) throw std::invalid_argument("nSimulations must not be negative");
    if (plan.threads < 1) throw std::invalid_argument("threads must be at least 1");
    const int limit = maxOMPThreads();
    if (plan.threads > limit) {
        throw std::invalid_argument("threads must be at most " + std::to_string(limit) +
                                    " (the thread limit of the OpenMP runtime on this machine)");
    }
}

void StudyWarnings::add(const std::string& message) {
    if (kept.size() >= kMaxKept) return;
    for (const std::string& known : kept) {
        if (known == message) return;
    }
    kept.push_back(message);
}

void StudyWarnings::mergeFrom(const StudyWarnings& other) {
    for (const std::string& message : other.kept) add(message);
}

namespace studyDetail {

void StopState::fail(std::exception_ptr error) {
#pragma omp critical(tarvo_study_first_error)
    {
        if (!firstError) firstError = error;
    }
    stop.store(true);
}

void StopState::throwIfIncomplete() const {
    if (firstError) std::rethrow_exception(firstError);
    if (interrupted.load()) throw RunInterrupted();
}

StudyResult collect(std::vector<std::unique_ptr<StudyTally>>& tallies,
                    std::vector<StudyWarnings>& warnings) {
    std::vector<StudyTally*> all;
    for (auto& tally : tallies) all.push_back(tally.get());
    StudyResult result;
    result.failedStepsPerUnit = StudyTally::failedStepsPerUnit(all);
    StudyTally& total = *tallies[0];
    for (std::size_t t = 1; t < tallies.size(); ++t) {
        total.mergeHistoriesFrom(*tallies[t]);
        tallies[t].reset();
        warnings[0].mergeFrom(warnings[t]);
    }
    result.failedStepsHistogram = total.failedStepsHistogram().toVector();
    result.failuresHistogram = total.failuresHistogram().toVector();
    result.firstFailureHistogram = total.firstFailureHistogram().toVector();
    result.histories = total.histories();
    result.historiesWithoutFailure = total.historiesWithoutFailure();
    result.binWidth = total.binning().width();
    result.failedSteps = total.failedStepsMoments();
    result.failures = total.failuresMoments();
    result.failedStepsTimesFailures = total.failedStepsTimesFailures();
    result.warnings = warnings[0].messages();
    return result;
}

}  // namespace studyDetail

StudyResult runStudy(const ComponentModel& model, CutsetTree* cutSetTree, const StudyPlan& plan) {
    checkStudyPlan(plan);
    checkModel(model, cutSetTree);
    const CompiledModel compiled(model, cutSetTree);
    return runStudyWith(plan, [&](StudyWarnings&) {
        return std::make_unique<HistoryEngine>(compiled, plan.simTime, EventSelection::automatic,
                                               FirstSampling::fireNegative);
    });
}
