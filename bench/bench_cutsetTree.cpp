// Prints the cost of building a cutset tree and of the lookups the simulation engine makes.
//
// Each tree holds 50,000 random cut sets over 60 components: once of 2 to 6 distinct members,
// where almost every query with a few failed components hits a set, and once of 4 to 10, where
// most lookups are misses that search every branch a contained set could lie in. Queries have
// exactly 0, 3 or 10 failed components. Last, the insertion of pairs of long cut sets that share
// all but their last entries, for doubling lengths.
// Usage: bench_cutsetTree [seed]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "cutsetTree.h"

namespace {

constexpr int kComponents = 60;
constexpr int kCutsets = 50000;
constexpr int kQueries = 4096;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 0/1 vector over the components with `members` distinct entries set to 1.
std::vector<int> randomSet(std::mt19937_64& rng, int members) {
    std::vector<int> order(kComponents);
    std::iota(order.begin(), order.end(), 0);
    std::vector<int> cutset(kComponents, 0);
    for (int i = 0; i < members; ++i) {
        std::uniform_int_distribution<int> pick(i, kComponents - 1);
        std::swap(order[i], order[pick(rng)]);
        cutset[order[i]] = 1;
    }
    return cutset;
}

// Runs `lookup` over all the queries in rounds of at least 50 ms and prints the best round's
// lookups per second (the best round is the one least disturbed by other work on the machine)
// and the fraction of queries answered "failed".
template <class Lookup>
void measure(const char* name, const std::vector<std::vector<int>>& queries, Lookup lookup) {
    double bestRate = 0.0;
    double failedFraction = 0.0;
    for (int round = 0; round < 5; ++round) {
        long long calls = 0;
        long long failed = 0;
        const Clock::time_point start = Clock::now();
        double elapsed = 0.0;
        do {
            for (const std::vector<int>& query : queries) failed += lookup(query) ? 1 : 0;
            calls += static_cast<long long>(queries.size());
            elapsed = secondsSince(start);
        } while (elapsed < 0.05);
        bestRate = std::max(bestRate, static_cast<double>(calls) / elapsed);
        failedFraction = static_cast<double>(failed) / static_cast<double>(calls);
    }
    std::printf("    %-15s %8.2f M lookups/s   %5.1f %% failed\n", name, bestRate / 1e6, 100.0 * failedFraction);
}

// Leaves, that is cut sets kept in the tree.
int countLeaves(const CutsetTreeNode* node) {
    if (node == nullptr) return 0;
    if (!node->cutset.empty()) return 1;
    return countLeaves(node->left) + countLeaves(node->right);
}

void benchFamily(std::mt19937_64& rng, int minOrder, int maxOrder) {
    std::uniform_int_distribution<int> order(minOrder, maxOrder);
    std::vector<std::vector<int>> cutsets;
    cutsets.reserve(kCutsets);
    for (int i = 0; i < kCutsets; ++i) cutsets.push_back(randomSet(rng, order(rng)));

    // The best of three builds, for the same reason as the best round of lookups.
    double buildSeconds = 0.0;
    for (int round = 0; round < 3; ++round) {
        CutsetTree scratch(kComponents);
        const Clock::time_point start = Clock::now();
        scratch.constructTree(cutsets);
        const double seconds = secondsSince(start);
        buildSeconds = round == 0 ? seconds : std::min(buildSeconds, seconds);
    }
    CutsetTree tree(kComponents);
    tree.constructTree(cutsets);
    std::printf("%d random cut sets of %d..%d members over %d components\n", kCutsets, minOrder, maxOrder,
                kComponents);
    std::printf("  insertion       %8.1f ms  (%.2f us per cut set); %d kept, %d nodes created, depth %d\n",
                buildSeconds * 1e3, buildSeconds * 1e6 / kCutsets, countLeaves(tree.getRoot()), tree.nextNodeId(),
                maxDepth(tree.getRoot()));

    for (int failedComponents : {0, 3, 10}) {
        std::vector<std::vector<int>> queries;
        for (int i = 0; i < kQueries; ++i) queries.push_back(randomSet(rng, failedComponents));
        std::printf("  queries with %d failed components:\n", failedComponents);
        measure("findNode", queries, [&](const std::vector<int>& q) { return !tree.findNode(q).empty(); });
        measure("isSystemFailed", queries, [&](const std::vector<int>& q) { return tree.isSystemFailed(q); });
    }
}

// Two cut sets over n components that agree on all but their last two entries: the second one
// splits the first one's leaf at every shared level. Prints the time per pair and per level for
// doubling n; a constant time per level is a linear cost in n.
void benchLongSharedPrefix() {
    std::printf("pairs of cut sets sharing all but their last two entries\n");
    for (int n = 25000; n <= 400000; n *= 2) {
        std::vector<int> first(n, 1), second(n, 1);
        first[n - 1] = 0;
        second[n - 2] = 0;
        double bestSeconds = 0.0;
        for (int round = 0; round < 3; ++round) {
            CutsetTree tree(n);
            const Clock::time_point start = Clock::now();
            tree.insertNode(first);
            tree.insertNode(second);
            const double seconds = secondsSince(start);
            bestSeconds = round == 0 ? seconds : std::min(bestSeconds, seconds);
        }
        std::printf("  n = %6d: %8.2f ms per pair, %6.1f ns per shared level\n", n, bestSeconds * 1e3,
                    bestSeconds * 1e9 / (n - 2));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long seed = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    std::printf("cutset tree benchmark (seed %lu)\n", seed);
    std::mt19937_64 rng(seed);
    benchFamily(rng, 2, 6);
    benchFamily(rng, 4, 10);
    benchLongSharedPrefix();
    return 0;
}
