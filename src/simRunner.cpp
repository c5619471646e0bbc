#include "simRunner.h"
