// libFuzzer target over the core library, built with AddressSanitizer and
// UndefinedBehaviorSanitizer (scripts/fuzz.sh builds and runs it).
//
// One input drives, in turn:
//   1. a cutset tree: insertions, bulk constructions and lookups of vectors of arbitrary lengths
//      and entries. After every step the tree's links, ids and leaves are checked, and its whole
//      shape (ids included) is compared with a plain recursive rendering of the same insertion
//      rules, kept here as the yardstick. Every answer of findNode must be a set that was
//      inserted and that the query contains; for 0/1 vectors of one length it must be non-empty
//      exactly when some inserted set is contained in the query.
//   2. laws with arbitrary parameters, asked for pdf, cdf and quantile at arbitrary points;
//   3. a small component model of those laws (ragged rows and missing laws included), checked
//      by checkModel and, when accepted, run by runnerSingleSim and runnerMultipleSim with the
//      tree of step 1.
// Exceptions of the library are answers, not findings; the sanitizers, a failed check (abort)
// or a hang are.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "cutsetTree.h"
#include "distributions.h"
#include "simRunner.h"
#include "simulation.h"

namespace {

using Cutset = std::vector<int>;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// ---- The yardstick: the insertion rules written as plainly as possible, recursion included ----

struct PlainNode {
    int id;
    std::unique_ptr<PlainNode> left, right;
    PlainNode* parent;
    Cutset cutset;
};

class PlainTree {
public:
    PlainTree() : root(newNode({}, nullptr)) {}

    void insert(const Cutset& n) {
        if (n.empty()) return;
        PlainNode* t = root.get();
        std::size_t d = 0;
        while (t->cutset.empty()) {
            std::unique_ptr<PlainNode>& child = n[d] != 0 ? t->right : t->left;
            if (!child) {
                child = newNode(n, t);
                return;
            }
            t = child.get();
            if (++d >= n.size()) return;
        }
        if (isSubset(n, t->cutset)) return;
        if (isSubset(t->cutset, n)) {
            PlainNode* p = t->parent;
            std::unique_ptr<PlainNode> left = std::move(p->left), right = std::move(p->right);
            if (p == root.get()) {
                insert(n);
            } else {
                p->cutset = n;
            }
            reinsert(left.get());
            reinsert(right.get());
            return;
        }
        const Cutset l = std::move(t->cutset);
        t->cutset.clear();
        (n[d] != 0 ? t->right : t->left) = newNode(n, t);
        insert(l);
    }

    int nextId = 0;  // before the root, which takes id 0
    std::unique_ptr<PlainNode> root;

private:
    std::unique_ptr<PlainNode> newNode(Cutset cutset, PlainNode* parent) {
        return std::unique_ptr<PlainNode>(new PlainNode{nextId++, nullptr, nullptr, parent, std::move(cutset)});
    }
    void reinsert(const PlainNode* node) {
        if (node == nullptr) return;
        if (!node->cutset.empty()) insert(node->cutset);
        reinsert(node->left.get());
        reinsert(node->right.get());
    }
};

const CutsetTreeNode* raw(const CutsetTreeNode* node) { return node; }
const PlainNode* raw(const std::unique_ptr<PlainNode>& node) { return node.get(); }

// Pre-order rendering of either tree: id, the cut set, and which children exist.
template <class Node>
void render(const Node* node, std::vector<int>& out) {
    if (node == nullptr) return out.push_back(-1);
    out.push_back(node->id);
    out.insert(out.end(), node->cutset.begin(), node->cutset.end());
    out.push_back(-2);
    render(raw(node->left), out);
    render(raw(node->right), out);
}

// ---- Step 1: the tree ----

// Links, ids and leaves of the whole tree, walked without recursion.
void checkStructure(const CutsetTree& tree) {
    const CutsetTreeNode* root = tree.getRoot();
    require(root->id == 0 && root->parent == nullptr && root->cutset.empty(), "root");
    std::set<int> ids;
    std::vector<const CutsetTreeNode*> pending{root};
    while (!pending.empty()) {
        const CutsetTreeNode* node = pending.back();
        pending.pop_back();
        require(ids.insert(node->id).second && node->id < tree.nextNodeId(), "unique ids");
        const bool leaf = !node->cutset.empty();
        require(!leaf || (node->left == nullptr && node->right == nullptr), "leaves have no children");
        require(leaf || node == root || node->left != nullptr || node->right != nullptr,
                "inner nodes have a child");
        for (const CutsetTreeNode* child : {node->left, node->right}) {
            if (child == nullptr) continue;
            require(child->parent == node, "parent links");
            pending.push_back(child);
        }
    }
}

bool same(const CutsetTree& tree, const PlainTree& plain) {
    std::vector<int> a, b;
    render(tree.getRoot(), a);
    render(plain.root.get(), b);
    return a == b && tree.nextNodeId() == plain.nextId;
}

struct TreeRun {
    std::size_t width;            // the usual length of a vector
    bool uniform = true;          // every vector so far has 0/1 entries and `width` entries
    std::vector<Cutset> inserted;
};

Cutset fuzzedCutset(FuzzedDataProvider& in, TreeRun& run) {
    std::size_t length = run.width;
    if (in.ConsumeIntegralInRange(0, 15) == 0) length = in.ConsumeIntegralInRange<std::size_t>(0, 2 * run.width + 2);
    const bool wild = in.ConsumeIntegralInRange(0, 31) == 0;
    Cutset cutset(length);
    for (int& entry : cutset) entry = wild ? in.ConsumeIntegral<int>() : int{in.ConsumeBool()};
    if (wild || length != run.width) run.uniform = false;
    return cutset;
}

// `plainQuery`: the query has 0/1 entries and the usual length.
void checkLookup(const CutsetTree& tree, const TreeRun& run, const Cutset& query, bool plainQuery) {
    const Cutset answer = tree.findNode(query);
    if (!answer.empty()) {
        require(isSubset(query, answer), "the answer is contained in the query");
        bool wasInserted = false;
        for (const Cutset& cutset : run.inserted) wasInserted = wasInserted || cutset == answer;
        require(wasInserted, "the answer was inserted");
    }
    std::size_t longest = 0;
    for (const Cutset& cutset : run.inserted) longest = cutset.size() > longest ? cutset.size() : longest;
    if (!query.empty() && query.size() >= longest) {
        require(tree.isSystemFailed(query) == !answer.empty(), "isSystemFailed agrees with findNode");
    }
    if (run.uniform && plainQuery) {
        bool someContained = false;
        for (const Cutset& cutset : run.inserted) someContained = someContained || isSubset(query, cutset);
        require(someContained == !answer.empty(), "findNode finds a contained set when there is one");
    }
}

void fuzzTree(FuzzedDataProvider& in, CutsetTree& tree, TreeRun& run) {
    PlainTree plain;
    const int steps = in.ConsumeIntegralInRange(0, 40);
    for (int step = 0; step < steps && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
        case 1: {
            const Cutset cutset = fuzzedCutset(in, run);
            tree.insertNode(cutset);
            plain.insert(cutset);
            run.inserted.push_back(cutset);
            break;
        }
        case 2: {
            std::vector<Cutset> cutsets(in.ConsumeIntegralInRange(0, 4));
            for (Cutset& cutset : cutsets) cutset = fuzzedCutset(in, run);
            tree.constructTree(cutsets);
            for (const Cutset& cutset : cutsets) plain.insert(cutset);
            run.inserted.insert(run.inserted.end(), cutsets.begin(), cutsets.end());
            break;
        }
        default: {
            TreeRun scratch = run;
            scratch.uniform = true;
            const Cutset query = fuzzedCutset(in, scratch);
            checkLookup(tree, run, query, scratch.uniform);
            break;
        }
        }
        checkStructure(tree);
        require(same(tree, plain), "the tree has the shape and ids of the plain insertion rules");
    }
}

// ---- Step 2: laws ----

double fuzzedDouble(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeFloatingPoint<double>();
    case 1: return in.ConsumeProbability<double>();
    default: return in.ConsumeFloatingPointInRange<double>(-5.0, 100.0);
    }
}

std::unique_ptr<Distribution> fuzzedLaw(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return std::make_unique<Normal>(fuzzedDouble(in), fuzzedDouble(in));
    case 1: return std::make_unique<Exponential>(fuzzedDouble(in));
    case 2: return std::make_unique<Uniform>(fuzzedDouble(in), fuzzedDouble(in));
    case 3: return std::make_unique<Weibull>(fuzzedDouble(in), fuzzedDouble(in));
    case 4: return std::make_unique<Inspection>(in.ConsumeIntegralInRange(-2, 400));
    case 5: {
        std::vector<int> times(in.ConsumeIntegralInRange(0, 4));
        for (int& time : times) time = in.ConsumeIntegralInRange(-5, 400);
        return std::make_unique<Maintenance>(times);
    }
    case 6: return std::make_unique<InstantaneousFailure>(in.ConsumeIntegralInRange(-2, 400));
    default: return std::make_unique<Distribution>();
    }
}

void askLaw(FuzzedDataProvider& in, const Distribution& law) {
    try {
        (void)law.pdf(fuzzedDouble(in));
        (void)law.cdf(fuzzedDouble(in));
        (void)law.quantile(fuzzedDouble(in), in.ConsumeIntegral<int>());
    } catch (const std::exception&) {
    }
}

std::vector<std::unique_ptr<Distribution>> fuzzLaws(FuzzedDataProvider& in) {
    std::vector<std::unique_ptr<Distribution>> laws;
    const int count = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < count; ++i) {
        try {
            laws.push_back(fuzzedLaw(in));
            askLaw(in, *laws.back());
        } catch (const std::invalid_argument&) {  // a rejected parameter
        }
    }
    return laws;
}

// ---- Step 3: a run ----

ComponentModel fuzzedModel(FuzzedDataProvider& in, const std::vector<std::unique_ptr<Distribution>>& laws) {
    static Distribution never;
    const std::size_t components = in.ConsumeIntegralInRange(0, 4);
    const std::size_t states = in.ConsumeIntegralInRange(0, 3);
    ComponentModel model(components);
    for (auto& rows : model) {
        rows.resize(in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange<std::size_t>(0, 4) : states);
        for (auto& row : rows) {
            row.resize(in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegralInRange<std::size_t>(0, 4) : states);
            for (Distribution*& law : row) {
                const std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, laws.size() + 1);
                law = pick < laws.size() ? laws[pick].get() : pick == laws.size() ? &never : nullptr;
            }
        }
    }
    return model;
}

void fuzzRun(FuzzedDataProvider& in, CutsetTree& tree, const std::vector<std::unique_ptr<Distribution>>& laws) {
    const ComponentModel model = fuzzedModel(in, laws);
    CutsetTree* const treeArgument = in.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : &tree;
    try {
        checkModel(model, treeArgument);
    } catch (const std::invalid_argument&) {
        return;
    }
    // Short horizons: a state that loops to itself with a delay that is almost always 0 takes
    // tens of thousands of events per time unit, all of them legitimate.
    const int simTime = in.ConsumeIntegralInRange(-1, 40);
    const int histories = in.ConsumeIntegralInRange(0, 3);
    const int seed = in.ConsumeIntegral<int>();
    // A model that fails one history (a cycle of zero delays takes a million events to be
    // stopped) is not run again in a batch: that would only cost time.
    try {
        const std::vector<unsigned int> series = runnerSingleSim(simTime, model, treeArgument, seed);
        require(series.size() == static_cast<std::size_t>(simTime), "one value per time unit");
        for (unsigned int state : series) require(state <= 1, "a history's series is 0/1");
    } catch (const std::exception&) {
        return;
    }
    try {
        const std::vector<unsigned int> sums = runnerMultipleSim(histories, simTime, model, treeArgument, seed);
        require(sums.size() == static_cast<std::size_t>(simTime), "one sum per time unit");
        for (unsigned int sum : sums) require(sum <= static_cast<unsigned int>(histories), "sums count histories");
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    TreeRun run;
    run.width = in.ConsumeIntegralInRange<std::size_t>(1, 12);
    CutsetTree tree(static_cast<int>(run.width));
    fuzzTree(in, tree, run);
    const std::vector<std::unique_ptr<Distribution>> laws = fuzzLaws(in);
    fuzzRun(in, tree, laws);
    return 0;
}
