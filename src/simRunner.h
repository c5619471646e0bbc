// Runners: one history, or many histories summed per time unit, on the calling thread or on a
// pool of OpenMP worker threads.
//
// History i of a batch is seeded with seed + i (modulo 2^32). Laws and tree are borrowed for the
// length of the call and only read. Results: one unsigned int per time unit; for one history the
// system state (0/1), for a batch the number of histories in which the system was failed.
#pragma once

#include <vector>

#include "simulation.h"

std::vector<unsigned int> runnerSingleSim(int simTime, ComponentModel transitionsMatrix,
                                          CutsetTree* cutSetTree, int seed);

std::vector<unsigned int> runnerMultipleSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed);

std::vector<unsigned int> runnerParallelSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed);

// Sets the OpenMP thread count for later parallel runs started from the calling thread.
void limitOMPThreads(int maxThreads);
