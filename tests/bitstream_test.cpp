// Bit packing of the payloads, buffer boundaries, and reading past the end.
#include "bitstream.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Counts the unformatted writes that reach the stream, so tests can tell
// whether flush went through overflow.
class CountingBuf : public std::stringbuf {
public:
    int writes = 0;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        ++writes;
        return std::stringbuf::xsputn(s, n);
    }
};

// Bytes a stream writer emits for the given puts.
template <class Puts>
std::string written(Puts puts, unsigned words = bitStreamBufferWords) {
    std::ostringstream out;
    {
        StreamOutBitStream w(out, words);
        w.reset();
        puts(w);
        w.flush();
    }
    return out.str();
}

// Exposes the memory writer's buffer.
class MemOut : public OutBitStream {
public:
    using OutBitStream::OutBitStream;
    std::vector<std::uint32_t> stored() const {
        return std::vector<std::uint32_t>(wordBuf, nextWord + 1);  // after flush
    }
    std::uint32_t pos() const { return bitPos; }
    std::uint32_t capacity() const { return wordBufSize; }
};

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

TEST(OutBitStream, KnownBytes) {
    EXPECT_EQ(written([](OutBitStream& w) { w.putBits(5, 3); }), bytes({0x05}));
    EXPECT_EQ(written([](OutBitStream& w) {
                  w.putBits(1, 1);
                  w.putBits(0, 7);
                  w.putBits(0xFF, 8);
              }),
              bytes({0x01, 0xFF}));
    EXPECT_EQ(written([](OutBitStream&) {}), "");
    EXPECT_EQ(written([](OutBitStream& w) { w.putBits(0x12345678, 32); }),
              bytes({0x78, 0x56, 0x34, 0x12}));
    // Bits beyond numBits are ignored; a 0-bit put adds nothing.
    EXPECT_EQ(written([](OutBitStream& w) {
                  w.putBits(0xFFFFFFFD, 2);
                  w.putBits(0xFFFFFFFF, 0);
                  w.putBit(true);
              }),
              bytes({0x05}));
}

TEST(OutBitStream, FullWordWaitsForNextPut) {
    MemOut w(4);
    w.reset();
    w.putBits(0xFFFFFFFF, 32);
    EXPECT_EQ(w.pos(), 32u);
    EXPECT_EQ(w.bitCount(), 32u);
    w.putBit(true);
    EXPECT_EQ(w.pos(), 1u);
    EXPECT_EQ(w.bitCount(), 33u);
}

TEST(StreamOutBitStream, BufferBoundary) {
    const unsigned bits = bitStreamBufferWords * 32;
    for (unsigned extra : {0u, 1u}) {
        CountingBuf buf;
        std::ostream out(&buf);
        {
            StreamOutBitStream w(out, bitStreamBufferWords);
            w.reset();
            for (unsigned i = 0; i < bits + extra; ++i) w.putBit(i % 3 == 0);
            w.flush();
        }
        const std::string s = buf.str();
        ASSERT_EQ(s.size(), 65536u + extra) << "extra bits " << extra;
        // One write without overflow, or overflow plus the last byte.
        EXPECT_EQ(buf.writes, 1 + static_cast<int>(extra));
        for (unsigned k = 0; k < bits + extra; ++k)
            ASSERT_EQ((s[k / 8] >> (k % 8)) & 1, k % 3 == 0 ? 1 : 0) << "bit " << k;
    }
}

TEST(OutBitStream, MemoryWriterGrowsAndKeepsWords) {
    for (unsigned size : {0u, 1u, 3u}) {
        MemOut w(size);
        w.reset();
        for (unsigned i = 0; i < 10; ++i) w.putBits(i * 0x01010101u, 32);
        w.putBits(6, 3);
        w.flush();
        const auto words = w.stored();
        ASSERT_EQ(words.size(), 11u) << "size " << size;
        for (unsigned i = 0; i < 10; ++i) EXPECT_EQ(words[i], i * 0x01010101u);
        EXPECT_EQ(words[10], 6u);
        EXPECT_GE(w.capacity(), 11u);
    }
}

TEST(OutBitStream, PutZerosEqualsSingleZeroBits) {
    std::mt19937 rng(7);
    // Runs straddle word and buffer boundaries (buffer of 2 words).
    for (int round = 0; round < 50; ++round) {
        std::vector<std::pair<unsigned, unsigned>> ops;  // (ones, zeros)
        for (int i = 0; i < 20; ++i) ops.emplace_back(rng() % 40, rng() % 100);
        auto viaZeros = written(
            [&](OutBitStream& w) {
                for (auto [ones, zeros] : ops) {
                    for (unsigned k = 0; k < ones; ++k) w.putBit(true);
                    w.putZeros(zeros);
                }
            },
            2);
        auto viaBits = written(
            [&](OutBitStream& w) {
                for (auto [ones, zeros] : ops) {
                    for (unsigned k = 0; k < ones; ++k) w.putBit(true);
                    for (unsigned k = 0; k < zeros; ++k) w.putBit(false);
                }
            },
            2);
        ASSERT_EQ(viaZeros, viaBits) << "round " << round;
    }
}

TEST(OutBitStream, PrintListsBitsInOrder) {
    MemOut w(1);
    w.reset();
    w.putBits(0x80000001u, 32);
    w.putBits(0b110, 3);
    std::ostringstream printed;
    w._print(printed);
    EXPECT_EQ(printed.str(),
              "number of bits in stream: 35\nbits:\n1" + std::string(30, '0') + "1011");
}

TEST(StreamInBitStream, ReadsKnownBytes) {
    std::istringstream in(bytes({0x05, 0xA3}));
    StreamInBitStream r(in, bitStreamBufferWords);
    EXPECT_EQ(r.getBits(3), 5u);
    EXPECT_EQ(r.getBits(5), 0u);
    const int expect[8] = {1, 1, 0, 0, 0, 1, 0, 1};  // 0xA3 from bit 0 up
    for (int b : expect) EXPECT_EQ(r.getBit(), b != 0);
    EXPECT_EQ(r.getBits(0), 0u);
}

TEST(StreamInBitStream, ShortStreamThenZeros) {
    std::istringstream in(bytes({0xFF, 0x01}));
    StreamInBitStream r(in, 4);
    EXPECT_EQ(r.getBits(9), 0x1FFu);
    // The rest of the buffer, and two more refills past the end of input.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(r.getBits(32), 0u) << i;
    // The stream stays usable for the caller's seek.
    EXPECT_TRUE(in.good());
    in.seekg(1);
    EXPECT_EQ(in.get(), 0x01);
}

TEST(InBitStream, MemoryReaderPastEndReadsZeros) {
    std::uint32_t words[2] = {0xDEADBEEF, 0x00000001};
    InBitStream r(0);
    r.setBuf(BitBufDesc{words, 2});
    EXPECT_EQ(r.getBits(32), 0xDEADBEEFu);
    EXPECT_EQ(r.getBits(16), 1u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(r.getBits(17), 0u);

    InBitStream empty(0);
    EXPECT_FALSE(empty.getBit());
}

// Fields of random widths 0..32 round-trip through the stream forms across
// several 64 KiB refills.
TEST(StreamBitStreams, RandomFieldsRoundTrip) {
    std::mt19937 rng(12345);
    std::vector<std::pair<unsigned, unsigned>> fields;  // (value, width)
    std::uint64_t totalBits = 0;
    while (totalBits < 3 * 8 * 65536 + 77) {
        const unsigned width = rng() % 33;
        const unsigned value = width == 0 ? 0 : static_cast<unsigned>(rng()) >> (32 - width);
        fields.emplace_back(value, width);
        totalBits += width;
    }
    std::stringstream io;
    {
        StreamOutBitStream w(io, bitStreamBufferWords);
        w.reset();
        for (auto [v, n] : fields) {
            if (n == 1)
                w.putBit(v != 0);
            else
                w.putBits(v | (n < 32 ? ~0u << n : 0u), n);  // junk above n
        }
        EXPECT_EQ(w.bitCount(), totalBits);
        w.flush();
    }
    EXPECT_EQ(io.str().size(), (totalBits + 7) / 8);
    StreamInBitStream r(io, bitStreamBufferWords);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto [v, n] = fields[i];
        const unsigned got = n == 1 ? r.getBit() : r.getBits(n);
        ASSERT_EQ(got, v) << "field " << i << " width " << n;
    }
}

TEST(InBitStreamDeathTest, TooManyBits) {
    std::istringstream in("abcd");
    StreamInBitStream r(in, 4);
    EXPECT_DEATH(r.getBits(33), "numBits <= std::numeric_limits<unsigned>::digits.*bitstream");
}

}  // namespace
