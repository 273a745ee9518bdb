#include "smtf.h"

#include <cstdint>
#include <memory>

#include "bitstream.h"
#include "diagnostics.h"
#include "mtf.h"

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

void packBlockMTFStatic(std::ostream& os, char* data, unsigned dataSize, bool rle0, const CodecOptions& options) {
    packBlockWith(os, data, dataSize, options, [&](OutBitStream& bits, unsigned first, BlockLog& log) {
        const DumpSinks& dumps = options.dumps;
        MTFCoder<unsigned char> mtf(256);
        log.line("   Gathering symbol statistics...");
        StaticCoder coder(rle0 ? rle0NumSymbols : mtfNumSymbols, bits);
        unsigned char* const block = reinterpret_cast<unsigned char*>(data);
        // RLE0 never yields more symbols than bytes.
        std::unique_ptr<std::uint16_t[]> symbols;
        unsigned numSymbolsCoded = dataSize;
        {
            BlockLog::Stage stage(log, "   Gathering symbol statistics time: ");
            if (rle0) {
                symbols.reset(new std::uint16_t[dataSize]);
                std::uint16_t* out = symbols.get();
                numSymbolsCoded = encodeRLE0WithDiagnostics(block, dataSize, mtf, dumps.rle0Data, dumps.rle0Hist,
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
            if (dumps.mtfData) printMTFDataToFile(*dumps.mtfData, data, dataSize);
            if (dumps.mtfHist) printMTFHistToFile(*dumps.mtfHist, data, dataSize);
        }

        log.line("   Coding data to arithmetic stream...");
        BlockLog::Stage stage(log, rle0 ? "   MTF + RLE0 + static arithmetic time: " : "   MTF + static arithmetic time: ");
        bits.reset();
        bits.putBits(first, 32);
        for (unsigned s = 0; s < coder.numSymbols; ++s) bits.putBits(coder.scaledCount(s), 16);
        const FixedDivisor total(coder.freq[coder.numSymbols]);
        if (rle0) {
            for (unsigned i = 0; i < numSymbolsCoded; ++i) coder.encodeSymbol(symbols[i], total);
        } else {
            for (unsigned i = 0; i < dataSize; ++i) coder.encodeSymbol(block[i], total);
        }
        coder.flush();
        bits.flush();
    });
}

void unpackBlockMTFStatic(std::istream& is, char* data, unsigned dataSize, bool rle0, const CodecOptions& options) {
    unpackBlockWith(is, data, dataSize, options,
                    rle0 ? "   iMTF + iRLE0 + static arithmetic time: " : "   iMTF + static arithmetic time: ",
                    [&](InBitStream& bits, unsigned char* work, const BlockLog& log) {
        log.line("   Decoding data from arithmetic stream...");
        const unsigned first = readPrimaryIndex(bits, dataSize, log);
        const unsigned numSymbols = rle0 ? rle0NumSymbols : mtfNumSymbols;
        StaticDecoder decoder(bits);
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

        // The largest s with tab[s] <= c. A table over the counts in steps
        // of 16 gives the symbol at the step's start; the search goes on
        // from there past the few ranges that end inside the step. Empty
        // ranges are stepped over, so decodeExtract always gets a real one.
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
        decodeMTFValues(work, dataSize, rle0, next);
        return first;
    });
}
