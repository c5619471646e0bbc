// The event queue of a history: which component's pending transition fires next.
//
// Used by one history (one thread) at a time; resizing allocates, nothing else does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The components ordered by (due time, index) in a binary heap, with each component's place in
// it, so that one component's due time can change in O(log components). An entry is the key
// itself, due time above index in one 64-bit word: one comparison orders two entries, without
// reading anything else.
class EventHeap {
public:
    void resize(int components) {
        heap.resize(static_cast<std::size_t>(components));
        place.resize(static_cast<std::size_t>(components));
    }

    void rebuild(const int* due) {
        for (std::size_t c = 0; c < heap.size(); ++c) put(c, keyOf(due[c], c));
        for (std::size_t i = heap.size() / 2; i-- > 0;) siftDown(i);
    }

    int earliest() const { return heap.empty() ? -1 : static_cast<int>(heap[0] & kIndexBits); }

    void update(int component, int due) {
        const std::size_t i = place[static_cast<std::size_t>(component)];
        const std::uint64_t key = keyOf(due, static_cast<std::size_t>(component));
        const bool earlier = key < heap[i];
        heap[i] = key;
        if (earlier) {
            siftUp(i);
        } else {
            siftDown(i);
        }
    }

private:
    static constexpr std::uint64_t kIndexBits = 0xffffffffu;

    // Due times are never negative.
    static std::uint64_t keyOf(int due, std::size_t component) {
        return (static_cast<std::uint64_t>(due) << 32) | component;
    }

    void put(std::size_t i, std::uint64_t key) {
        heap[i] = key;
        place[key & kIndexBits] = static_cast<std::uint32_t>(i);
    }

    void siftUp(std::size_t i) {
        const std::uint64_t moving = heap[i];
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (moving >= heap[parent]) break;
            put(i, heap[parent]);
            i = parent;
        }
        put(i, moving);
    }

    void siftDown(std::size_t i) {
        const std::size_t n = heap.size();
        const std::uint64_t moving = heap[i];
        for (;;) {
            std::size_t child = 2 * i + 1;
            if (child >= n) break;
            if (child + 1 < n && heap[child + 1] < heap[child]) ++child;
            if (heap[child] >= moving) break;
            put(i, heap[child]);
            i = child;
        }
        put(i, moving);
    }

    std::vector<std::uint64_t> heap;
    std::vector<std::uint32_t> place;  // 32 bits: the heap's bookkeeping stays in cache longer
};
