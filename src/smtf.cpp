#include "smtf.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <utility>

#include "amtf.h"
#include "bitstream.h"
#include "bwt.h"
#include "globals.h"

namespace {

// Largest count total: the 18-bit coder accepts totals up to its QUARTER
// (65536), and each count must fit its 16-bit field.
constexpr unsigned maxStaticTotal = 65535;

using StaticDecoder = ArithmeticDecoder<unsigned, unsigned long long, 18>;

}  // namespace

void StaticCoder::start() {
    // Rounded-down shares of S sum to at most S; raising rare symbols to 1
    // adds at most numSymbols, so the total stays within 65535.
    const std::uint64_t scale = maxStaticTotal - numSymbols;
    unsigned sum = 0;
    for (unsigned s = 0; s < numSymbols; ++s) {
        const unsigned c = freq[s];
        unsigned scaled = 0;
        if (c != 0) {
            scaled = static_cast<unsigned>(c * scale / numCoded);
            if (scaled == 0) scaled = 1;
        }
        freq[s] = sum;
        sum += scaled;
    }
    freq[numSymbols] = sum;
}

void packBlockMTFStatic(std::ostream& os, char* data, unsigned dataSize) {
    Q38_ASSERT(dataSize > 0);
    const long t0 = readClock();
    if (printInputHist) printInputHistToFile(data, dataSize);
    StreamOutBitStream bits(os, bitStreamBufferWords);
    long t1, t2;
    const unsigned first = bwtForBlockCodec(data, dataSize, t1, t2);
    MTFCoder<unsigned char> mtf(256);
    verboseLine("   Gathering symbol statistics...");
    const long t3 = readClock();

    StaticCoder coder(useRLE0 ? rle0NumSymbols : mtfNumSymbols);
    coder.os = &bits;
    unsigned char* const block = reinterpret_cast<unsigned char*>(data);
    // RLE0 never yields more symbols than bytes.
    std::unique_ptr<std::uint16_t[]> symbols;
    unsigned numSymbolsCoded = dataSize;
    if (useRLE0) {
        symbols.reset(new std::uint16_t[dataSize]);
        std::uint16_t* out = symbols.get();
        numSymbolsCoded = encodeRLE0WithDiagnostics(block, dataSize, mtf,
                                                    [&](unsigned s) { *out++ = static_cast<std::uint16_t>(s); });
        for (unsigned i = 0; i < numSymbolsCoded; ++i) coder.count(symbols[i]);
    } else {
        for (unsigned i = 0; i < dataSize; ++i) {
            const unsigned char v = mtf.encode(block[i]);
            coder.count(v);
            block[i] = v;
        }
    }
    coder.start();
    if (printMTFData) printMTFDataToFile(data, dataSize);
    if (printMTFHist) printMTFHistToFile(data, dataSize);
    const long t4 = readClock();

    verboseLine("   Coding data to arithmetic stream...");
    const long t5 = readClock();
    bits.reset();
    bits.putBits(first, 32);
    for (unsigned s = 0; s < coder.numSymbols; ++s) bits.putBits(coder.scaledCount(s), 16);
    const FixedDivisor total(coder.freq[coder.numSymbols]);
    if (useRLE0) {
        for (unsigned i = 0; i < numSymbolsCoded; ++i) coder.encodeSymbol(symbols[i], total);
    } else {
        for (unsigned i = 0; i < dataSize; ++i) coder.encodeSymbol(block[i], total);
    }
    coder.flush();
    bits.flush();
    symbols.reset();
    const long t6 = readClock();
    coder.freq.reset();
    const long t7 = readClock();
    if (verbose) {
        printTime(std::cout, "   BWT time: ", t1, t2);
        printTime(std::cout, "   Gathering symbol statistics time: ", t3, t4);
        printTime(std::cout,
                  useRLE0 ? "   MTF + RLE0 + static arithmetic time: " : "   MTF + static arithmetic time: ", t5, t6);
        printTime(std::cout, "   Block compression time: ", t0, t7);
    }
}

void unpackBlockMTFStatic(std::istream& is, char* data, unsigned dataSize) {
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

        const unsigned numSymbols = useRLE0 ? rle0NumSymbols : mtfNumSymbols;
        {
            StaticDecoder decoder;
            decoder.is = &bits;
            std::unique_ptr<unsigned[]> tab(new unsigned[numSymbols + 1]);
            // A total of 0 would be divided by, one above 65535 breaks the
            // coder's range; the compressor writes neither.
            unsigned total = 0;
            for (unsigned s = 0; s < numSymbols; ++s) {
                const unsigned c = bits.getBits(16);
                tab[s] = total;
                total += c;
                if (total > maxStaticTotal) throw Exception("Error in compressed file (invalid static model)");
            }
            if (total == 0) throw Exception("Error in compressed file (invalid static model)");
            tab[numSymbols] = total;
            decoder.start();

            // The largest s with tab[s] <= c. A table over the counts in
            // steps of 16 gives the symbol at the step's start; the search
            // goes on from there past the few ranges that end inside the
            // step. Empty ranges are stepped over, so decodeExtract always
            // gets a real one.
            constexpr unsigned stepShift = 4;
            const unsigned steps = ((total - 1) >> stepShift) + 1;
            std::unique_ptr<std::uint16_t[]> startSymbol(new std::uint16_t[steps]);
            {
                unsigned s = 0;
                for (unsigned j = 0; j < steps; ++j) {
                    const unsigned c = j << stepShift;
                    while (tab[s + 1] <= c) ++s;
                    startSymbol[j] = static_cast<std::uint16_t>(s);
                }
            }
            const FixedDivisor fixedTotal(total);
            auto next = [&]() -> unsigned {
                const unsigned c = decoder.decode(total);
                unsigned s = startSymbol[c >> stepShift];
                while (tab[s + 1] <= c) ++s;
                decoder.decodeExtract(tab[s], tab[s + 1], fixedTotal);
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
                  useRLE0 ? "   iMTF + iRLE0 + static arithmetic time: " : "   iMTF + static arithmetic time: ", t1,
                  t2);
        printTime(std::cout, "   iBWT time: ", t3, t4);
        printTime(std::cout, "   Block decompression time: ", t0, t5);
    }
}
