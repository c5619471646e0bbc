#include "simulation.h"

#include <algorithm>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "utils.h"

// ---- Checks ----

void checkRunArguments(const ComponentModel& model, const CutsetTree* cutSetTree) {
    if (cutSetTree == nullptr) {
        throw std::invalid_argument("Cutset matrix must not be null.");
    }
    // model[0] may only be read once the model is known to have it.
    if (model.empty() || model[0].empty()) {
        throw std::invalid_argument("Transitions matrix must not be empty.");
    }
}

namespace {

// The base law never fires whatever it is asked, so an entry holding it is no way out of a state.
// Python subclasses of Distribution reach the engine as this very type as well.
bool neverFires(const Distribution& law) { return typeid(law) == typeid(Distribution); }

std::string where(std::size_t component, std::size_t state) {
    return "Component " + std::to_string(component) + ", state " + std::to_string(state) + ": ";
}

void checkRowsOfComponent(std::size_t component,
                          const std::vector<std::vector<Distribution*>>& rows,
                          std::size_t numStates) {
    for (std::size_t state = 0; state < rows.size(); ++state) {
        const auto& row = rows[state];
        if (row.size() != numStates) {
            throw std::invalid_argument(where(component, state) + "expected " +
                                        std::to_string(numStates) + " transition laws, found " +
                                        std::to_string(row.size()) + ".");
        }
        for (std::size_t target = 0; target < numStates; ++target) {
            if (row[target] == nullptr) {
                throw std::invalid_argument(where(component, state) +
                                            "the law of the transition into state " +
                                            std::to_string(target) + " is missing (None).");
            }
        }
    }
}

// Walks the states the component can enter from state 0; each of them needs a row.
void checkReachableRows(std::size_t component,
                        const std::vector<std::vector<Distribution*>>& rows,
                        std::size_t numStates) {
    if (rows.empty()) {
        throw std::invalid_argument("Component " + std::to_string(component) +
                                    " has no row of laws for its initial state 0.");
    }
    std::vector<bool> reached(numStates, false);
    std::vector<std::size_t> pending{0};
    reached[0] = true;
    while (!pending.empty()) {
        const std::size_t state = pending.back();
        pending.pop_back();
        for (std::size_t target = 0; target < numStates; ++target) {
            if (reached[target] || neverFires(*rows[state][target])) continue;
            if (target >= rows.size()) {
                throw std::invalid_argument(where(component, state) +
                                            "the transition into state " +
                                            std::to_string(target) +
                                            " leads to a state without a row of laws.");
            }
            reached[target] = true;
            pending.push_back(target);
        }
    }
}

}  // namespace

void checkModelShape(const ComponentModel& model) {
    const std::size_t numStates = model[0].size();
    for (std::size_t component = 0; component < model.size(); ++component) {
        checkRowsOfComponent(component, model[component], numStates);
        checkReachableRows(component, model[component], numStates);
    }
}

void checkModel(const ComponentModel& model, const CutsetTree* cutSetTree) {
    checkRunArguments(model, cutSetTree);
    checkModelShape(model);
}

// ---- The engine ----

void LazyMersenneTwister::seedUpTo(int count) {
    for (; seeded < count; ++seeded) {
        const std::uint32_t previous = words[seeded - 1];
        words[seeded] =
            1812433253u * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(seeded);
    }
}

// The twist of word k in place, as std::mt19937 does it: words above k still hold the previous
// round, words below k the new one.
inline void LazyMersenneTwister::twistWord(int k) {
    const int after = k + 1 == kWords ? 0 : k + 1;
    const int partner = k < kWords - kShift ? k + kShift : k + kShift - kWords;
    const std::uint32_t y = (words[k] & 0x80000000u) | (words[after] & 0x7fffffffu);
    words[k] = words[partner] ^ (y >> 1) ^ ((y & 1u) != 0 ? 0x9908b0dfu : 0u);
}

void LazyMersenneTwister::makeReady() {
    if (next == kWords) {  // a new round, over words that are all seeded
        next = 0;
        ready = 0;
        firstRound = false;
    }
    // A few words at a time, so the bookkeeping stays small next to the work.
    const int target = std::min(kWords, next + 16);
    // Word k reads the seeding values of words k + 1 and, below 227, k + 397.
    if (firstRound) seedUpTo(std::min(kWords, target + kShift));
    for (int k = ready; k < target; ++k) twistWord(k);
    ready = target;
}

// ---- What the histories of one call share ----

namespace {

// Counting the failed members of every cut set costs, per change of a component, one step per
// cut set holding it; a look-up in the tree walks a path of up to one node per component, but
// only when the change can alter the system state. Measured on random trees (40 to 200
// components, 500 to 20,000 cut sets), counting wins while a component belongs to no more than
// about twice as many cut sets as there are components, and the tree beyond.
constexpr std::size_t kCountedMembershipsPerComponentAndComponent = 2;

// Every stored cut set of the tree, each as the list of its members, in no particular order.
// Iterative: a tree over many components is as deep as it has components.
std::vector<std::vector<int>> storedCutSets(const CutsetTree& tree) {
    std::vector<std::vector<int>> cutSets;
    std::vector<const CutsetTreeNode*> pending{tree.getRoot()};
    while (!pending.empty()) {
        const CutsetTreeNode* node = pending.back();
        pending.pop_back();
        if (node == nullptr) continue;
        if (!node->cutset.empty()) {
            std::vector<int> members;
            for (std::size_t i = 0; i < node->cutset.size(); ++i) {
                if (node->cutset[i] != 0) members.push_back(static_cast<int>(i));
            }
            cutSets.push_back(std::move(members));
        }
        pending.push_back(node->left);
        pending.push_back(node->right);
    }
    return cutSets;
}

}  // namespace

CompiledModel::CompiledModel(const ComponentModel& model, CutsetTree* cutSetTree,
                             FailureLogic logic)
    : numComponents((checkRunArguments(model, cutSetTree), static_cast<int>(model.size()))),
      numStates(static_cast<int>(model[0].size())),
      laws(static_cast<std::size_t>(numComponents) * static_cast<std::size_t>(numStates) *
               static_cast<std::size_t>(numStates),
           nullptr),
      cutSetTree(cutSetTree) {
    for (int c = 0; c < numComponents; ++c) {
        const auto& rows = model[static_cast<std::size_t>(c)];
        const int rowCount = std::min(numStates, static_cast<int>(rows.size()));
        for (int s = 0; s < rowCount; ++s) {
            const auto& given = rows[static_cast<std::size_t>(s)];
            const int lawCount = std::min(numStates, static_cast<int>(given.size()));
            for (int k = 0; k < lawCount; ++k) {
                const Distribution* law = given[static_cast<std::size_t>(k)];
                laws[rowStart(c, s) + static_cast<std::size_t>(k)] =
                    law != nullptr && !neverFires(*law) ? law : nullptr;
            }
        }
    }
    alwaysFailed =
        cutSetTree->isSystemFailed(std::vector<int>(static_cast<std::size_t>(numComponents), 0));
    prepareCounting(logic);
}

void CompiledModel::prepareCounting(FailureLogic logic) {
    if (logic == FailureLogic::tree) return;
    std::vector<std::vector<int>> cutSets = storedCutSets(*cutSetTree);
    // A cut set with a member beyond the last component can never be wholly failed, and one
    // without members is covered by alwaysFailed: neither needs counting.
    cutSets.erase(std::remove_if(cutSets.begin(), cutSets.end(),
                                 [&](const std::vector<int>& members) {
                                     return members.empty() || members.back() >= numComponents;
                                 }),
                  cutSets.end());
    std::size_t memberships = 0;
    for (const auto& members : cutSets) memberships += members.size();
    const auto components = static_cast<std::size_t>(numComponents);
    countMembers = logic == FailureLogic::counts ||
                   memberships <=
                       kCountedMembershipsPerComponentAndComponent * components * components;
    if (!countMembers) return;

    memberStart.assign(static_cast<std::size_t>(numComponents) + 1, 0);
    for (const auto& members : cutSets) {
        for (int c : members) ++memberStart[static_cast<std::size_t>(c) + 1];
    }
    for (int c = 0; c < numComponents; ++c) memberStart[c + 1] += memberStart[c];
    cutSetOf.assign(memberships, 0);
    std::vector<int> filled(memberStart.begin(), memberStart.end() - 1);
    for (std::size_t set = 0; set < cutSets.size(); ++set) {
        sizes.push_back(static_cast<int>(cutSets[set].size()));
        for (int c : cutSets[set]) {
            cutSetOf[static_cast<std::size_t>(filled[c]++)] = static_cast<int>(set);
        }
    }
    // Keeps cutSetsOfBegin valid for a component in no cut set of an empty list.
    if (cutSetOf.empty()) cutSetOf.push_back(0);
}

void prefixSumInPlace(unsigned int* values, std::size_t n) noexcept {
    unsigned int running = 0;
    for (std::size_t t = 0; t < n; ++t) {
        running += values[t];
        values[t] = running;
    }
}

// ---- The event loop ----

namespace {

// Absolute time unit at which a component's pending transition fires. Due times at or after
// the horizon never fire and need no order among themselves, so every time too large for an
// int, and "nothing pending", is kNothingDue (simTime is at most kNothingDue).
constexpr int kNothingDue = std::numeric_limits<int>::max();

inline int dueTime(int now, int delay) {
    return static_cast<int>(
        std::min<std::int64_t>(static_cast<std::int64_t>(now) + delay, kNothingDue));
}

// What a pending transition does, apart from its due time.
struct PendingMove {
    int fromState;
    int target;
};

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

// Below this many components a plain pass finds the next event faster than a heap keeps order.
constexpr int kHeapFromComponents = 24;

// The system state of one history from the failed components, through the compiled model's
// failure logic: per-cut-set counts of failed members, or the tree.
class FailureTracker {
public:
    explicit FailureTracker(const CompiledModel& model)
        : model(model),
          failedMembers(model.countsCutSets() ? model.cutSetSizes().size() : 0, 0),
          failedComponents(model.countsCutSets() ? 0 : static_cast<std::size_t>(model.components()),
                           0) {}

    void reset() {
        std::fill(failedMembers.begin(), failedMembers.end(), 0);
        std::fill(failedComponents.begin(), failedComponents.end(), 0);
        wholeCutSets = 0;
    }

    // `component` has just become failed (nowFailed) or working; returns the system state that
    // follows from systemState. A failure cannot repair the system and a repair cannot fail
    // it, so the tree is asked only when the state can change.
    int afterChange(int component, bool nowFailed, int systemState) {
        if (model.countsCutSets()) {
            countChange(component, nowFailed);
            return wholeCutSets > 0 ? 1 : 0;
        }
        failedComponents[static_cast<std::size_t>(component)] = nowFailed ? 1 : 0;
        if (nowFailed == (systemState != 0)) return systemState;
        return model.tree().isSystemFailed(failedComponents) ? 1 : 0;
    }

private:
    void countChange(int component, bool nowFailed) {
        const std::vector<int>& sizes = model.cutSetSizes();
        const int* end = model.cutSetsOfEnd(component);
        for (const int* set = model.cutSetsOfBegin(component); set != end; ++set) {
            int& failed = failedMembers[static_cast<std::size_t>(*set)];
            if (nowFailed) {
                if (++failed == sizes[static_cast<std::size_t>(*set)]) ++wholeCutSets;
            } else {
                if (failed-- == sizes[static_cast<std::size_t>(*set)]) --wholeCutSets;
            }
        }
    }

    const CompiledModel& model;
    std::vector<int> failedMembers;     // counting: failed members per cut set
    int wholeCutSets = 0;               // counting: cut sets with every member failed
    std::vector<int> failedComponents;  // tree: the cutset vector of the failed components
};

// Writes the whole series and logs every transition: what Simulation gives its caller.
struct SeriesAndLog {
    unsigned int* series;
    std::vector<Transition>& log;

    void hold(int from, int to, int systemState) {
        if (to > from) {
            std::fill(series + from, series + to, static_cast<unsigned int>(systemState));
        }
    }
    void expect(int) {}
    void event(int time, int fromState, int toState, int component, int, int systemState) {
        log.push_back(Transition{time, fromState, toState, component});
        series[time] = static_cast<unsigned int>(systemState);
    }
};

// Adds +1 where the system enters the failed state and -1 where it leaves it: what the batch
// runners accumulate. Several changes within one time unit net out to its final state.
struct ChangesOnly {
    unsigned int* differences;

    void hold(int, int, int) {}
    // A transition is now due at `time`: if it changes the system state, the entry is written
    // then. Fetching its line now hides the cache miss of a long buffer behind the work between.
    void expect(int time) { __builtin_prefetch(differences + time, 1); }
    void event(int time, int, int, int, int before, int after) {
        if (after != before) differences[time] += after != 0 ? 1u : ~0u;
    }
};

}  // namespace

// The state of one history and the one event loop that runs it, for any output (SeriesAndLog,
// ChangesOnly). Reusable: start() begins a new history without allocating.
class HistoryEngine {
public:
    HistoryEngine(const CompiledModel& model, int simTime, EventSelection selection)
        : model(model),
          numComponents(model.components()),
          numStates(model.states()),
          simTime(simTime),
          useHeap(selection == EventSelection::heap ||
                  (selection == EventSelection::automatic &&
                   model.components() >= kHeapFromComponents)),
          componentStates(static_cast<std::size_t>(numComponents), 0),
          due(static_cast<std::size_t>(numComponents), kNothingDue),
          moves(static_cast<std::size_t>(numComponents), PendingMove{0, 0}),
          unitOfLastEvent(static_cast<std::size_t>(numComponents), -1),
          eventsInUnit(static_cast<std::size_t>(numComponents), 0),
          failures(model) {
        if (useHeap) queue.resize(numComponents);
    }

    void start(std::uint32_t seed) {
        generator.seed(seed);
        std::fill(componentStates.begin(), componentStates.end(), 0);
        std::fill(unitOfLastEvent.begin(), unitOfLastEvent.end(), -1);
        failures.reset();
        systemState = 0;
        currentTime = 0;
        urgent = -1;
    }

    void sampleFirst();

    // Fires the next event, or ends the history; false once it is over.
    template <class Output>
    bool step(Output& out);

    template <class Output>
    void run(std::uint32_t seed, Output& out) {
        start(seed);
        sampleFirst();
        while (step(out)) {
        }
    }

    int time() const { return currentTime; }

    Realization pendingOf(int component) const {
        const auto c = static_cast<std::size_t>(component);
        const int nextTime = due[c] == kNothingDue ? kNeverDelay : due[c] - currentTime;
        return Realization{nextTime, moves[c].fromState, moves[c].target};
    }

private:
    std::uint32_t nextBits() { return static_cast<std::uint32_t>(generator()); }
    template <class Output>
    void resample(int component, Output& out);
    int nextComponent() const;
    void countEvent(int component);

    const CompiledModel& model;
    const int numComponents;
    const int numStates;
    const int simTime;
    const bool useHeap;
    LazyMersenneTwister generator;
    std::vector<int> componentStates;
    std::vector<int> due;
    std::vector<PendingMove> moves;
    EventHeap queue;
    std::vector<int> unitOfLastEvent;
    std::vector<std::int64_t> eventsInUnit;
    FailureTracker failures;
    int systemState = 0;
    int currentTime = 0;
    // The component re-sampled with a negative delay: it fires next, at the current time.
    int urgent = -1;
};

void HistoryEngine::sampleFirst() {
    for (int c = 0; c < numComponents; ++c) {
        const Distribution* const* laws = model.row(c, 0);
        int best = kNeverDelay;
        int target = 0;
        for (int k = 0; k < numStates; ++k) {
            const std::uint32_t bits = nextBits();
            if (laws[k] == nullptr) continue;  // never fires: no warning, never chosen
            const double p = static_cast<double>(unitFloatFromBits(bits));
            const double q = laws[k]->quantile(p, 0);
            if (!(q >= 0.0 && q <= 2147483647.0)) {
                std::ostringstream line;
                line << "Warning: nextTimeDouble is out of bounds: " << q << "  " << p << '\n';
                printWholeLine(std::cout, line.str());
                continue;
            }
            const int delay = delayFromQuantile(q);
            if (delay < best) {
                best = delay;
                target = k;
            }
        }
        due[static_cast<std::size_t>(c)] = best;  // kNeverDelay is kNothingDue
        moves[static_cast<std::size_t>(c)] = PendingMove{0, target};
    }
    if (useHeap) queue.rebuild(due.data());
}

template <class Output>
inline void HistoryEngine::resample(int component, Output& out) {
    const int state = componentStates[static_cast<std::size_t>(component)];
    const Distribution* const* laws = model.row(component, state);
    int best = kNeverDelay;
    int target = 0;
    for (int k = 0; k < numStates; ++k) {
        const std::uint32_t bits = nextBits();
        if (laws[k] == nullptr) continue;
        // No range check here: a negative delay fires at once.
        const double p = static_cast<double>(unitFloatFromBits(bits));
        const int delay = delayFromQuantile(laws[k]->quantile(p, currentTime));
        if (delay < best) {
            best = delay;
            target = k;
        }
    }
    const auto c = static_cast<std::size_t>(component);
    moves[c] = PendingMove{state, target};
    if (best < 0) {
        due[c] = currentTime;
        urgent = component;
    } else {
        due[c] = dueTime(currentTime, best);
        if (due[c] < simTime) out.expect(due[c]);
    }
    if (useHeap) queue.update(component, due[c]);
}

inline int HistoryEngine::nextComponent() const {
    if (urgent >= 0) return urgent;
    if (useHeap) return queue.earliest();
    int row = -1;
    int best = kNothingDue;
    const int* times = due.data();
    for (int c = 0; c < numComponents; ++c) {
        if (times[c] < best) {
            best = times[c];
            row = c;
        }
    }
    return row;
}

inline void HistoryEngine::countEvent(int component) {
    const auto c = static_cast<std::size_t>(component);
    if (unitOfLastEvent[c] != currentTime) {
        unitOfLastEvent[c] = currentTime;
        eventsInUnit[c] = 0;
    }
    if (++eventsInUnit[c] > kMaxEventsPerComponentAndTimeUnit) {
        throw std::runtime_error(
            "History stopped advancing at time unit " + std::to_string(currentTime) +
            ": component " + std::to_string(component) + " took part in more than " +
            std::to_string(kMaxEventsPerComponentAndTimeUnit) +
            " events in it (a cycle of transitions with zero delay).");
    }
}

template <class Output>
bool HistoryEngine::step(Output& out) {
    const int row = nextComponent();
    if (row < 0 || due[static_cast<std::size_t>(row)] >= simTime) {
        out.hold(currentTime, simTime, systemState);
        currentTime = simTime;
        return false;
    }
    const PendingMove fired = moves[static_cast<std::size_t>(row)];
    const int eventTime = due[static_cast<std::size_t>(row)];
    urgent = -1;
    out.hold(currentTime, eventTime, systemState);
    currentTime = eventTime;
    countEvent(row);

    componentStates[static_cast<std::size_t>(row)] = fired.target;
    const int before = systemState;
    if (model.failedWhenAllWork()) {
        systemState = 1;
    } else if ((fired.fromState != 0) != (fired.target != 0)) {
        systemState = failures.afterChange(row, fired.target != 0, systemState);
    }
    out.event(currentTime, fired.fromState, fired.target, row, before, systemState);
    resample(row, out);
    return true;
}

// ---- ChangeRecorder ----

ChangeRecorder::ChangeRecorder(const CompiledModel& model, int simTime, EventSelection selection)
    : engine(std::make_unique<HistoryEngine>(model, simTime, selection)) {}

ChangeRecorder::~ChangeRecorder() = default;

void ChangeRecorder::record(std::uint32_t seed, unsigned int* differences) {
    ChangesOnly out{differences};
    engine->run(seed, out);
}

// ---- Simulation ----

Simulation::Simulation(int simTime, const ComponentModel& transitionsMatrix,
                       CutsetTree* cutSetTree, unsigned int* stateSeries, std::uint32_t seed,
                       EngineOptions options)
    : compiled(transitionsMatrix, cutSetTree, options.failureLogic),
      engine(std::make_unique<HistoryEngine>(compiled, simTime, options.events)),
      stateSeries(stateSeries) {
    engine->start(seed);
}

Simulation::~Simulation() = default;

void Simulation::runSimulation() {
    initRealizations();
    SeriesAndLog out{stateSeries, transitions};
    while (engine->step(out)) {
    }
}

void Simulation::initRealizations() { engine->sampleFirst(); }

void Simulation::tick() {
    SeriesAndLog out{stateSeries, transitions};
    engine->step(out);
}

int Simulation::time() const { return engine->time(); }

Realization Simulation::pendingTransition(int component) const {
    return engine->pendingOf(component);
}
