// The queue of components waiting for a crew of one pool.
//
// A binary min-heap of 64-bit keys with each member's place in it: push, pop and removal of any
// member in O(log members). Every member of the pool is in it at most once, so its room is
// reserved once, by the constructor; nothing else allocates. Used by one history (one thread)
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CrewQueue {
public:
    // Members are numbered 0 to members - 1 (their rank in the pool).
    explicit CrewQueue(int members)
        : heap(static_cast<std::size_t>(members)),
          place(static_cast<std::size_t>(members), kAbsent) {}

    // A key orders the queue: the smallest is served first. Its low 32 bits must identify the
    // member's component, so that two keys never tie.
    static std::uint64_t key(std::uint32_t primary, int component) {
        return (static_cast<std::uint64_t>(primary) << 32) | static_cast<std::uint32_t>(component);
    }

    bool empty() const { return size == 0; }
    bool contains(int member) const { return place[static_cast<std::size_t>(member)] != kAbsent; }

    void clear() {
        for (std::size_t i = 0; i < size; ++i) place[heap[i].member] = kAbsent;
        size = 0;
    }

    // `member` must not be in the queue.
    void push(int member, std::uint64_t key) {
        const std::size_t i = size++;
        heap[i] = Entry{key, static_cast<std::uint32_t>(member)};
        place[static_cast<std::size_t>(member)] = static_cast<std::uint32_t>(i);
        siftUp(i);
    }

    // The member with the smallest key, taken out; the queue must not be empty.
    int pop() {
        const int first = static_cast<int>(heap[0].member);
        removeAt(0);
        return first;
    }

    // Takes `member` out; it must be in the queue.
    void remove(int member) { removeAt(place[static_cast<std::size_t>(member)]); }

private:
    static constexpr std::uint32_t kAbsent = 0xffffffffu;

    struct Entry {
        std::uint64_t key;
        std::uint32_t member;
    };

    void put(std::size_t i, Entry entry) {
        heap[i] = entry;
        place[entry.member] = static_cast<std::uint32_t>(i);
    }

    void removeAt(std::size_t i) {
        place[heap[i].member] = kAbsent;
        --size;
        if (i == size) return;
        const Entry last = heap[size];
        put(i, last);
        if (i > 0 && last.key < heap[(i - 1) / 2].key) {
            siftUp(i);
        } else {
            siftDown(i);
        }
    }

    void siftUp(std::size_t i) {
        const Entry moving = heap[i];
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (moving.key >= heap[parent].key) break;
            put(i, heap[parent]);
            i = parent;
        }
        put(i, moving);
    }

    void siftDown(std::size_t i) {
        const Entry moving = heap[i];
        for (;;) {
            std::size_t child = 2 * i + 1;
            if (child >= size) break;
            if (child + 1 < size && heap[child + 1].key < heap[child].key) ++child;
            if (heap[child].key >= moving.key) break;
            put(i, heap[child]);
            i = child;
        }
        put(i, moving);
    }

    std::vector<Entry> heap;
    std::vector<std::uint32_t> place;  // kAbsent: not waiting
    std::size_t size = 0;
};
