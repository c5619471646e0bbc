// What the study runners' bindings share (defined in registerRunners.cpp): the figures of a
// study as the dict runnerStudy returns, the seed's bit pattern, the signal check and warnings.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "study/studyRunner.h"

pybind11::dict studyFiguresOf(StudyResult&& result, const StudyPlan& plan);
// The 32-bit pattern of a seed given as any int from -2^31 to 2^32 - 1 (ValueError otherwise).
std::uint32_t studySeedPattern(long long seed);
// Runs Python's signal handlers; true when one raised (the run then stops).
bool studySignalRaised();
// Each message once, as RuntimeWarning.
void studyWarnAll(const std::vector<std::string>& messages);
pybind11::int_ studyExactInt(Wide value);
