#include "symbolstats.h"

// The one count type in use, compiled once here.
template class AdaptiveSymbolStats<unsigned>;
