// Adaptive move-to-front block codec: BWT, move-to-front, optional RLE0,
// adaptive arithmetic coding (an AdaptiveSymbolStats model of 257 symbols
// with RLE0, 256 without, limit 16384).
//
// Payload: primary index (32 bits), then the arithmetic code of the symbols;
// no length or end marker, the decoder stops when the block is full.
#ifndef VEXAQ38_AMTF_H
#define VEXAQ38_AMTF_H

#include <istream>
#include <ostream>

#include "blockstage.h"

// Writes one payload for the `dataSize` (> 0) bytes at `data` at the current
// position of `os`, with RLE0 when `rle0`; on return `data` holds the block's
// move-to-front values.
void packBlockMTFAdaptive(std::ostream& os, char* data, unsigned dataSize, bool rle0,
                          const CodecOptions& options = CodecOptions{});

// Reads one payload from `is` and writes exactly `dataSize` bytes to `data`.
// `rle0` says whether the block carries RLE0 (its method code). A damaged
// payload raises Exception("Error in compressed file (...)"); nothing is
// written outside `data`.
void unpackBlockMTFAdaptive(std::istream& is, char* data, unsigned dataSize, bool rle0,
                            const CodecOptions& options = CodecOptions{});

#endif
