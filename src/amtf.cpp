#include "amtf.h"

#include "arithmeticcodec.h"
#include "diagnostics.h"
#include "mtf.h"
#include "symbolstats.h"

namespace {

// The model's rescale limit: the 16-bit coder's QUARTER, so every total the
// coder sees stays within what it can divide.
constexpr unsigned adaptiveLimit = 16384;
static_assert(adaptiveLimit <= maxModelTotal, "the model's totals stay below its limit");

using AdaptiveCoder = ArithmeticCoder<unsigned, unsigned, 16>;
using AdaptiveDecoder = ArithmeticDecoder<unsigned, unsigned, 16>;

}  // namespace

void packBlockMTFAdaptive(std::ostream& os, char* data, unsigned dataSize, bool rle0, const CodecOptions& options) {
    packBlockWith(os, data, dataSize, options, [&](OutBitStream& bits, unsigned first, BlockLog& log) {
        const DumpSinks& dumps = options.dumps;
        log.line("   Coding data to arithmetic stream...");
        {
            BlockLog::Stage stage(log, rle0 ? "   MTF + RLE0 + adaptive arithmetic time: "
                                            : "   MTF + adaptive arithmetic time: ");
            MTFCoder<unsigned char> mtf(256);
            bits.reset();
            bits.putBits(first, 32);
            AdaptiveCoder coder(bits);
            AdaptiveSymbolStats<unsigned> model(rle0 ? rle0NumSymbols : mtfNumSymbols);
            auto code = [&](unsigned s) {
                const SymbolRange r = model.getRangeThenUpdateAndLimit(s, adaptiveLimit);
                coder.encode(r.symbolLow, r.symbolHigh, modelTotalDivisors[r.symbolTotal]);
            };
            unsigned char* const block = reinterpret_cast<unsigned char*>(data);
            if (rle0) {
                encodeRLE0WithDiagnostics(block, dataSize, mtf, dumps.rle0Data, dumps.rle0Hist, code);
            } else {
                for (unsigned i = 0; i < dataSize; ++i) {
                    const unsigned char v = mtf.encode(block[i]);
                    code(v);
                    block[i] = v;
                }
            }
            coder.flush();
            bits.flush();
        }
        if (dumps.mtfData) printMTFDataToFile(*dumps.mtfData, data, dataSize);
        if (dumps.mtfHist) printMTFHistToFile(*dumps.mtfHist, data, dataSize);
    });
}

void unpackBlockMTFAdaptive(std::istream& is, char* data, unsigned dataSize, bool rle0,
                            const CodecOptions& options) {
    unpackBlockWith(is, data, dataSize, options,
                    rle0 ? "   iMTF + iRLE0 + adaptive arithmetic time: " : "   iMTF + adaptive arithmetic time: ",
                    [&](InBitStream& bits, unsigned char* work, const BlockLog& log) {
        log.line("   Decoding data from arithmetic stream...");
        const unsigned first = readPrimaryIndex(bits, dataSize, log);
        AdaptiveDecoder decoder(bits);
        // The encoder's model kept from the other end, where counting the
        // frequent small symbols is cheap; it passes through the same states.
        TopDownSymbolStats model(rle0 ? rle0NumSymbols : mtfNumSymbols);
        decoder.start();
        // decode() is always below the model's total, so getSymbol's
        // precondition holds for any bit stream.
        auto next = [&]() -> unsigned {
            const unsigned s = model.getSymbol(decoder.decode(model.getMax()));
            const SymbolRange r = model.getRangeThenUpdateAndLimit(s, adaptiveLimit);
            decoder.decodeExtract(r.symbolLow, r.symbolHigh, modelTotalDivisors[r.symbolTotal]);
            return s;
        };
        decodeMTFValues(work, dataSize, rle0, next);
        return first;
    });
}
