// Distance coding block codec: BWT, distance coding, then adaptive
// arithmetic coding of the distances (or, with `passThru` in the options, a
// plain bit code; nothing in the payload tells the two apart).
//
// Payload: primary index (32 bits), number of DC values (32 bits), then the
// values, each a bucket symbol of an adaptive model plus extra bits through
// one arithmetic coder (or the plain prefix code of PassThruCoder).
//
// With options.threads > 1 a large block's coding takes a second thread
// (the distance scan in two halves, the model ahead of the coder; the
// values decoded ahead of the runs): the bytes, lines and errors are those
// of one thread.
#ifndef VEXAQ38_DC_H
#define VEXAQ38_DC_H

#include <istream>
#include <ostream>

#include "blockstage.h"

// Writes one payload for the `dataSize` (> 0) bytes at `data` at the current
// position of `os`. `data` is overwritten by its transform.
void packBlockDCAdaptive(std::ostream& os, char* data, unsigned dataSize,
                         const CodecOptions& options = CodecOptions{});

// Reads one payload from `is` and writes exactly `dataSize` bytes to `data`.
// May read past the payload (the driver hands it over alone). A damaged payload
// raises Exception("Error in compressed file (...)"); nothing is written
// outside `data`.
void unpackBlockDCAdaptive(std::istream& is, char* data, unsigned dataSize,
                           const CodecOptions& options = CodecOptions{});

#endif
