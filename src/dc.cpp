#include "dc.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

#include "bitstream.h"
#include "bwt.h"
#include "distancecodec.h"
#include "globals.h"

namespace {

constexpr unsigned alphabet = 256;

void finishCoder(AACoderForDC& c) { c.coder.flush(); }
void finishCoder(PassThruCoder&) {}
void startDecoder(AADecoderForDC& d) { d.decoder.start(); }
void startDecoder(PassThruDecoder&) {}

// The two coder kinds are built from different arguments.
template <class Coder>
std::unique_ptr<Coder> newCoder(unsigned dataSize, OutBitStream* bits);
template <>
std::unique_ptr<AACoderForDC> newCoder<AACoderForDC>(unsigned dataSize, OutBitStream* bits) {
    return std::make_unique<AACoderForDC>(dataSize, bits);
}
template <>
std::unique_ptr<PassThruCoder> newCoder<PassThruCoder>(unsigned, OutBitStream* bits) {
    return std::make_unique<PassThruCoder>(bits);
}

template <class Decoder>
std::unique_ptr<Decoder> newDecoder(unsigned dataSize, InBitStream* bits);
template <>
std::unique_ptr<AADecoderForDC> newDecoder<AADecoderForDC>(unsigned dataSize, InBitStream* bits) {
    return std::make_unique<AADecoderForDC>(dataSize, bits);
}
template <>
std::unique_ptr<PassThruDecoder> newDecoder<PassThruDecoder>(unsigned, InBitStream* bits) {
    return std::make_unique<PassThruDecoder>(bits);
}

}  // namespace

template <class Coder>
void packBlockDCAdaptiveT(std::ostream& os, char* data, unsigned dataSize) {
    Q38_ASSERT(dataSize > 0);
    const long t0 = readClock();
    if (printInputHist) printInputHistToFile(data, dataSize);

    long t1, t2;
    const unsigned first = bwtForBlockCodec(data, dataSize, t1, t2);

    verboseLine("   Performing DC coding...");
    const long t3 = readClock();
    DistanceCoder<char, std::uint32_t> dc(alphabet);
    dc.encode(data, data + dataSize);
    const long t4 = readClock();
    const std::uint32_t* const values = dc.values + dc.codeBegin;
    const std::uint32_t count = dc.codeEnd - dc.codeBegin;
    if (verbose) std::cout << "      Size of data after DC: " << count << std::endl;
    if (printDCHist) printDCHistToFile(values, count);
    if (printDCData) printDCDataToFile(values, count);

    long t5, t6;
    {
        StreamOutBitStream bits(os, bitStreamBufferWords);
        const std::unique_ptr<Coder> coder = newCoder<Coder>(dataSize, &bits);
        verboseLine("   Coding data to arithmetic stream...");
        if (verbose) std::cout << "      Number of symbols: " << coder->numSymbols << std::endl;
        t5 = readClock();
        bits.reset();
        bits.putBits(first, 32);
        bits.putBits(count, 32);
        for (std::uint32_t i = 0; i < count; ++i) coder->encode(values[i]);
        finishCoder(*coder);
        bits.flush();
        t6 = readClock();
    }
    if (verbose) {
        printTime(std::cout, "   BWT time: ", t1, t2);
        printTime(std::cout, "   DC time: ", t3, t4);
        printTime(std::cout, "   Adaptive arithmetic time: ", t5, t6);
        printTime(std::cout, "   Block compression time: ", t0, t6);
    }
}

template <class Decoder>
void unpackBlockDCAdaptiveT(std::istream& is, char* data, unsigned dataSize) {
    const long t0 = readClock();
    long t1, t2, t3;
    {
        StreamInBitStream bits(is, bitStreamBufferWords);
        const std::unique_ptr<Decoder> decoder = newDecoder<Decoder>(dataSize, &bits);
        verboseLine("   Decoding data from arithmetic stream, performing iDC...");
        if (verbose) std::cout << "      Number of symbols: " << decoder->numSymbols << std::endl;

        const unsigned first = bits.getBits(32);
        checkPrimaryIndex(first, dataSize);
        if (verbose) std::cout << "      First suffix index: " << first << std::endl;
        const std::uint32_t count = bits.getBits(32);
        // At most the 256 header values and one value per run.
        if (count > alphabet + static_cast<std::uint64_t>(dataSize))
            throw Exception("Error in compressed file (DC data length out of range)");
        if (verbose) std::cout << "      Size of DC data: " << count << std::endl;
        startDecoder(*decoder);

        DistanceDecoder<char, std::uint32_t> dc(alphabet);
        std::unique_ptr<unsigned char[]> work(new unsigned char[dataSize]);
        dc.start(dataSize);
        std::uint32_t i = 0;
        for (; i < count && i < alphabet; ++i) dc.feedSymbol(static_cast<char>(i), decoder->decode());
        // The decoder's position is the number of bytes produced so far; it
        // never passes dataSize, so the runs stay inside the work buffer.
        for (; i < count; ++i) {
            if (dc.pos == dataSize) throw Exception("Error in compressed file (invalid DC data)");
            const auto run = dc.decode(decoder->decode());
            std::memset(work.get() + dc.pos - run.second, run.first, run.second);
        }
        while (dc.pos < dataSize) {
            const auto run = dc.decodeEnding();
            std::memset(work.get() + dc.pos - run.second, run.first, run.second);
        }
        t1 = readClock();
        verboseLine("   Performing iBWT...");
        t2 = readClock();
        ibwt(data, std::move(work), dataSize, first);
        t3 = readClock();
    }
    const long t4 = readClock();
    if (verbose) {
        printTime(std::cout, "   iDC + adaptive arithmetic time: ", t0, t1);
        printTime(std::cout, "   iBWT time: ", t2, t3);
        printTime(std::cout, "   Block decompression time: ", t0, t4);
    }
}

template void packBlockDCAdaptiveT<AACoderForDC>(std::ostream&, char*, unsigned);
template void packBlockDCAdaptiveT<PassThruCoder>(std::ostream&, char*, unsigned);
template void unpackBlockDCAdaptiveT<AADecoderForDC>(std::istream&, char*, unsigned);
template void unpackBlockDCAdaptiveT<PassThruDecoder>(std::istream&, char*, unsigned);

void packBlockDCAdaptive(std::ostream& os, char* data, unsigned dataSize) {
    if (passThru)
        packBlockDCAdaptiveT<PassThruCoder>(os, data, dataSize);
    else
        packBlockDCAdaptiveT<AACoderForDC>(os, data, dataSize);
}

void unpackBlockDCAdaptive(std::istream& is, char* data, unsigned dataSize) {
    if (passThru)
        unpackBlockDCAdaptiveT<PassThruDecoder>(is, data, dataSize);
    else
        unpackBlockDCAdaptiveT<AADecoderForDC>(is, data, dataSize);
}

void packBlockDCStatic(std::ostream&, char*, unsigned) {}
void unpackBlockDCStatic(std::istream&, char*, unsigned) {}
