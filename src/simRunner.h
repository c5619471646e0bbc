// Runners: one history, or many histories summed per time unit, on the calling thread or on a
// pool of OpenMP worker threads.
//
// History i of a batch is seeded with seed + i (modulo 2^32). Laws and tree are borrowed for the
// length of the call and only read; the model is shared read-only by every history of the call.
// Results: one unsigned int per time unit; for one history the system state (0/1), for a batch
// the number of histories in which the system was failed.
//
// Before any history runs, every runner checks the tree, the model and the model's shape
// (checkModel in simulation.h): std::invalid_argument. The batch runners skip these checks when
// nSimulations <= 0 and then return simTime zeros. Exceptions of a law, and the std::runtime_error
// of a history that stops advancing time, reach the caller unchanged, also from a worker thread
// of runnerParallelSim. Every buffer is released on every path; output already printed stays.
//
// The batch runners accumulate each history by its changes of system state (a history costs in
// proportion to its events) and turn them into counts once per call.
//
// Standard output: the batch runners print "Simulation i done." after history i when i is a
// multiple of 10000, then "Simulation <nSimulations> done." and "All Simulations Done.";
// runnerParallelSim prints "Numero de threads disponiveis: <slots>" first. Each line is written
// whole; lines of different worker threads may come in any order. Nothing follows a failure.
#pragma once

#include <stdexcept>
#include <vector>

#include "study/runControl.h"
#include "simulation.h"

// Throws std::bad_array_new_length for a negative simTime.
std::vector<unsigned int> runnerSingleSim(int simTime, ComponentModel transitionsMatrix,
                                          CutsetTree* cutSetTree, int seed);

// Throws std::runtime_error "Failed to allocate systemStates in runnerMultipleSim." when its
// buffers cannot be allocated, which includes every negative simTime.
std::vector<unsigned int> runnerMultipleSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed);

// Uses omp_get_max_threads() thread slots, read at entry. When its buffers cannot be allocated
// (every negative simTime included) it writes "Erro ao alocar memória para os estados locais."
// on standard error and throws std::runtime_error
// "Failed to allocate systemStates in runnerParallelSim.". After the first exception in a
// worker, no further history starts; that exception is rethrown on the calling thread.
// Returns the same sums as runnerMultipleSim for any thread count (models without Maintenance).
// In a process forked after this process had started worker threads (the OpenMP runtime's
// threads do not survive a fork), the histories run on the calling thread alone, with the same
// sums.
std::vector<unsigned int> runnerParallelSim(int nSimulations, int simTime,
                                            ComponentModel transitionsMatrix,
                                            CutsetTree* cutSetTree, int seed);

// Sets the OpenMP thread count for later parallel runs started from the calling thread.
// Throws std::invalid_argument "maxThreads must be at least 1" for maxThreads < 1, and
// "maxThreads must be at most <limit> (...)" above maxOMPThreads().
void limitOMPThreads(int maxThreads);

// The largest count limitOMPThreads accepts on this machine.
int maxOMPThreads();

// ScopedInterruptCheck and RunInterrupted, for stopping a batch run: see runControl.h.
