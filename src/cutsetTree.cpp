#include "cutsetTree.h"
