// Adaptive move-to-front block codec: BWT, move-to-front, optional RLE0
// (`useRLE0`), adaptive arithmetic coding.
#ifndef VEXAQ38_AMTF_H
#define VEXAQ38_AMTF_H

#include <istream>
#include <ostream>

// Writes one payload for the `dataSize` (> 0) bytes at `data` at the current
// position of `os`; on return `data` holds the block's move-to-front values.
void packBlockMTFAdaptive(std::ostream& os, char* data, unsigned dataSize);

// Reads one payload from `is` and writes exactly `dataSize` bytes to `data`.
// `useRLE0` must say whether the block carries RLE0. A damaged payload raises
// Exception("Error in compressed file (...)"); nothing is written outside
// `data`.
void unpackBlockMTFAdaptive(std::istream& is, char* data, unsigned dataSize);

#endif
