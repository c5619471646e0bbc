#include "cutsetTree.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Cutset = std::vector<int>;
using Family = std::vector<Cutset>;

const std::string kSizeWrong = "cutset size wrong.\n";

// A compact, independent rendering of a tree's shape: "-" for a missing child, otherwise the id,
// the cut set's entries in brackets when it holds one, and "(left,right)" when it has a child.
// For example "0(-,1[101])" is the root with one right leaf, node 1, holding [1, 0, 1].
std::string shapeOf(const CutsetTreeNode* node) {
    if (node == nullptr) return "-";
    std::string text = std::to_string(node->id);
    if (!node->cutset.empty()) {
        text += '[';
        for (int entry : node->cutset) text += std::to_string(entry);
        text += ']';
    }
    if (node->left != nullptr || node->right != nullptr) {
        text += "(" + shapeOf(node->left) + "," + shapeOf(node->right) + ")";
    }
    return text;
}

// The invariants every operation keeps: parent links, leaves without children, inner nodes
// (other than the root) with a child, unique ids below nextId, and every stored set agreeing in
// zero/non-zero with the path that leads to its leaf.
void expectWellFormed(const CutsetTreeNode* node, const CutsetTreeNode* parent, std::vector<int>& path,
                      std::set<int>& ids, int nextId) {
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->parent, parent) << "node " << node->id;
    EXPECT_TRUE(ids.insert(node->id).second) << "id " << node->id << " twice";
    EXPECT_GE(node->id, 0);
    EXPECT_LT(node->id, nextId);
    if (!node->cutset.empty()) {
        EXPECT_EQ(node->left, nullptr) << "leaf " << node->id;
        EXPECT_EQ(node->right, nullptr) << "leaf " << node->id;
        ASSERT_GE(node->cutset.size(), path.size()) << "leaf " << node->id;
        for (std::size_t d = 0; d < path.size(); ++d) {
            EXPECT_EQ(node->cutset[d] != 0, path[d] != 0) << "leaf " << node->id << " entry " << d;
        }
        return;
    }
    if (parent != nullptr) {
        EXPECT_TRUE(node->left != nullptr || node->right != nullptr) << "empty inner node " << node->id;
    }
    for (int side = 0; side < 2; ++side) {
        const CutsetTreeNode* child = side == 0 ? node->left : node->right;
        if (child == nullptr) continue;
        path.push_back(side);
        expectWellFormed(child, node, path, ids, nextId);
        path.pop_back();
    }
}

void expectWellFormed(CutsetTree& tree) {
    const CutsetTreeNode* root = tree.getRoot();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->id, 0);
    EXPECT_TRUE(root->cutset.empty());
    std::vector<int> path;
    std::set<int> ids;
    expectWellFormed(root, nullptr, path, ids, tree.nextNodeId());
}

// Inserts the family one set at a time and returns what was written to standard error.
std::string insertAll(CutsetTree& tree, const Family& family) {
    testing::internal::CaptureStderr();
    for (const Cutset& cutset : family) tree.insertNode(cutset);
    return testing::internal::GetCapturedStderr();
}

// Containment of sets of 0s and 1s, written out independently of the tree's own test.
bool contains(const Cutset& failed, const Cutset& cutset) {
    for (std::size_t k = 0; k < cutset.size(); ++k) {
        if (cutset[k] != 0 && (k >= failed.size() || failed[k] == 0)) return false;
    }
    return true;
}

// The lookup that follows only the query's own path and tests the first leaf it reaches.
Cutset ownPathAnswer(const CutsetTreeNode* node, const Cutset& query) {
    for (std::size_t depth = 0; node != nullptr && depth <= query.size(); ++depth) {
        if (!node->cutset.empty()) return contains(query, node->cutset) ? node->cutset : Cutset{};
        if (depth == query.size()) break;
        node = query[depth] != 0 ? node->right : node->left;
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Insertion: ids, shapes, nextId and messages after each sequence.

struct InsertCase {
    const char* name;
    int cutsetSize;
    Family inserted;
    std::string shape;
    int nextId;
    std::string messages;
};

class CutsetTreeInsert : public testing::TestWithParam<InsertCase> {};

TEST_P(CutsetTreeInsert, BuildsExpectedTree) {
    const InsertCase& c = GetParam();
    CutsetTree tree(c.cutsetSize);
    EXPECT_EQ(insertAll(tree, c.inserted), c.messages);
    EXPECT_EQ(shapeOf(tree.getRoot()), c.shape);
    EXPECT_EQ(tree.nextNodeId(), c.nextId);
    expectWellFormed(tree);
}

INSTANTIATE_TEST_SUITE_P(
    CutsetTree, CutsetTreeInsert,
    testing::Values(
        InsertCase{"NewTree", 3, {}, "0", 1, ""},
        InsertCase{"FirstSetGoesToItsSide", 3, {{1, 0, 1}}, "0(-,1[101])", 2, ""},
        InsertCase{"DuplicateDropped", 3, {{1, 0, 1}, {1, 0, 1}}, "0(-,1[101])", 2, ""},
        InsertCase{"SupersetDropped", 3, {{1, 0, 1}, {1, 1, 1}}, "0(-,1[101])", 2, ""},
        // Met at depth 1: the root gives up its branches, the new set lands below it, the old
        // set is re-inserted (and dropped) and node 1 is freed.
        InsertCase{"ContainedSetAtDepthOne", 3, {{1, 0, 1}, {1, 0, 0}}, "0(-,2[100])", 3, ""},
        // Incomparable sets split the leaf, which keeps its id as an inner node.
        InsertCase{"IncomparableSplitsLeaf", 3, {{1, 1, 0}, {1, 0, 1}}, "0(-,1(2[101],3[110]))", 4, ""},
        // Met at depth 2: the parent (node 1) becomes the leaf and keeps its id; nothing new.
        InsertCase{"ContainedSetDeeper", 3, {{1, 1, 0}, {1, 0, 1}, {1, 0, 0}}, "0(-,1[100])", 4, ""},
        // The sets agree at depths 0 and 1: two inner levels, then the two leaves.
        InsertCase{"SplitCascade", 4, {{1, 1, 0, 1}, {1, 1, 1, 0}}, "0(-,1(-,2(3[1101],4[1110])))", 5, ""},
        // A replaced leaf's sibling that does not contain the new set is re-inserted under new
        // ids: [1,0,1,0] splits the new leaf 1, which is then re-inserted itself as node 5.
        InsertCase{"SiblingReinsertedWithNewIds", 4, {{1, 0, 1, 0}, {1, 1, 0, 1}, {1, 1, 0, 0}},
                   "0(-,1(4[1010],5[1100]))", 6, ""},
        // The last set replaces [0,1,1,0] at depth 1, which rebuilds from the root; [1,1,0,0]
        // stays although it contains [0,1,0,0]: minimality holds along paths only.
        InsertCase{"ReplacementAtDepthOneRebuildsBothSides", 4,
                   {{1, 1, 0, 0}, {0, 1, 1, 0}, {1, 1, 1, 0}, {0, 1, 0, 0}}, "0(3[0100],4[1100])", 5, ""},
        // Contained in [1,0,1,1] at depth 2: node 1 becomes the leaf; both old sets are dropped.
        InsertCase{"ParentBecomesLeaf", 4, {{1, 1, 1, 0}, {1, 0, 1, 1}, {1, 0, 1, 0}}, "0(-,1[1010])", 4, ""},
        // [0,1,1,0] is replaced at depth 1, so both root branches are re-inserted, each in
        // pre-order: [1,0,0,1] (left of node 2) first takes node 6, then [1,1,0,0] splits it.
        InsertCase{"DetachedBranchesReinsertedInPreOrder", 4,
                   {{0, 1, 1, 0}, {1, 0, 0, 1}, {1, 1, 0, 0}, {0, 0, 1, 0}}, "0(5[0010],6(8[1001],7[1100]))", 9, ""},
        InsertCase{"ZerosOnlyIsStoredLeft", 3, {{0, 0, 0}}, "0(1[000],-)", 2, ""},
        InsertCase{"ZerosOnlyDropsLaterSetsOnItsSide", 3, {{0, 0, 0}, {0, 1, 0}, {1, 1, 1}}, "0(1[000],2[111])", 3, ""},
        InsertCase{"EmptySetRejected", 3, {{}}, "0", 1, kSizeWrong},
        // A set of length 1 meets its own leaf at depth 1: too short to go further.
        InsertCase{"LengthOneTwice", 1, {{1}, {1}}, "0(-,1[1])", 2, kSizeWrong},
        InsertCase{"LengthOneBothSides", 1, {{1}, {0}}, "0(2[0],1[1])", 3, ""},
        InsertCase{"SetShorterThanItsPath", 3, {{1, 0, 1}, {1}}, "0(-,1[101])", 2, kSizeWrong}),
    [](const testing::TestParamInfo<InsertCase>& info) { return std::string(info.param.name); });

TEST(CutsetTreeInsert, ConstructTreeAddsToExistingTreeInOrder) {
    CutsetTree tree(3);
    tree.constructTree({{1, 1, 0}});
    tree.constructTree({{1, 0, 1}, {1, 0, 0}});
    EXPECT_EQ(shapeOf(tree.getRoot()), "0(-,1[100])");
    EXPECT_EQ(tree.nextNodeId(), 4);
}

// Long cut sets that agree on all but their last entries build a path one node per shared entry.
// Inserting them, and re-inserting such a path after a replacement near the root, must work on
// a thread with a small stack (no recursion per level) and give the ids of the insertion rules.
struct LongPathCase {
    const char* name;
    // The sets inserted, in order, over n components.
    Family (*family)(int n);
    // nextId afterwards, for n components.
    int (*nextId)(int n);
    // Lookups: the query's index in the family and the index of the expected answer.
    std::vector<std::pair<int, int>> lookups;
};

Cutset onesWithZeroAt(int n, int zero) {
    Cutset cutset(n, 1);
    cutset[zero] = 0;
    return cutset;
}

// Members at the given places only.
Cutset membersAt(int n, std::initializer_list<int> members) {
    Cutset cutset(n, 0);
    for (int member : members) cutset[member] = 1;
    return cutset;
}

const LongPathCase kLongPathCases[] = {
    // Ones except the last entry, then ones except the one before: the second set splits the
    // first set's leaf at every shared level, n - 1 nodes in all.
    {"SplitAlongSharedPrefix",
     [](int n) { return Family{onesWithZeroAt(n, n - 1), onesWithZeroAt(n, n - 2)}; },
     [](int n) { return n + 1; },
     {{0, 0}, {1, 1}}},
    // The same kind of pair along zeros (a left path) below the root's right, a set on the left,
    // and a set strictly contained in that one: the root gives up both branches and the long
    // path is taken apart and re-inserted: n + 2 nodes, then the pair again from scratch.
    {"ReplacementReinsertsLongPath",
     [](int n) {
         Cutset leftSide(n, 1);
         leftSide[0] = 0;
         return Family{membersAt(n, {0, n - 2}), membersAt(n, {0, n - 1}), leftSide, membersAt(n, {1})};
     },
     [](int n) { return 2 * n + 3; },
     {{0, 0}, {1, 1}, {2, 3}, {3, 3}}},
};

class CutsetTreeLongPath : public testing::TestWithParam<LongPathCase> {};

// Runs `work` to its end on a new thread with a small stack (256 KiB by default).
void onSmallStack(const std::function<void()>& work, std::size_t stackBytes = 256 * 1024) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, stackBytes), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

TEST_P(CutsetTreeLongPath, InsertsWithoutRecursion) {
    const LongPathCase& c = GetParam();
    for (int n : {6, 50000}) {
        const Family family = c.family(n);
        onSmallStack([&] {
            CutsetTree tree(n);
            for (const Cutset& cutset : family) tree.insertNode(cutset);
            EXPECT_EQ(tree.nextNodeId(), c.nextId(n)) << n << " components";
            for (const auto& [query, answer] : c.lookups) {
                EXPECT_EQ(tree.findNode(family[query]), family[answer]) << n << " components, query " << query;
            }
            if (n < 10) expectWellFormed(tree);
        });
    }
}

INSTANTIATE_TEST_SUITE_P(CutsetTree, CutsetTreeLongPath, testing::ValuesIn(kLongPathCases),
                         [](const testing::TestParamInfo<LongPathCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Lookup: the query's own path first, other branches where a contained set can lie.

struct LookupCase {
    const char* name;
    int cutsetSize;
    Family stored;
    Cutset query;
    Cutset expected;
    std::string messages;
};

class CutsetTreeLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(CutsetTreeLookup, FindsContainedSet) {
    const LookupCase& c = GetParam();
    CutsetTree tree(c.cutsetSize);
    ASSERT_EQ(insertAll(tree, c.stored), "");
    testing::internal::CaptureStderr();
    const Cutset found = tree.findNode(c.query);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.messages);
    EXPECT_EQ(found, c.expected);

    testing::internal::CaptureStderr();
    EXPECT_EQ(tree.isSystemFailed(c.query), !c.expected.empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "isSystemFailed never writes";
}

const Family kTwoSides = {{0, 1, 0}, {1, 0, 1}};  // nodes 1 and 2 under the root's left and right
const Family kRightSplit = {{1, 1, 0}, {1, 0, 1}};  // 0(-,1(2[101],3[110]))
const Family kChainAndLeft = {{1, 1, 0, 1}, {1, 1, 1, 0}, {0, 1, 0, 0}};

INSTANTIATE_TEST_SUITE_P(
    CutsetTree, CutsetTreeLookup,
    testing::Values(
        LookupCase{"NewTree", 3, {}, {1, 1, 1}, {}, ""},
        LookupCase{"OwnPathExact", 3, kTwoSides, {0, 1, 0}, {0, 1, 0}, ""},
        LookupCase{"OwnPathSuperset", 3, kTwoSides, {0, 1, 1}, {0, 1, 0}, ""},
        // Both stored sets are contained; the query's own path (right) gives the answer.
        LookupCase{"OwnPathPreferred", 3, kTwoSides, {1, 1, 1}, {1, 0, 1}, ""},
        // The own path ends at [1,0,1], not contained; [0,1,0] lies in the left branch.
        LookupCase{"OtherBranchAtRoot", 3, kTwoSides, {1, 1, 0}, {0, 1, 0}, ""},
        LookupCase{"NothingFailed", 3, kTwoSides, {0, 0, 0}, {}, ""},
        LookupCase{"NeitherContained", 3, kTwoSides, {1, 0, 0}, {}, ""},
        // Own path right, right ends at [1,1,1,0]; the answer is in node 1's left branch.
        LookupCase{"OtherBranchDeeper", 4, {{1, 1, 1, 0}, {1, 0, 0, 1}}, {1, 1, 0, 1}, {1, 0, 0, 1}, ""},
        LookupCase{"OtherBranchStillNotContained", 4, {{1, 1, 1, 0}, {1, 0, 1, 1}}, {1, 1, 0, 1}, {}, ""},
        LookupCase{"ZerosOnlyContainedInAnyQuery", 3, {{0, 0, 0}}, {0, 1, 0}, {0, 0, 0}, ""},
        LookupCase{"ZerosOnlyReachedFromTheRight", 3, {{0, 0, 0}}, {1, 1, 1}, {0, 0, 0}, ""},
        LookupCase{"EmptyQuery", 3, kTwoSides, {}, {}, kSizeWrong},
        LookupCase{"EmptyQueryOnNewTree", 3, {}, {}, {}, kSizeWrong},
        // Short queries: missing entries count as 0. A match at the own path's end is silent...
        LookupCase{"ShortQueryMatchesAtPathEnd", 3, kRightSplit, {1, 1}, {1, 1, 0}, ""},
        // ...a path that runs out of query is reported, whatever the wider search finds.
        LookupCase{"ShortQueryRunsOutAtLeaf", 3, kRightSplit, {1, 0}, {}, kSizeWrong},
        LookupCase{"ShortQueryRunsOutAtInnerNode", 3, kRightSplit, {1}, {}, kSizeWrong},
        LookupCase{"ShortQueryRunsOutButOtherBranchMatches", 4, kChainAndLeft, {1, 1}, {0, 1, 0, 0}, kSizeWrong},
        // A longer query is read only as far as the stored sets go.
        LookupCase{"LongQuery", 3, kTwoSides, {0, 1, 0, 1, 1}, {0, 1, 0}, ""}),
    [](const testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

TEST(CutsetTreeLookup, IsSystemFailedOnEmptyQueryIsFalseAndSilent) {
    CutsetTree tree(3);
    ASSERT_EQ(insertAll(tree, {{0, 0, 0}}), "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(tree.isSystemFailed({}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------------------------------------
// Containment test.

struct SubsetCase {
    Cutset a;
    Cutset b;
    bool bInA;
};

TEST(CutsetTreeIsSubset, Table) {
    const std::vector<SubsetCase> cases = {
        {{1, 1, 0}, {0, 1, 0}, true},
        {{1, 0, 1}, {1, 0, 1}, true},  // equal vectors
        {{0, 1, 0}, {1, 1, 0}, false},
        {{0, 0, 0}, {0, 0, 0}, true},
        {{}, {1}, false},
        {{1}, {}, false},
        {{}, {}, false},
        // Different lengths: a missing entry counts as 0 on either side.
        {{1}, {1, 0, 0}, true},
        {{1}, {1, 0, 1}, false},
        {{1, 1, 1}, {1}, true},
        {{0, 1, 1}, {1}, false},
        // The first vector is read as zero / non-zero, the second as 1 / anything else.
        {{2, 0}, {1, 0}, true},
        {{1, 0}, {2, 2}, true},
        {{0, 0}, {-1, 1}, false},
    };
    for (const SubsetCase& c : cases) {
        EXPECT_EQ(isSubset(c.a, c.b), c.bInA) << testing::PrintToString(c.b) << " in " << testing::PrintToString(c.a);
    }
}

// ---------------------------------------------------------------------------------------------
// Against brute force: every query over n components for many random families.

TEST(CutsetTreeProperty, LookupAgreesWithBruteForce) {
    std::mt19937 rng(20240611);
    for (int n = 1; n <= 10; ++n) {
        const int families = n <= 4 ? 60 : 25;
        for (int f = 0; f < families; ++f) {
            // Mostly small sets, as cut sets are; sometimes the empty set (all zeros).
            std::uniform_int_distribution<int> count(1, 12);
            std::bernoulli_distribution member(std::uniform_real_distribution<double>(0.1, 0.6)(rng));
            Family family(count(rng), Cutset(n));
            for (Cutset& cutset : family) {
                for (int& entry : cutset) entry = member(rng) ? 1 : 0;
            }
            CutsetTree tree(n);
            const std::string messages = insertAll(tree, family);
            if (n >= 2) {
                EXPECT_EQ(messages, "") << "equal lengths of 2 or more never outrun a path";
            }
            expectWellFormed(tree);
            SCOPED_TRACE("n=" + std::to_string(n) + " family " + testing::PrintToString(family));

            for (std::uint32_t bits = 0; bits < (1u << n); ++bits) {
                Cutset query(n);
                for (int k = 0; k < n; ++k) query[k] = (bits >> k) & 1u;
                bool anyContained = false;
                for (const Cutset& cutset : family) anyContained = anyContained || contains(query, cutset);

                const Cutset found = tree.findNode(query);
                ASSERT_EQ(!found.empty(), anyContained) << "query " << testing::PrintToString(query);
                ASSERT_EQ(tree.isSystemFailed(query), anyContained) << "query " << testing::PrintToString(query);
                if (found.empty()) continue;
                EXPECT_TRUE(contains(query, found));
                EXPECT_NE(std::find(family.begin(), family.end(), found), family.end());
                const Cutset ownPath = ownPathAnswer(tree.getRoot(), query);
                if (!ownPath.empty()) {
                    EXPECT_EQ(found, ownPath) << "the own path's answer is kept";
                }
            }
        }
    }
}

// A large tree built and destroyed (leaks and double frees show under the sanitizer build), and
// its lookups checked against brute force over bit masks.
TEST(CutsetTreeProperty, LargeRandomTree) {
    constexpr int kComponents = 60;
    constexpr int kSets = 50000;
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> order(2, 6);
    std::uniform_int_distribution<int> component(0, kComponents - 1);

    std::vector<std::uint64_t> masks;
    Family family;
    for (int i = 0; i < kSets; ++i) {
        Cutset cutset(kComponents, 0);
        std::uint64_t mask = 0;
        for (int members = order(rng); members > 0; --members) {
            const int c = component(rng);
            cutset[c] = 1;
            mask |= std::uint64_t{1} << c;
        }
        family.push_back(std::move(cutset));
        masks.push_back(mask);
    }

    CutsetTree tree(kComponents);
    ASSERT_EQ(insertAll(tree, family), "");
    expectWellFormed(tree);

    std::uniform_int_distribution<int> failures(0, 20);
    for (int q = 0; q < 300; ++q) {
        Cutset query(kComponents, 0);
        std::uint64_t failed = 0;
        for (int k = failures(rng); k > 0; --k) {
            const int c = component(rng);
            query[c] = 1;
            failed |= std::uint64_t{1} << c;
        }
        bool anyContained = false;
        for (std::uint64_t mask : masks) anyContained = anyContained || (mask & ~failed) == 0;
        EXPECT_EQ(tree.isSystemFailed(query), anyContained);
        const Cutset found = tree.findNode(query);
        EXPECT_EQ(!found.empty(), anyContained);
        if (!found.empty()) {
            EXPECT_TRUE(contains(query, found));
        }
    }
}

// Every level of one long path leaves a branch to come back to: the sets "all but component d"
// form a right spine with a leaf on the left at each depth. A query missing components i and j
// contains none of them unless i == j, and a miss has to come back to every branch passed.
TEST(CutsetTreeProperty, LongPathWithPendingBranchAtEveryLevel) {
    constexpr int kComponents = 70;
    Family allButOne;
    for (int d = 0; d < kComponents; ++d) {
        allButOne.emplace_back(kComponents, 1);
        allButOne.back()[d] = 0;
    }
    CutsetTree tree(kComponents);
    ASSERT_EQ(insertAll(tree, allButOne), "");
    ASSERT_EQ(maxDepth(tree.getRoot()), kComponents);
    for (int i = 0; i < kComponents; ++i) {
        for (int j = i; j < kComponents; ++j) {
            Cutset query(kComponents, 1);
            query[i] = query[j] = 0;
            EXPECT_EQ(tree.isSystemFailed(query), i == j) << "missing " << i << ", " << j;
            EXPECT_EQ(tree.findNode(query), i == j ? allButOne[i] : Cutset{}) << "missing " << i << ", " << j;
        }
    }
}

// The same spine over components 0..67, where 68 and 69 make the own path's last leaf fail and
// leave exactly one contained set: the left leaf at depth 66, the deepest branch passed. With
// component 67 working too, that leaf fails only in its entry 67, the first one below its path.
TEST(CutsetTreeProperty, AnswerInDeepestBranchPassed) {
    constexpr int kComponents = 70;
    Family spine;
    for (int d = 0; d <= 67; ++d) {
        Cutset cutset(kComponents, 1);
        cutset[d] = 0;
        cutset[68] = d == 66 ? 0 : 1;
        cutset[69] = d == 67 ? 1 : 0;
        spine.push_back(cutset);
    }
    CutsetTree tree(kComponents);
    ASSERT_EQ(insertAll(tree, spine), "");
    Cutset query(kComponents, 1);
    query[68] = query[69] = 0;
    ASSERT_TRUE(ownPathAnswer(tree.getRoot(), query).empty());
    EXPECT_TRUE(tree.isSystemFailed(query));
    EXPECT_EQ(tree.findNode(query), spine[66]);

    query[67] = 0;
    EXPECT_FALSE(tree.isSystemFailed(query));
    EXPECT_EQ(tree.findNode(query), Cutset{});
}

// ---------------------------------------------------------------------------------------------
// Inspection: the printers' exact bytes and the depth.

struct PrintCase {
    const char* name;
    int cutsetSize;
    Family stored;
    std::string prefix;
    bool isLeft;
    std::string pretty;
};

class CutsetTreePrintPretty : public testing::TestWithParam<PrintCase> {};

TEST_P(CutsetTreePrintPretty, WritesExactBytes) {
    const PrintCase& c = GetParam();
    CutsetTree tree(c.cutsetSize);
    ASSERT_EQ(insertAll(tree, c.stored), "");
    testing::internal::CaptureStdout();
    printTreePretty(tree.getRoot(), c.prefix, c.isLeft);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.pretty);
}

INSTANTIATE_TEST_SUITE_P(
    CutsetTree, CutsetTreePrintPretty,
    testing::Values(
        PrintCase{"FlatWithoutPrefix", 3, kTwoSides, "", false,
                  "id=0  cutset=[]\nid=1  cutset=[0 1 0]\nid=2  cutset=[1 0 1]\n"},
        PrintCase{"RootAsRightChild", 3, kTwoSides, " ", false,
                  " \u2514\u2500\u2500 id=0  cutset=[]\n"
                  "     \u251c\u2500\u2500 id=1  cutset=[0 1 0]\n"
                  "     \u2514\u2500\u2500 id=2  cutset=[1 0 1]\n"},
        PrintCase{"RootAsLeftChild", 3, kTwoSides, " ", true,
                  " \u251c\u2500\u2500 id=0  cutset=[]\n"
                  " \u2502   \u251c\u2500\u2500 id=1  cutset=[0 1 0]\n"
                  " \u2502   \u2514\u2500\u2500 id=2  cutset=[1 0 1]\n"},
        PrintCase{"Chain", 4, {{1, 1, 0, 1}, {1, 1, 1, 0}}, " ", false,
                  " \u2514\u2500\u2500 id=0  cutset=[]\n"
                  "     \u2514\u2500\u2500 id=1  cutset=[]\n"
                  "         \u2514\u2500\u2500 id=2  cutset=[]\n"
                  "             \u251c\u2500\u2500 id=3  cutset=[1 1 0 1]\n"
                  "             \u2514\u2500\u2500 id=4  cutset=[1 1 1 0]\n"},
        // A lone left child still gets the left connector.
        PrintCase{"LoneLeftChild", 3, {{0, 0, 0}}, " ", false,
                  " \u2514\u2500\u2500 id=0  cutset=[]\n"
                  "     \u251c\u2500\u2500 id=1  cutset=[0 0 0]\n"}),
    [](const testing::TestParamInfo<PrintCase>& info) { return std::string(info.param.name); });

TEST(CutsetTreePrint, ConnectorsAreTenBytesOfUtf8) {
    CutsetTree tree(3);
    testing::internal::CaptureStdout();
    printTreePretty(tree.getRoot(), "x", true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x\xE2\x94\x9C\xE2\x94\x80\xE2\x94\x80 id=0  cutset=[]\n");
}

TEST(CutsetTreePrint, NullNodePrintsNothing) {
    testing::internal::CaptureStdout();
    printTreePretty(nullptr, " ", false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CutsetTreePrint, OrderedListingIsPostOrder) {
    const struct {
        int cutsetSize;
        Family stored;
        std::string listing;
    } cases[] = {
        {3, {}, "Node ID: 0, Cutset: \n"},
        {3, kTwoSides, "Node ID: 1, Cutset: 0 1 0 \nNode ID: 2, Cutset: 1 0 1 \nNode ID: 0, Cutset: \n"},
        {4, {{1, 1, 0, 1}, {1, 1, 1, 0}},
         "Node ID: 3, Cutset: 1 1 0 1 \nNode ID: 4, Cutset: 1 1 1 0 \n"
         "Node ID: 2, Cutset: \nNode ID: 1, Cutset: \nNode ID: 0, Cutset: \n"},
    };
    for (const auto& c : cases) {
        CutsetTree tree(c.cutsetSize);
        ASSERT_EQ(insertAll(tree, c.stored), "");
        testing::internal::CaptureStdout();
        printTreeOrd(tree.getRoot());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.listing);
    }
}

TEST(CutsetTreePrint, MaxDepthCountsNodesOnLongestPath) {
    EXPECT_EQ(maxDepth(nullptr), 0);
    const struct {
        int cutsetSize;
        Family stored;
        int depth;
    } cases[] = {
        {3, {}, 1},
        {3, kTwoSides, 2},
        {3, kRightSplit, 3},
        {4, {{1, 1, 0, 1}, {1, 1, 1, 0}}, 4},
        {4, {{1, 1, 0, 1}, {1, 1, 1, 0}, {1, 1, 0, 0}}, 3},  // node 2 becomes the chain's leaf
    };
    for (const auto& c : cases) {
        CutsetTree tree(c.cutsetSize);
        ASSERT_EQ(insertAll(tree, c.stored), "");
        EXPECT_EQ(maxDepth(tree.getRoot()), c.depth) << testing::PrintToString(c.stored);
    }
}

// A path one level per component (the Chain case above, widened): the diagnostics walk it on a
// 64 KiB stack. The drawing grows with the square of the depth, so it is checked on a shorter path.
TEST(CutsetTreePrint, DeepPathOnSmallStack) {
    for (int n : {4, 2000, 50000}) {
        CutsetTree tree(n);
        const Family chain = {onesWithZeroAt(n, n - 2), onesWithZeroAt(n, n - 1)};
        ASSERT_EQ(insertAll(tree, chain), "");
        auto entries = [](const Cutset& cutset, const char* separator, const char* end) {
            std::string text;
            for (std::size_t k = 0; k < cutset.size(); ++k) {
                text += std::to_string(cutset[k]) + (k + 1 < cutset.size() ? separator : end);
            }
            return text;
        };
        std::string listing = "Node ID: " + std::to_string(n - 1) + ", Cutset: " + entries(chain[0], " ", " ") + "\n" +
                              "Node ID: " + std::to_string(n) + ", Cutset: " + entries(chain[1], " ", " ") + "\n";
        for (int id = n - 2; id >= 0; --id) listing += "Node ID: " + std::to_string(id) + ", Cutset: \n";
        const bool drawn = n <= 2000;
        std::string drawing;
        std::string indent = " ";
        for (int id = 0; drawn && id <= n - 2; ++id, indent += "    ") {
            drawing += indent + "\u2514\u2500\u2500 id=" + std::to_string(id) + "  cutset=[]\n";
        }
        drawing += indent + "\u251c\u2500\u2500 id=" + std::to_string(n - 1) + "  cutset=[" + entries(chain[0], " ", "") + "]\n" +
                   indent + "\u2514\u2500\u2500 id=" + std::to_string(n) + "  cutset=[" + entries(chain[1], " ", "") + "]\n";
        onSmallStack(
            [&] {
                EXPECT_EQ(maxDepth(tree.getRoot()), n);
                testing::internal::CaptureStdout();
                printTreeOrd(tree.getRoot());
                EXPECT_EQ(testing::internal::GetCapturedStdout(), listing) << n << " components";
                if (!drawn) return;
                testing::internal::CaptureStdout();
                printTreePretty(tree.getRoot(), " ", false);
                EXPECT_EQ(testing::internal::GetCapturedStdout(), drawing) << n << " components";
            },
            64 * 1024);
    }
}

}  // namespace
