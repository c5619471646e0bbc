// The system's structure function: a binary decision tree over component indices whose leaves
// hold the minimal cut sets.
//
// A cutset vector has one int per component: non-zero (1) for a member of the cut set, or for a
// failed component in a query; 0 otherwise. A node at depth d routes a vector by its entry d:
// 0 to `left`, non-zero to `right`.
//
// Thread safety: findNode, isSystemFailed and getRoot only read the tree and may be called from
// any number of threads at once. insertNode, constructTree and destruction must not overlap any
// other call on the same tree.
//
// Unusable vectors (empty, or too short for the path they take) are reported by writing
// "cutset size wrong." to standard error. insertNode then changes nothing; findNode answers []
// for an empty query, and for a short one still answers from the entries it has (a missing
// entry counts as 0).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A node of the tree. The tree creates, owns and frees every node; a node never frees its children.
struct CutsetTreeNode {
    int id = 0;
    CutsetTreeNode* left = nullptr;   // sets whose entry at this depth is 0
    CutsetTreeNode* right = nullptr;  // sets whose entry at this depth is non-zero
    CutsetTreeNode* parent = nullptr; // null at the root
    std::vector<int> cutset;          // the stored cut set of a leaf; empty at every other node
};

class CutsetTree {
public:
    // Creates the root (id 0); the next node created gets id 1.
    explicit CutsetTree(int cutsetSize);
    ~CutsetTree();
    CutsetTree(const CutsetTree&) = delete;
    CutsetTree& operator=(const CutsetTree&) = delete;

    // The root; owned by the tree and valid until the tree is destroyed.
    CutsetTreeNode* getRoot();
    const CutsetTreeNode* getRoot() const;

    // Inserts one cut set. A set that contains a set already on its path is dropped; a set
    // strictly contained in a stored one replaces that branch, whose sets are then re-inserted.
    void insertNode(std::vector<int> cutset);
    // insertNode for each element, in order, without clearing the tree first.
    void constructTree(const std::vector<std::vector<int>>& cutsets);

    // A stored cut set contained in `cutset` (the failed components), or an empty vector when none
    // is. The query's own path is tried first, so its answer is preferred where it has one.
    std::vector<int> findNode(const std::vector<int>& cutset) const;

    // The engine's question after every event: is some stored cut set wholly failed?
    // Same answer as !findNode(failed).empty(), without copying or allocating and without the
    // size message. `failed` must have at least as many entries as the stored cut sets.
    bool isSystemFailed(const std::vector<int>& failed) const noexcept;

    // Re-inserts the cut set of `node` and of every node below it, in pre-order; frees nothing.
    // Neither insertion nor re-insertion recurses: the stack they use does not grow with the
    // length of a cut set or the depth of the tree, and splitting a leaf costs constant time
    // per level at which the two sets agree.
    void reinsertBranch(CutsetTreeNode* node);
    // Frees `node` and everything below it, post-order (null: nothing).
    void deleteTree(CutsetTreeNode* node);

    int nextNodeId() const { return nextId; }

private:
    class PendingBranches;

    // A new node holding `cutset` below `parent`, with the next id; the caller links it in.
    CutsetTreeNode* createNode(std::vector<int> cutset, CutsetTreeNode* parent);
    // insertNode's own step for one set; branches it detaches go to `pending`, whose sets the
    // caller re-inserts afterwards.
    void placeCutset(std::vector<int> cutset, PendingBranches& pending);
    // `cutset` is strictly contained in the set of `leaf`: the leaf's parent gives up both of
    // its branches to `cutset`; they go to `pending`, left on top of right.
    void replaceBranchesAbove(CutsetTreeNode* leaf, const std::vector<int>& cutset,
                              PendingBranches& pending);
    // `cutset` and the set of `leaf` (at `depth`) are incomparable: the leaf becomes an inner
    // node and both sets go below it.
    void splitLeaf(CutsetTreeNode* leaf, std::size_t depth, std::vector<int> cutset);

    [[maybe_unused]] int cutsetSize;  // number of components; recorded only
    CutsetTreeNode* root;  // owned: the whole tree is freed by the destructor
    int nextId;            // id of the next node created
    // No stored cut set is longer than this; a query at least as long cannot outrun its path.
    std::size_t longestCutset = 0;
};

// True when cut set b is contained in a (equal vectors included); false when either is empty.
// An entry missing from the shorter vector counts as 0.
bool isSubset(const std::vector<int>& a, const std::vector<int>& b);

// Diagnostics (standard output). None of them recurses, so any depth fits a small thread stack.
// printTreeOrd lists nodes post-order; `node` must not be null.
void printTreeOrd(CutsetTreeNode* node);
// Draws the tree pre-order with UTF-8 box-drawing connectors; a null node prints nothing.
void printTreePretty(const CutsetTreeNode* node, const std::string& prefix, bool isLeft);
// Nodes on the longest downward path; 0 for null, 1 for a lone root.
int maxDepth(CutsetTreeNode* node);
