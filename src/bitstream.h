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
#include <ostream>

#include "globals.h"

// Buffer size in words used by every block codec (64 KiB).
constexpr unsigned bitStreamBufferWords = 16384;

class OutBitStream {
public:
    // Allocates `size` (> 0) words; an allocation failure propagates.
    explicit OutBitStream(unsigned size);
    ~OutBitStream();
    OutBitStream(const OutBitStream&) = delete;
    OutBitStream& operator=(const OutBitStream&) = delete;

    // Starts an empty stream; codecs call it once before the first bit.
    void reset() {
        bitPos = 0;
        word = 0;
        nextWord = wordBuf;
    }

    void putBit(bool bit) {
        if (bitPos == 32) xOverflow();
        word |= static_cast<std::uint32_t>(bit) << bitPos;
        ++bitPos;
    }

    // Puts bits 0 .. numBits-1 of `value`, bit 0 first. REQUIRES numBits <= 32.
    void putBits(unsigned value, unsigned numBits) {
        if (numBits == 0) return;
        if (bitPos == 32) xOverflow();
        if (numBits < 32) value &= (1u << numBits) - 1;
        const unsigned room = 32 - bitPos;
        word |= value << bitPos;
        if (numBits <= room) {
            bitPos += numBits;
        } else {
            bitPos = 32;
            xOverflow();
            word = value >> room;
            bitPos = numBits - room;
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

    // Completes the stream; the last operation before destruction.
    virtual void flush();

    // Number of bits put since reset.
    std::uint64_t bitCount() const {
        return static_cast<std::uint64_t>(nextWord - wordBuf) * 32 + bitPos;
    }

    // Debug print of the contents to standard output.
    void _print();

protected:
    void xOverflow();
    // Called only when wordBuf is full.
    virtual void overflow();

    std::uint32_t bitPos;
    std::uint32_t word;
    std::uint32_t* nextWord;
    std::uint32_t* wordBuf;
    std::uint32_t wordBufSize;

    friend struct BitStreamTestAccess;
};

// Writes the words to an output byte stream, 4 x size bytes per overflow and
// the rest at flush. Write errors are left for the caller to see on `os`.
class StreamOutBitStream : public OutBitStream {
public:
    StreamOutBitStream(std::ostream& out, unsigned size) : OutBitStream(size), os(&out) {}
    void flush() override;

protected:
    void overflow() override;

private:
    std::ostream* os;
};

struct BitBufDesc {
    std::uint32_t* buf;
    std::uint32_t size;  // in words
};

class InBitStream {
public:
    // Allocates `size` (> 0) words; the first read refills the buffer.
    explicit InBitStream(unsigned size);
    ~InBitStream();
    InBitStream(const InBitStream&) = delete;
    InBitStream& operator=(const InBitStream&) = delete;

    // Reads from the described words from now on; the reader keeps owning its
    // own buffer and never frees the described one.
    void setBuf(const BitBufDesc& d);

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
    void xUnderflow();
    // Called only when every word of wordBuf has been loaded. The memory
    // reader has nothing more: reading past its end is outside its contract.
    virtual void underflow();

    std::uint32_t bitsLeft;
    std::uint32_t word;
    std::uint32_t* nextWord;
    std::uint32_t* wordBuf;
    std::uint32_t wordBufSize;

private:
    std::uint32_t* ownBuf;  // what the destructor releases, even after setBuf
};

// Refills from an input byte stream in pieces of 4 x size bytes. A short read
// (end of file) is not an error: missing bytes read as 0 and the stream is
// put back in the good state so the caller can reposition it.
class StreamInBitStream : public InBitStream {
public:
    StreamInBitStream(std::istream& in, unsigned size) : InBitStream(size), is(&in) {}

protected:
    void underflow() override;

private:
    std::istream* is;
};

#endif
