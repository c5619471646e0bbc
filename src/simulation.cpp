#include "simulation.h"

void prefixSumInPlace(unsigned int* values, std::size_t n) noexcept {
    unsigned int running = 0;
    for (std::size_t t = 0; t < n; ++t) {
        running += values[t];
        values[t] = running;
    }
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
