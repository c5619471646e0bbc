#include "SIMDUtils.h"
