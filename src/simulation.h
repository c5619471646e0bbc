// One Monte Carlo history of the modelled system, in whole time units from 0 up to, not
// including, the horizon simTime.
//
// Every component has at most one pending transition, sampled from the laws of its current
// state. The earliest one fires, the component changes state, the system state is recomputed
// through the cutset tree, and only the component that fired is re-sampled. The system state
// (0 working, 1 failed) of every time unit is written into a caller-owned series.
//
// A Simulation is used by one thread from construction to destruction. It only reads the laws,
// the model and the tree, which many histories may share at once.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "cutsetTree.h"
#include "distributions.h"

// components[c][s][k]: law of component c's transition from state s into state k (borrowed).
using ComponentModel = std::vector<std::vector<std::vector<Distribution*>>>;

// One state change of one component.
struct Transition {
    int time;         // time unit at which the change took effect
    int prevState;    // state the component left
    int nextState;    // state the component entered
    int componentId;  // index of the component
};

// The pending transition of one component.
struct Realization {
    int nextTime;      // time units from now until it fires; 2147483647 means nothing pending
    int currentState;  // state it was sampled from
    int nextState;     // target state
};
