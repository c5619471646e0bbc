#include "simulation.h"
