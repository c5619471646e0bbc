#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simRunner.h"

namespace {

Distribution never;
Distribution* const N = &never;

// A busy two-component model: failures and repairs from three laws and a periodic inspection.
struct BusyModel {
    Exponential fail{0.08};
    Weibull wear{15.0, 2.0};
    Uniform repair{1.0, 6.0};
    Inspection inspect{7};
    InstantaneousFailure late{30};
    ComponentModel model{{{N, &fail, &late}, {&repair, N, N}, {&inspect, N, N}},
                         {{N, &wear, N}, {&inspect, N, N}, {N, N, N}}};
    CutsetTree tree{2};
    BusyModel() { tree.constructTree({{1, 1}}); }
};

// Restores the OpenMP thread count a test changed.
class ThreadCountGuard {
public:
    ThreadCountGuard() : saved(omp_get_max_threads()) {}
    ~ThreadCountGuard() { omp_set_num_threads(saved); }

private:
    int saved;
};

// Throws for small draws, so that some histories of a batch fail and others do not.
class FragileLaw : public Distribution {
public:
    double quantile(double p, int) const override {
        if (p < 0.01) throw std::out_of_range("draw too small");
        return 4.0;
    }
};

std::vector<unsigned int> sumOfSingles(int n, int simTime, const ComponentModel& model,
                                       CutsetTree* tree, int seed) {
    std::vector<unsigned int> sum(static_cast<std::size_t>(simTime), 0u);
    for (int i = 0; i < n; ++i) {
        const auto historySeed = static_cast<int>(static_cast<std::uint32_t>(seed) +
                                                  static_cast<std::uint32_t>(i));
        const auto series = runnerSingleSim(simTime, model, tree, historySeed);
        for (std::size_t t = 0; t < sum.size(); ++t) sum[t] += series[t];
    }
    return sum;
}

using Runner = std::function<std::vector<unsigned int>(int, int, ComponentModel, CutsetTree*, int)>;
const Runner kMultiple = runnerMultipleSim;
const Runner kParallel = runnerParallelSim;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs f with standard output captured; returns the captured text.
template <class F>
std::string stdoutOf(F&& f) {
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// ---- Results ----

TEST(SimRunnerResults, BatchRunnersEqualTheSumOfSingleHistories) {
    ThreadCountGuard guard;
    BusyModel m;
    const int n = 130;  // more than two chunks of the parallel schedule
    for (int seed : {0, 2147483647, -1, -2147483647 - 1, 12345}) {
        SCOPED_TRACE(seed);
        const auto expected = sumOfSingles(n, 60, m.model, &m.tree, seed);
        std::vector<unsigned int> multiple;
        stdoutOf([&] { multiple = runnerMultipleSim(n, 60, m.model, &m.tree, seed); });
        EXPECT_EQ(multiple, expected);
        for (int threads : {1, 2, 3}) {
            limitOMPThreads(threads);
            std::vector<unsigned int> parallel;
            stdoutOf([&] { parallel = runnerParallelSim(n, 60, m.model, &m.tree, seed); });
            EXPECT_EQ(parallel, expected) << threads << " threads";
        }
        const auto [low, high] = std::minmax_element(expected.begin(), expected.end());
        EXPECT_GT(*high, 0u) << "the model is meant to fail sometimes";
        EXPECT_LT(*low, static_cast<unsigned int>(n)) << "and to work sometimes";
    }
}

TEST(SimRunnerResults, SeriesShorterThanOneVectorAndEmptySeries) {
    BusyModel m;
    for (const Runner& run : {kMultiple, kParallel}) {
        for (int simTime : {0, 5, 17}) {
            std::vector<unsigned int> result;
            stdoutOf([&] { result = run(40, simTime, m.model, &m.tree, 3); });
            EXPECT_EQ(result, sumOfSingles(40, simTime, m.model, &m.tree, 3));
        }
    }
}

TEST(SimRunnerResults, NoHistoriesMeansZerosAndNoChecks) {
    for (const Runner& run : {kMultiple, kParallel}) {
        for (int n : {0, -4}) {
            std::vector<unsigned int> result;
            stdoutOf([&] { result = run(n, 7, ComponentModel{}, nullptr, 1); });
            EXPECT_EQ(result, std::vector<unsigned int>(7, 0u));
        }
    }
}

TEST(SimRunnerResults, SingleHistoryOfTheDocumentedExample) {
    InstantaneousFailure at3(3);
    CutsetTree tree(1);
    tree.insertNode({1});
    const ComponentModel model{{{N, &at3}, {N, N}}};
    EXPECT_EQ(runnerSingleSim(6, model, &tree, 0), (std::vector<unsigned int>{0, 0, 0, 1, 1, 1}));
    EXPECT_TRUE(runnerSingleSim(0, model, &tree, 0).empty());
}

// ---- Console ----

std::vector<std::string> expectedProgress(int n) {
    std::vector<std::string> lines;
    for (int i = 0; i < n; i += 10000) lines.push_back("Simulation " + std::to_string(i) + " done.");
    lines.push_back("Simulation " + std::to_string(n) + " done.");
    lines.push_back("All Simulations Done.");
    return lines;
}

TEST(SimRunnerConsole, ProgressAndClosingLines) {
    ThreadCountGuard guard;
    limitOMPThreads(2);
    Distribution law;
    const ComponentModel tiny{{{&law}}};
    CutsetTree tree(1);
    tree.insertNode({1});
    for (int n : {25000, 1, 0, -3}) {
        SCOPED_TRACE(n);
        const auto expected = expectedProgress(n);
        EXPECT_EQ(linesOf(stdoutOf([&] { runnerMultipleSim(n, 1, tiny, &tree, 0); })), expected);

        auto lines = linesOf(stdoutOf([&] { runnerParallelSim(n, 1, tiny, &tree, 0); }));
        ASSERT_EQ(lines.size(), expected.size() + 1);
        EXPECT_EQ(lines[0], "Numero de threads disponiveis: 2");
        // Progress lines of different workers may come in any order; the closing two come last.
        lines.erase(lines.begin());
        std::sort(lines.begin(), lines.end() - 2);
        auto sortedExpected = expected;
        std::sort(sortedExpected.begin(), sortedExpected.end() - 2);
        EXPECT_EQ(lines, sortedExpected);
    }
}

// ---- Failures ----

struct Failure {
    std::string type;
    std::string message;
    std::string output;
};

Failure failureOf(const std::function<void()>& run) {
    Failure f;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        run();
        f.type = "none";
    } catch (const std::invalid_argument& e) {
        f = {"invalid_argument", e.what(), ""};
    } catch (const std::out_of_range& e) {
        f = {"out_of_range", e.what(), ""};
    } catch (const std::bad_array_new_length& e) {
        f = {"bad_array_new_length", e.what(), ""};
    } catch (const std::runtime_error& e) {
        f = {"runtime_error", e.what(), ""};
    }
    f.output = testing::internal::GetCapturedStdout() + "|" + testing::internal::GetCapturedStderr();
    return f;
}

TEST(SimRunnerFailures, ModelErrorsAreTheSameInEveryRunner) {
    BusyModel m;
    const ComponentModel ragged{{{N, N}, {N}}}, withNull{{{N, nullptr}, {N, N}}};
    struct Case {
        const char* name;
        ComponentModel model;
        CutsetTree* tree;
        std::string message;
    };
    const Case cases[] = {
        {"null tree", m.model, nullptr, "Cutset matrix must not be null."},
        {"null tree and empty model", {}, nullptr, "Cutset matrix must not be null."},
        {"empty model", {}, &m.tree, "Transitions matrix must not be empty."},
        {"component without states", {{}}, &m.tree, "Transitions matrix must not be empty."},
        {"ragged row", ragged, &m.tree, "Component 0, state 1: expected 2 transition laws, found 1."},
        {"null law", withNull, &m.tree,
         "Component 0, state 0: the law of the transition into state 1 is missing (None)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Failure single = failureOf([&] { runnerSingleSim(5, c.model, c.tree, 0); });
        const Failure multiple = failureOf([&] { runnerMultipleSim(3, 5, c.model, c.tree, 0); });
        const Failure parallel = failureOf([&] { runnerParallelSim(3, 5, c.model, c.tree, 0); });
        for (const Failure* f : {&single, &multiple, &parallel}) {
            EXPECT_EQ(f->type, "invalid_argument");
            EXPECT_EQ(f->message, c.message);
        }
        EXPECT_EQ(single.output, "|");
        EXPECT_EQ(multiple.output, "|");
        EXPECT_EQ(parallel.output, "Numero de threads disponiveis: " +
                                       std::to_string(omp_get_max_threads()) + "\n|");
    }
}

TEST(SimRunnerFailures, LawAndGuardExceptionsReachTheCallerFromWorkers) {
    ThreadCountGuard guard;
    FragileLaw fragile;
    Uniform instant(0.0, 1.0);
    CutsetTree tree(1);
    tree.insertNode({1});
    struct Case {
        const char* name;
        ComponentModel model;
        std::string type;
    };
    const Case cases[] = {
        {"law throws in some histories", {{{N, &fragile}, {&fragile, N}}}, "out_of_range"},
        {"zero-delay cycle", {{{N, &instant}, {&instant, N}}}, "runtime_error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Failure multiple = failureOf([&] { runnerMultipleSim(400, 50, c.model, &tree, 0); });
        EXPECT_EQ(multiple.type, c.type);
        EXPECT_EQ(multiple.output.find("All Simulations Done."), std::string::npos);
        for (int threads : {1, 2, 3}) {
            limitOMPThreads(threads);
            const Failure parallel =
                failureOf([&] { runnerParallelSim(400, 50, c.model, &tree, 0); });
            EXPECT_EQ(parallel.type, multiple.type) << threads << " threads";
            EXPECT_EQ(parallel.message, multiple.message) << threads << " threads";
            EXPECT_EQ(parallel.output.find("All Simulations Done."), std::string::npos);
        }
    }
}

TEST(SimRunnerFailures, NegativeSimTime) {
    BusyModel m;
    const Failure single = failureOf([&] { runnerSingleSim(-1, m.model, &m.tree, 0); });
    EXPECT_EQ(single.type, "bad_array_new_length");
    EXPECT_EQ(single.output, "|");

    const Failure multiple = failureOf([&] { runnerMultipleSim(3, -1, m.model, &m.tree, 0); });
    EXPECT_EQ(multiple.type, "runtime_error");
    EXPECT_EQ(multiple.message, "Failed to allocate systemStates in runnerMultipleSim.");
    EXPECT_EQ(multiple.output, "|");

    // Allocation comes before the checks of tree and model.
    const Failure parallel = failureOf([&] { runnerParallelSim(3, -5, {}, nullptr, 0); });
    EXPECT_EQ(parallel.type, "runtime_error");
    EXPECT_EQ(parallel.message, "Failed to allocate systemStates in runnerParallelSim.");
    EXPECT_EQ(parallel.output, "Numero de threads disponiveis: " +
                                   std::to_string(omp_get_max_threads()) +
                                   "\n|Erro ao alocar memória para os estados locais.\n");
}

TEST(SimRunnerThreads, LimitOMPThreads) {
    ThreadCountGuard guard;
    limitOMPThreads(3);
    EXPECT_EQ(omp_get_max_threads(), 3);
    for (int bad : {0, -1, -2147483647 - 1}) {
        const Failure f = failureOf([&] { limitOMPThreads(bad); });
        EXPECT_EQ(f.type, "invalid_argument");
        EXPECT_EQ(f.message, "maxThreads must be at least 1");
    }
    EXPECT_EQ(omp_get_max_threads(), 3) << "a rejected value changes nothing";

    const int limit = maxOMPThreads();
    EXPECT_GE(limit, 1);
    EXPECT_LE(limit, omp_get_thread_limit());
    EXPECT_LE(limit, 64 * omp_get_num_procs());
    for (int bad : {limit + 1, 1000000, 2147483647}) {
        const Failure f = failureOf([&] { limitOMPThreads(bad); });
        EXPECT_EQ(f.type, "invalid_argument");
        EXPECT_EQ(f.message.rfind("maxThreads must be at most " + std::to_string(limit) + " (", 0), 0u)
            << f.message;
    }
    EXPECT_EQ(omp_get_max_threads(), 3);
    limitOMPThreads(limit);
    EXPECT_EQ(omp_get_max_threads(), limit);
}

// ---- Stopping a run ----

int interruptQuestions = 0;
bool interruptAtOnce() {
    ++interruptQuestions;
    return true;
}
bool neverInterrupt() {
    ++interruptQuestions;
    return false;
}

TEST(SimRunnerInterrupt, AnsweredCheckStopsEveryRunnerWithoutAResult) {
    ThreadCountGuard guard;
    BusyModel m;
    const int endless = 2000000000;
    struct Case {
        const char* name;
        Runner run;
        int threads;
    };
    const Case cases[] = {{"multiple", kMultiple, 1}, {"parallel, 1 thread", kParallel, 1},
                          {"parallel, 2 threads", kParallel, 2}, {"parallel, 3 threads", kParallel, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        limitOMPThreads(c.threads);
        interruptQuestions = 0;
        std::string output;
        {
            const ScopedInterruptCheck check(&interruptAtOnce);
            bool interrupted = false;
            testing::internal::CaptureStdout();
            try {
                c.run(endless, 60, m.model, &m.tree, 1);
            } catch (const RunInterrupted&) {
                interrupted = true;
            }
            output = testing::internal::GetCapturedStdout();
            EXPECT_TRUE(interrupted);
        }
        EXPECT_EQ(interruptQuestions, 1) << "asked again after it answered";
        EXPECT_EQ(output.find("All Simulations Done."), std::string::npos);
        // Without the check the same runner completes again.
        std::vector<unsigned int> result;
        stdoutOf([&] { result = c.run(300, 60, m.model, &m.tree, 1); });
        EXPECT_EQ(result, sumOfSingles(300, 60, m.model, &m.tree, 1));
    }
}

TEST(SimRunnerInterrupt, ChecksAnsweringNoLeaveTheResultAlone) {
    BusyModel m;
    interruptQuestions = 0;
    const ScopedInterruptCheck check(&neverInterrupt);
    std::vector<unsigned int> result;
    // Long enough for a few of the checks, which come every few milliseconds.
    stdoutOf([&] { result = runnerMultipleSim(60000, 60, m.model, &m.tree, 1); });
    EXPECT_EQ(result, sumOfSingles(60000, 60, m.model, &m.tree, 1));
    EXPECT_GT(interruptQuestions, 0);
}

}  // namespace
