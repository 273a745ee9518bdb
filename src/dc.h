// Distance coding block codec: BWT, distance coding, then adaptive
// arithmetic coding of the distances (or, with `passThru`, a plain bit code).
#ifndef VEXAQ38_DC_H
#define VEXAQ38_DC_H

#include <istream>
#include <ostream>

// Writes one payload for the `dataSize` (> 0) bytes at `data` at the current
// position of `os`. `data` is overwritten by its transform.
void packBlockDCAdaptive(std::ostream& os, char* data, unsigned dataSize);

// Reads one payload from `is` and writes exactly `dataSize` bytes to `data`.
// May read past the payload (the driver repositions `is`). A damaged payload
// raises Exception("Error in compressed file (...)"); nothing is written
// outside `data`.
void unpackBlockDCAdaptive(std::istream& is, char* data, unsigned dataSize);

// The static DC pair exists for symmetry with the MTF codecs; it does nothing
// and no method code reaches it.
void packBlockDCStatic(std::ostream& os, char* data, unsigned dataSize);
void unpackBlockDCStatic(std::istream& is, char* data, unsigned dataSize);

#endif
