#include "cutsetTree.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

// The unit's only diagnostic: a vector is empty, or too short for the path it takes.
void reportSizeWrong() {
    std::cerr << "cutset size wrong." << std::endl;
}

// Entry k of a vector of `size` entries; an entry past its end counts as 0, so vectors of
// different lengths are compared without reading past either end.
inline int entryAt(const int* entries, std::size_t size, std::size_t k) noexcept {
    return k < size ? entries[k] : 0;
}

// Whether no index k >= `from` has member[k] == 1 while failed[k] is 0 (or missing). Indices
// past the end of `member` hold 0 there and cannot break containment, so only its own entries
// are read. The loops accumulate instead of returning early: a contained set has to be read to
// its end anyway, and without the branch the compiler vectorises them.
inline bool containedFrom(const int* failed, std::size_t failedSize, const std::vector<int>& member,
                          std::size_t from) noexcept {
    const int* entries = member.data();
    const std::size_t memberSize = member.size();
    const std::size_t common = memberSize < failedSize ? memberSize : failedSize;
    int uncovered = 0;
    for (std::size_t k = from; k < common; ++k) uncovered |= int{entries[k] == 1} & int{failed[k] == 0};
    for (std::size_t k = from > common ? from : common; k < memberSize; ++k) uncovered |= int{entries[k] == 1};
    return uncovered == 0;
}

// Depth-first search below `top` for a leaf whose cut set is contained in the query `failed`.
//
// At depth d a set with a non-zero entry d lies on the right and can only be contained in the
// query if failed[d] is non-zero too, so the right branch is searched only then; the left branch
// can always hold a contained set. The query's own child is taken first at every node, so the
// search begins with exactly the query's own path and only afterwards turns back to the left
// branches it passed on the way, deepest first.
//
// A leaf at depth d agrees with its path in entries 0..d-1, and the search entered a right child
// only where the query is failed, so those entries are already known to be covered: the leaf is
// compared from entry d on.
//
// The branches still to be searched are the left children of the ancestors that the search left
// through their right child. The shallowest kRecorded of them are kept in a fixed array, so no
// memory is allocated; any deeper ones (a query with more failed components than that along one
// path) are only counted and found again by climbing the parent links.
const CutsetTreeNode* findContainedLeaf(const CutsetTreeNode* top, const int* failed,
                                        std::size_t failedSize) noexcept {
    struct Branch {
        const CutsetTreeNode* node;
        std::size_t depth;
    };
    constexpr std::size_t kRecorded = 64;
    Branch recorded[kRecorded];
    std::size_t recordedCount = 0;
    std::size_t unrecordedCount = 0;  // non-zero only while `recorded` is full

    const CutsetTreeNode* node = top;
    std::size_t depth = 0;
    for (;;) {
        const CutsetTreeNode* next = nullptr;
        if (!node->cutset.empty()) {
            if (containedFrom(failed, failedSize, node->cutset, depth)) return node;
        } else if (entryAt(failed, failedSize, depth) == 0 || node->right == nullptr) {
            next = node->left;
        } else {
            next = node->right;
            if (node->left != nullptr) {
                if (recordedCount < kRecorded) {
                    recorded[recordedCount++] = {node->left, depth + 1};
                } else {
                    ++unrecordedCount;
                }
            }
        }
        if (next != nullptr) {
            node = next;
            ++depth;
        } else if (unrecordedCount > 0) {
            // The deepest pending branch hangs off the nearest ancestor left through its right
            // child (branches already resumed are left children and are climbed past).
            --unrecordedCount;
            while (node != node->parent->right || node->parent->left == nullptr) {
                node = node->parent;
                --depth;
            }
            node = node->parent->left;
        } else if (recordedCount > 0) {
            const Branch& branch = recorded[--recordedCount];
            node = branch.node;
            depth = branch.depth;
        } else {
            return nullptr;
        }
    }
}

// Whether the walk down the query's own path, as far as the query selects it, reaches a node at
// a depth not less than the query's length without a contained set there: the query is too short
// for the tree. The query must not be empty.
bool ownPathOutrunsQuery(const CutsetTreeNode* root, const std::vector<int>& query) {
    std::size_t depth = 0;
    for (const CutsetTreeNode* node = root; node != nullptr; ++depth) {
        if (!node->cutset.empty()) return depth >= query.size() && !isSubset(query, node->cutset);
        if (depth >= query.size()) return true;
        node = query[depth] != 0 ? node->right : node->left;
    }
    return false;
}

// The node after `node` in a pre-order walk of the branch below `top` (null after the last):
// the node, its left branch, then its right branch. Climbing the parent links needs no stack, so
// a branch of any depth is walked in constant memory.
const CutsetTreeNode* preorderNext(const CutsetTreeNode* node, const CutsetTreeNode* top) noexcept {
    if (node->left != nullptr) return node->left;
    if (node->right != nullptr) return node->right;
    for (; node != top; node = node->parent) {
        const CutsetTreeNode* parent = node->parent;
        if (node == parent->left && parent->right != nullptr) return parent->right;
    }
    return nullptr;
}

}  // namespace

CutsetTree::CutsetTree(int cutsetSize) : cutsetSize(cutsetSize), root(nullptr), nextId(0) {
    root = createNode({}, nullptr);
}

CutsetTree::~CutsetTree() {
    deleteTree(root);
}

CutsetTreeNode* CutsetTree::getRoot() {
    return root;
}

const CutsetTreeNode* CutsetTree::getRoot() const {
    return root;
}

CutsetTreeNode* CutsetTree::createNode(std::vector<int> cutset, CutsetTreeNode* parent) {
    // The id is taken only once the node exists, so a failed allocation uses up no id.
    auto* node = new CutsetTreeNode{nextId, nullptr, nullptr, parent, std::move(cutset)};
    ++nextId;
    return node;
}

// Branches detached from the tree whose cut sets still have to be re-inserted, each with the
// place its pre-order walk has reached. The branch on top is the one detached last: a
// replacement met while a branch is re-inserted detaches branches of its own, and those are put
// back before the walk of the outer branch goes on, as if the re-insertion had recursed. Owns
// the branches: each is freed once its walk is done, and whatever is left when an allocation
// throws is freed by the destructor.
class CutsetTree::PendingBranches {
public:
    explicit PendingBranches(CutsetTree& tree) : tree_(tree) {}
    ~PendingBranches() {
        for (const Walk& walk : walks_) tree_.deleteTree(walk.top);
    }
    PendingBranches(const PendingBranches&) = delete;
    PendingBranches& operator=(const PendingBranches&) = delete;

    // Room for `count` more branches, taken before they are detached, so that adding them
    // cannot throw and leave one owned by no one.
    void reserve(std::size_t count) { walks_.reserve(walks_.size() + count); }
    // Takes over a detached branch (null: nothing); needs room reserved.
    void add(CutsetTreeNode* top) noexcept {
        if (top != nullptr) walks_.push_back({top, top});
    }

    // Re-inserts the cut sets of every branch, top branch first, freeing each when its walk ends.
    void reinsertAll() {
        while (!walks_.empty()) {
            Walk& walk = walks_.back();
            if (walk.next == nullptr) {
                tree_.deleteTree(walk.top);
                walks_.pop_back();
                continue;
            }
            const CutsetTreeNode* node = walk.next;
            walk.next = preorderNext(node, walk.top);
            // May add branches, which invalidates `walk`; the branch itself is only read.
            if (!node->cutset.empty()) tree_.placeCutset(node->cutset, *this);
        }
    }

private:
    struct Walk {
        CutsetTreeNode* top;
        const CutsetTreeNode* next;  // next node of the pre-order walk; null once done
    };
    CutsetTree& tree_;
    std::vector<Walk> walks_;
};

void CutsetTree::insertNode(std::vector<int> cutset) {
    PendingBranches pending(*this);
    placeCutset(std::move(cutset), pending);
    pending.reinsertAll();
}

void CutsetTree::placeCutset(std::vector<int> cutset, PendingBranches& pending) {
    if (cutset.empty()) {
        reportSizeWrong();
        return;
    }
    if (cutset.size() > longestCutset) longestCutset = cutset.size();
    // Walk the new set's path down to a free place or to the leaf already on it.
    CutsetTreeNode* node = root;
    std::size_t depth = 0;
    while (node->cutset.empty()) {
        CutsetTreeNode*& child = cutset[depth] != 0 ? node->right : node->left;
        if (child == nullptr) {
            child = createNode(std::move(cutset), node);
            return;
        }
        node = child;
        ++depth;
        if (depth >= cutset.size()) {  // the next step would read past the set's end
            reportSizeWrong();
            return;
        }
    }
    // Redundancy is tested first, so a duplicate is dropped rather than replacing its twin.
    if (isSubset(cutset, node->cutset)) return;
    if (isSubset(node->cutset, cutset)) {
        replaceBranchesAbove(node, cutset, pending);
    } else {
        splitLeaf(node, depth, std::move(cutset));
    }
}

void CutsetTree::replaceBranchesAbove(CutsetTreeNode* leaf, const std::vector<int>& cutset,
                                      PendingBranches& pending) {
    CutsetTreeNode* parent = leaf->parent;  // never null: the root holds no cut set
    // Both branches are re-inserted, the sibling of the met leaf included: every set that reaches
    // the new set's leaf and contains it is dropped, any other finds its own place again.
    pending.reserve(2);
    pending.add(std::exchange(parent->right, nullptr));
    pending.add(std::exchange(parent->left, nullptr));  // on top: re-inserted first
    if (parent == root) {
        // The root stays inner and now has no children: the set lands directly below it.
        (cutset[0] != 0 ? root->right : root->left) = createNode(cutset, root);
    } else {
        parent->cutset = cutset;  // the parent becomes a leaf and keeps its id
    }
}

void CutsetTree::splitLeaf(CutsetTreeNode* leaf, std::size_t depth, std::vector<int> cutset) {
    // The two sets are incomparable, and they stay so at every level below: the containment
    // tests are not repeated. The leaf becomes an inner node; the incoming set takes its side
    // and the displaced set walks on as if re-inserted from the root. While both select the same
    // side, the displaced set meets the new leaf one level down and splits it in turn, so the
    // pair parts after one node per level they still agree on, each level in constant time.
    for (;;) {
        // The new node is linked in before the leaf gives up its set, so a failed allocation
        // leaves the leaf as it was.
        CutsetTreeNode*& side = cutset[depth] != 0 ? leaf->right : leaf->left;
        CutsetTreeNode* const incoming = createNode(std::move(cutset), leaf);
        side = incoming;
        std::vector<int> displaced;
        displaced.swap(leaf->cutset);
        // The displaced set's own walk from the root arrives here at `depth`, and below it at
        // the new leaf, a level deeper: a set too short for either step is reported and dropped.
        if (depth >= displaced.size()) break;
        CutsetTreeNode*& ownSide = displaced[depth] != 0 ? leaf->right : leaf->left;
        if (ownSide == nullptr) {
            ownSide = createNode(std::move(displaced), leaf);
            return;
        }
        ++depth;
        if (depth >= displaced.size()) break;
        leaf = incoming;
        cutset = std::move(displaced);
    }
    reportSizeWrong();
}

void CutsetTree::constructTree(const std::vector<std::vector<int>>& cutsets) {
    for (const std::vector<int>& cutset : cutsets) insertNode(cutset);
}

std::vector<int> CutsetTree::findNode(const std::vector<int>& cutset) const {
    if (cutset.empty()) {
        reportSizeWrong();
        return {};
    }
    // A leaf at depth d holds at least d entries, so only a stored set longer than the query can
    // put a node without a match at the query's length on its path: the usual query, as long as
    // the stored sets, skips this second walk.
    if (cutset.size() < longestCutset && ownPathOutrunsQuery(root, cutset)) reportSizeWrong();
    const CutsetTreeNode* leaf = findContainedLeaf(root, cutset.data(), cutset.size());
    return leaf != nullptr ? leaf->cutset : std::vector<int>{};
}

bool CutsetTree::isSystemFailed(const std::vector<int>& failed) const noexcept {
    return !failed.empty() && findContainedLeaf(root, failed.data(), failed.size()) != nullptr;
}

void CutsetTree::reinsertBranch(CutsetTreeNode* node) {
    for (const CutsetTreeNode* next = node; next != nullptr; next = preorderNext(next, node)) {
        if (!next->cutset.empty()) insertNode(next->cutset);
    }
}

void CutsetTree::deleteTree(CutsetTreeNode* node) {
    // Post-order without recursion: go down to a childless node, free it, unlink it from its
    // parent and continue from there. Only links inside the freed branch are touched.
    CutsetTreeNode* const top = node;
    while (node != nullptr) {
        if (node->left != nullptr) {
            node = node->left;
        } else if (node->right != nullptr) {
            node = node->right;
        } else {
            CutsetTreeNode* parent = node == top ? nullptr : node->parent;
            if (parent != nullptr) (parent->left == node ? parent->left : parent->right) = nullptr;
            delete node;
            node = parent;
        }
    }
}

bool isSubset(const std::vector<int>& a, const std::vector<int>& b) {
    if (b.empty() || a.empty()) return false;
    return containedFrom(a.data(), a.size(), b, 0);
}

// The diagnostics walk the tree with explicit stacks: a tree is as deep as its longest shared
// prefix, up to one level per component, far more than a thread's stack holds frames for.

void printTreeOrd(CutsetTreeNode* node) {
    // A node is listed when it comes off the stack the second time, after both its subtrees.
    std::vector<std::pair<const CutsetTreeNode*, bool>> pending{{node, false}};
    while (!pending.empty()) {
        const auto [current, subtreesListed] = pending.back();
        pending.pop_back();
        if (!subtreesListed) {
            pending.emplace_back(current, true);
            if (current->right != nullptr) pending.emplace_back(current->right, false);
            if (current->left != nullptr) pending.emplace_back(current->left, false);
            continue;
        }
        std::cout << "Node ID: " << current->id << ", Cutset: ";
        for (int entry : current->cutset) std::cout << entry << ' ';
        std::cout << std::endl;
    }
}

namespace {

struct PrettyLine {
    const CutsetTreeNode* node;
    std::string prefix;
    bool isLeft;
};

void printPrettyLine(const PrettyLine& line) {
    // The connector tells which child a node is, not whether a sibling follows it.
    std::cout << line.prefix;
    if (!line.prefix.empty()) std::cout << (line.isLeft ? "├── " : "└── ");
    std::cout << "id=" << line.node->id << "  cutset=[";
    const std::vector<int>& cutset = line.node->cutset;
    for (std::size_t k = 0; k < cutset.size(); ++k) {
        if (k != 0) std::cout << ' ';
        std::cout << cutset[k];
    }
    std::cout << "]\n";
}

}  // namespace

void printTreePretty(const CutsetTreeNode* node, const std::string& prefix, bool isLeft) {
    if (node == nullptr) return;
    // Pre-order: the left child goes on the stack last, so its subtree is drawn first.
    std::vector<PrettyLine> pending{{node, prefix, isLeft}};
    while (!pending.empty()) {
        PrettyLine line = std::move(pending.back());
        pending.pop_back();
        printPrettyLine(line);
        std::string childPrefix = std::move(line.prefix);
        if (!childPrefix.empty()) childPrefix += line.isLeft ? "│   " : "    ";
        if (line.node->right != nullptr) pending.push_back({line.node->right, childPrefix, false});
        if (line.node->left != nullptr) pending.push_back({line.node->left, std::move(childPrefix), true});
    }
}

int maxDepth(CutsetTreeNode* node) {
    int deepest = 0;
    std::vector<std::pair<const CutsetTreeNode*, int>> pending;
    if (node != nullptr) pending.emplace_back(node, 1);
    while (!pending.empty()) {
        const auto [current, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        if (current->left != nullptr) pending.emplace_back(current->left, depth + 1);
        if (current->right != nullptr) pending.emplace_back(current->right, depth + 1);
    }
    return deepest;
}
