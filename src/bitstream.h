// Bit writers and readers over buffers of 32-bit words.
//
// READ ME FIRST
// 1. Packing: bits are stored least significant first. Bit k of a stream is
//    bit k mod 8 of byte k div 8; a multi-bit field goes in bit 0 first. The
//    last byte is padded with zero bits. There is no header or length.
// 2. A writer's word with bitPos = 32 is full but not yet stored: it is
//    stored by the next put (xOverflow) or by flush.
// 3. The stream reader fills its buffer in whole 64 KiB pieces, so after a
//    payload has been decoded the input stream is past its end; the
//    decompression driver seeks to the payload end itself. Past the end of
//    the input the reader delivers zero bits, never a failure.
#ifndef VEXAQ38_BITSTREAM_H
#define VEXAQ38_BITSTREAM_H

#include <cstdint>
#include <istream>
#include <limits>
#include <memory>
#include <ostream>

#include "base.h"

// Buffer size in words used by every block codec (64 KiB).
constexpr unsigned bitStreamBufferWords = 16384;

// The low n bits of x in reverse order, for 1 <= n <= 32: turns a field read
// first-bit-lowest into one whose first bit is the highest, and back.
inline std::uint32_t reverseBits(std::uint32_t x, unsigned n) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    x = ((x >> 8) & 0x00FF00FFu) | ((x & 0x00FF00FFu) << 8);
    x = (x >> 16) | (x << 16);
    return x >> (32 - n);
}

// Bit writer over a word buffer in memory. When the buffer is full it grows
// to twice its size; the stream form below empties it instead.
// Use: construct, reset, puts, flush, destroy.
class OutBitStream {
public:
    // Allocates `size` words (0 is taken as 1); an allocation failure
    // propagates as std::bad_alloc.
    explicit OutBitStream(unsigned size);
    virtual ~OutBitStream() = default;
    OutBitStream(const OutBitStream&) = delete;
    OutBitStream& operator=(const OutBitStream&) = delete;

    // Starts an empty stream; codecs call it once before the first bit.
    void reset() {
        bitPos = 0;
        word = 0;
        nextWord = wordBuf;
        wordsEmitted = 0;
    }

    // Appends one bit. Never fails (the memory writer may throw bad_alloc when
    // it grows).
    void putBit(bool bit) {
        if (bitPos == 32) xOverflow();
        word |= static_cast<std::uint32_t>(bit) << bitPos;
        ++bitPos;
    }

    // Puts bits 0 .. numBits-1 of `value`, bit 0 first; higher bits of
    // `value` are ignored and 0 bits put nothing. REQUIRES numBits <= 32
    // (unchecked: it is on the hot path).
    void putBits(unsigned value, unsigned numBits) {
        if (bitPos == 32) xOverflow();
        // In 64 bits the field never falls off the top, and the mask and
        // shift need no special case for 0 or 32 bits.
        const std::uint64_t mask = (std::uint64_t(1) << numBits) - 1;
        const std::uint64_t v = (value & mask) << bitPos;
        word |= static_cast<std::uint32_t>(v);
        bitPos += numBits;
        if (bitPos > 32) {
            const std::uint32_t rest = bitPos - 32;
            bitPos = 32;
            xOverflow();
            word = static_cast<std::uint32_t>(v >> 32);
            bitPos = rest;
        }
    }

    // The same stream as `count` calls of putBit(false), without touching
    // each bit: the words start cleared, so zeros only advance the position.
    void putZeros(unsigned count) {
        while (count != 0) {
            if (bitPos == 32) xOverflow();
            const unsigned n = count < 32 - bitPos ? count : 32 - bitPos;
            bitPos += n;
            count -= n;
        }
    }

    // Completes the stream; the last operation before destruction. The memory
    // writer stores the partial word after the full ones (its low bitPos bits
    // are valid); the stream writer emits ceil(bits / 8) bytes in all over its
    // life. Leaves the fields as they are.
    virtual void flush();

    // Number of bits put since reset (or construction), including those a
    // stream writer has already emitted.
    std::uint64_t bitCount() const {
        return (wordsEmitted + static_cast<std::uint64_t>(nextWord - wordBuf)) * 32 + bitPos;
    }

    // Debug print of the contents: the bit count, then every bit put.
    void _print(std::ostream& os) const;

protected:
    // Stores the full word, making room first when the buffer is full.
    void xOverflow();
    // Called only when wordBuf is full; afterwards there is room for a word.
    virtual void overflow();

    std::uint32_t bitPos;
    std::uint32_t word;
    std::uint32_t* nextWord;
    std::uint32_t* wordBuf;
    std::uint32_t wordBufSize;
    std::uint64_t wordsEmitted = 0;  // words a stream writer has passed on

private:
    std::unique_ptr<std::uint32_t[]> storage;  // what wordBuf points into

    friend struct BitStreamTestAccess;
};

// Writes the words to an output byte stream, 4 x size bytes per overflow and
// the rest at flush, each word least significant byte first. Write errors are
// not checked here: the caller sees them on the stream's state.
class StreamOutBitStream : public OutBitStream {
public:
    // `out` must outlive the writer.
    StreamOutBitStream(std::ostream& out, unsigned size) : OutBitStream(size), os(out) {}
    void flush() override;

protected:
    void overflow() override;

private:
    std::ostream& os;
};

// A word buffer handed to a reader: first word and length in words.
struct BitBufDesc {
    std::uint32_t* buf;
    std::uint32_t size;  // in words
};

// Bit reader over a word buffer. Past the end of its data it reads zero
// bits: the memory reader once its words are used up, the stream form once
// the input stream ends.
class InBitStream {
public:
    // Allocates `size` words, empty: the first read refills the buffer. An
    // allocation failure propagates as std::bad_alloc.
    explicit InBitStream(unsigned size);
    virtual ~InBitStream() = default;
    InBitStream(const InBitStream&) = delete;
    InBitStream& operator=(const InBitStream&) = delete;

    // Reads from the described words from now on; the reader keeps owning its
    // own buffer and never frees the described one, which must outlive the
    // reads.
    void setBuf(const BitBufDesc& d);

    // The next bit; any bit sequence is valid, so it never fails.
    bool getBit() {
        if (bitsLeft == 0) xUnderflow();
        const bool bit = (word & 1u) != 0;
        word >>= 1;
        --bitsLeft;
        return bit;
    }

    // Reads numBits bits, the first read becoming bit 0 of the result.
    // REQUIRES numBits <= 32: callers that take a bit count from compressed
    // data must bound it first.
    unsigned getBits(unsigned numBits) {
        Q38_ASSERT(numBits <= std::numeric_limits<unsigned>::digits);
        if (numBits == 0) return 0;
        if (bitsLeft == 0) xUnderflow();
        if (numBits < bitsLeft) {
            const unsigned r = word & ((1u << numBits) - 1);
            word >>= numBits;
            bitsLeft -= numBits;
            return r;
        }
        // Takes the rest of this word, then what is missing from the next.
        unsigned r = word;
        const unsigned got = bitsLeft;
        const unsigned rest = numBits - got;
        bitsLeft = 0;
        if (rest == 0) return r;
        xUnderflow();
        r |= (word & ((1u << rest) - 1)) << got;
        word >>= rest;
        bitsLeft -= rest;
        return r;
    }

protected:
    // Loads the next word, refilling the buffer first when it is used up.
    void xUnderflow();
    // Called only when every word of wordBuf has been loaded. The memory
    // reader has nothing more and leaves the buffer as it is; the next
    // words then read as zeros.
    virtual void underflow();

    std::uint32_t bitsLeft;
    std::uint32_t word;
    std::uint32_t* nextWord;
    std::uint32_t* wordBuf;
    std::uint32_t wordBufSize;

private:
    std::unique_ptr<std::uint32_t[]> ownBuf;  // kept even after setBuf
};

// Refills from an input byte stream in pieces of 4 x size bytes. A short read
// (end of file) is not an error: missing bytes read as 0 and the stream is
// put back in the good state so the caller can reposition it.
// REQUIRES the stream to be in the good state when handed over (checked at
// each refill: "is.good()").
class StreamInBitStream : public InBitStream {
public:
    // `in` must outlive the reader; it is read from its current position.
    StreamInBitStream(std::istream& in, unsigned size) : InBitStream(size), is(in) {}

protected:
    void underflow() override;

private:
    std::istream& is;
};

#endif
