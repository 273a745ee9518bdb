// Static move-to-front block codec: BWT, move-to-front, optional RLE0,
// arithmetic coding with the block's scaled counts stored in the payload.
//
// Payload: primary index (32 bits), then one 16-bit scaled count per symbol
// (257 with RLE0, 256 without), then the arithmetic code; no length or end
// marker, the decoder stops when the block is full. The counts total at most
// 65535, within the 18-bit coder's QUARTER.
#ifndef VEXAQ38_SMTF_H
#define VEXAQ38_SMTF_H

#include <istream>
#include <memory>
#include <ostream>

#include "arithmeticcodec.h"
#include "blockstage.h"

// Writes one payload for the `dataSize` (> 0) bytes at `data` at the current
// position of `os`, with RLE0 when `rle0`; on return `data` holds the block's
// move-to-front values.
void packBlockMTFStatic(std::ostream& os, char* data, unsigned dataSize, bool rle0,
                        const CodecOptions& options = CodecOptions{});

// Reads one payload from `is` and writes exactly `dataSize` bytes to `data`.
// `rle0` says whether the block carries RLE0 (its method code). A damaged
// payload raises Exception("Error in compressed file (...)"); a count table
// totalling 0 or above 65535 is one ("invalid static model"); nothing is
// written outside `data`.
void unpackBlockMTFStatic(std::istream& is, char* data, unsigned dataSize, bool rle0,
                          const CodecOptions& options = CodecOptions{});

// The encoder with its two-pass model. Use: construct over the bit writer,
// count every symbol, start, encodeSymbol each symbol in the same order,
// flush.
class StaticCoder : public ArithmeticCoder<unsigned, unsigned long long, 18> {
public:
    // `n` symbols (257 with RLE0, 256 without), all counts 0.
    StaticCoder(unsigned n, OutBitStream& out)
        : ArithmeticCoder(out), freq(new unsigned[n + 1]()), numSymbols(n), numCoded(0) {}

    void count(unsigned symbol) {
        ++freq[symbol];
        ++numCoded;
    }

    // Scales the counts to a total of at most 65535 (every symbol that
    // occurred keeps at least 1) and turns them into the cumulative table:
    // freq[s] .. freq[s + 1] is the range of s, freq[numSymbols] the total.
    void start();

    // Scaled count of a symbol after start, as stored in the payload.
    unsigned scaledCount(unsigned symbol) const { return freq[symbol + 1] - freq[symbol]; }

    // REQUIRES start() done and a symbol that was counted; `total`, where
    // given, divides by freq[numSymbols].
    void encodeSymbol(unsigned symbol, const FixedDivisor& total) { encode(freq[symbol], freq[symbol + 1], total); }
    void encodeSymbol(unsigned symbol) { encode(freq[symbol], freq[symbol + 1], freq[numSymbols]); }

    std::unique_ptr<unsigned[]> freq;
    unsigned numSymbols;
    unsigned numCoded;
};

#endif
