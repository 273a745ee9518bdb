#include "amtf.h"

#include <iostream>
#include <memory>
#include <utility>

#include "arithmeticcodec.h"
#include "bitstream.h"
#include "bwt.h"
#include "globals.h"
#include "symbolstats.h"

// ---------------------------------------------------------------- RLE0 diagnostics

std::string rle0SymbolText(unsigned symbol) {
    if (symbol < 2) return std::string("0") + static_cast<char>('a' + symbol);
    return std::to_string(symbol - 1);
}

void printRLE0Begin(std::ostream& os, unsigned dataSize) {
    os << "[Block]" << '\n' << "Block size = " << dataSize << '\n' << "Data after RLE0:" << '\n';
}

void printRLE0Symbol(std::ostream& os, unsigned symbol) { os << rle0SymbolText(symbol) << ' '; }

void printRLE0End(std::ostream& os, unsigned count) {
    os << '\n' << "Number of coded symbols: " << count << '\n' << '\n';
}

void printRLE0HistToFile(std::ostream& os, const unsigned* counts) {
    unsigned total = 0;
    for (unsigned s = 0; s < rle0NumSymbols; ++s) total += counts[s];
    os << "[Block] " << '\n' << "Block size = " << total << '\n' << "Data RLE0 histogram:" << '\n';
    unsigned before = 0;
    for (unsigned s = 0; s < rle0NumSymbols; ++s) {
        const unsigned c = counts[s];
        if (c == 0) continue;
        os << rle0SymbolText(s) << " - " << c << "     [" << before << ", " << total - before - c << "]" << '\n';
        before += c;
    }
    os << '\n' << '\n';
}

// ---------------------------------------------------------------- adaptive codec

namespace {

// The model's rescale limit: the 16-bit coder's QUARTER, so every total the
// coder sees stays within what it can divide.
constexpr unsigned adaptiveLimit = 16384;
static_assert(adaptiveLimit <= maxModelTotal, "the model's totals stay below its limit");

using AdaptiveCoder = ArithmeticCoder<unsigned, unsigned, 16>;
using AdaptiveDecoder = ArithmeticDecoder<unsigned, unsigned, 16>;

}  // namespace

void packBlockMTFAdaptive(std::ostream& os, char* data, unsigned dataSize) {
    Q38_ASSERT(dataSize > 0);
    const long t0 = readClock();
    if (printInputHist) printInputHistToFile(data, dataSize);
    long t1, t2;
    const unsigned first = bwtForBlockCodec(data, dataSize, t1, t2);

    verboseLine("   Coding data to arithmetic stream...");
    const long t3 = readClock();
    MTFCoder<unsigned char> mtf(256);
    StreamOutBitStream bits(os, bitStreamBufferWords);
    bits.reset();
    bits.putBits(first, 32);
    AdaptiveCoder coder;
    coder.os = &bits;
    {
        AdaptiveSymbolStats<unsigned> model(useRLE0 ? rle0NumSymbols : mtfNumSymbols);
        auto code = [&](unsigned s) {
            const SymbolRange r = model.getRangeThenUpdateAndLimit(s, adaptiveLimit);
            coder.encode(r.symbolLow, r.symbolHigh, modelTotalDivisors[r.symbolTotal]);
        };
        unsigned char* const block = reinterpret_cast<unsigned char*>(data);
        if (useRLE0) {
            encodeRLE0WithDiagnostics(block, dataSize, mtf, code);
        } else {
            for (unsigned i = 0; i < dataSize; ++i) {
                const unsigned char v = mtf.encode(block[i]);
                code(v);
                block[i] = v;
            }
        }
        coder.flush();
    }
    bits.flush();
    const long t4 = readClock();
    const long t5 = readClock();
    if (printMTFData) printMTFDataToFile(data, dataSize);
    if (printMTFHist) printMTFHistToFile(data, dataSize);
    if (verbose) {
        printTime(std::cout, "   BWT time: ", t1, t2);
        printTime(std::cout,
                  useRLE0 ? "   MTF + RLE0 + adaptive arithmetic time: " : "   MTF + adaptive arithmetic time: ", t3,
                  t4);
        printTime(std::cout, "   Block compression time: ", t0, t5);
    }
}

void unpackBlockMTFAdaptive(std::istream& is, char* data, unsigned dataSize) {
    Q38_ASSERT(dataSize > 0);
    const long t0 = readClock();
    std::unique_ptr<unsigned char[]> work(new unsigned char[dataSize]);
    long t1, t2, t3, t4;
    {
        StreamInBitStream bits(is, bitStreamBufferWords);
        verboseLine("   Decoding data from arithmetic stream...");
        t1 = readClock();
        const unsigned first = bits.getBits(32);
        checkPrimaryIndex(first, dataSize);
        if (verbose) std::cout << "      First suffix index: " << first << std::endl;

        AdaptiveDecoder decoder;
        decoder.is = &bits;
        {
            AdaptiveSymbolStats<unsigned> model(useRLE0 ? rle0NumSymbols : mtfNumSymbols);
            decoder.start();
            // decode() is always below the model's total, so getSymbol's
            // precondition holds for any bit stream.
            auto next = [&]() -> unsigned {
                const unsigned s = model.getSymbol(decoder.decode(model.getMax()));
                const SymbolRange r = model.getRangeThenUpdateAndLimit(s, adaptiveLimit);
                decoder.decodeExtract(r.symbolLow, r.symbolHigh, modelTotalDivisors[r.symbolTotal]);
                return s;
            };
            decodeMTFValues(work.get(), dataSize, next);
        }
        t2 = readClock();
        verboseLine("   Performing iBWT...");
        t3 = readClock();
        ibwt(data, std::move(work), dataSize, first);
        t4 = readClock();
    }
    work.reset();
    const long t5 = readClock();
    if (verbose) {
        printTime(std::cout,
                  useRLE0 ? "   iMTF + iRLE0 + adaptive arithmetic time: " : "   iMTF + adaptive arithmetic time: ",
                  t1, t2);
        printTime(std::cout, "   iBWT time: ", t3, t4);
        printTime(std::cout, "   Block decompression time: ", t0, t5);
    }
}
