// TEMPORARY: entry points so the program links while the codec is written.
#include "smtf.h"
#include "globals.h"
void packBlockMTFStatic(std::ostream&, char*, unsigned) { throw Exception("MTF codec not built yet"); }
void unpackBlockMTFStatic(std::istream&, char*, unsigned) { throw Exception("MTF codec not built yet"); }
