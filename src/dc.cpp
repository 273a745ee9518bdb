#include "dc.h"

#include <cstring>

#include "diagnostics.h"
#include "distancecodec.h"

namespace {

constexpr unsigned alphabet = 256;

template <class Coder>
void packBlockDCAdaptiveT(std::ostream& os, char* data, unsigned dataSize, const CodecOptions& options) {
    packBlockWith(os, data, dataSize, options, [&](OutBitStream& bits, unsigned first, BlockLog& log) {
        log.line("   Performing DC coding...");
        DistanceCoder<char, std::uint32_t> dc(alphabet);
        {
            BlockLog::Stage stage(log, "   DC time: ");
            dc.encode(data, data + dataSize);
        }
        const std::uint32_t* const values = dc.values + dc.codeBegin;
        const std::uint32_t count = dc.codeEnd - dc.codeBegin;
        log.value("      Size of data after DC: ", count);
        const DumpSinks& dumps = options.dumps;
        if (dumps.dcHist) printDCHistToFile(*dumps.dcHist, values, count);
        if (dumps.dcData) printDCDataToFile(*dumps.dcData, values, count);

        Coder coder(dataSize, bits);
        log.line("   Coding data to arithmetic stream...");
        log.value("      Number of symbols: ", coder.numSymbols);
        BlockLog::Stage stage(log, "   Adaptive arithmetic time: ");
        bits.reset();
        bits.putBits(first, 32);
        bits.putBits(count, 32);
        for (std::uint32_t i = 0; i < count; ++i) coder.encode(values[i]);
        coder.flush();
        bits.flush();
    });
}

template <class Decoder>
void unpackBlockDCAdaptiveT(std::istream& is, char* data, unsigned dataSize, const CodecOptions& options) {
    unpackBlockWith(is, data, dataSize, options, "   iDC + adaptive arithmetic time: ",
                    [&](InBitStream& bits, unsigned char* work, const BlockLog& log) {
        Decoder decoder(dataSize, bits);
        log.line("   Decoding data from arithmetic stream, performing iDC...");
        log.value("      Number of symbols: ", decoder.numSymbols);
        const unsigned first = readPrimaryIndex(bits, dataSize, log);
        const std::uint32_t count = bits.getBits(32);
        // At most the 256 header values and one value per run.
        if (count > alphabet + static_cast<std::uint64_t>(dataSize))
            throw Exception("Error in compressed file (DC data length out of range)");
        log.value("      Size of DC data: ", count);
        decoder.start();

        DistanceDecoder<char, std::uint32_t> dc(alphabet);
        dc.start(dataSize);
        std::uint32_t i = 0;
        for (; i < count && i < alphabet; ++i) dc.feedSymbol(static_cast<char>(i), decoder.decode());
        // The decoder's position is the number of bytes produced so far; it
        // never passes dataSize, so the runs stay inside the work buffer.
        for (; i < count; ++i) {
            if (dc.pos == dataSize) throw Exception("Error in compressed file (invalid DC data)");
            const auto run = dc.decode(decoder.decode());
            // Data with little structure has mostly single bytes, not worth
            // a library call each.
            if (run.second == 1)
                work[dc.pos - 1] = static_cast<unsigned char>(run.first);
            else
                std::memset(work + dc.pos - run.second, run.first, run.second);
        }
        while (dc.pos < dataSize) {
            const auto run = dc.decodeEnding();
            std::memset(work + dc.pos - run.second, run.first, run.second);
        }
        return first;
    });
}

}  // namespace

void packBlockDCAdaptive(std::ostream& os, char* data, unsigned dataSize, const CodecOptions& options) {
    if (options.passThru)
        packBlockDCAdaptiveT<PassThruCoder>(os, data, dataSize, options);
    else
        packBlockDCAdaptiveT<AACoderForDC>(os, data, dataSize, options);
}

void unpackBlockDCAdaptive(std::istream& is, char* data, unsigned dataSize, const CodecOptions& options) {
    if (options.passThru)
        unpackBlockDCAdaptiveT<PassThruDecoder>(is, data, dataSize, options);
    else
        unpackBlockDCAdaptiveT<AADecoderForDC>(is, data, dataSize, options);
}
