#include "bitstream.h"

#include <cstring>
#include <vector>

namespace {

// Words go to and come from the byte streams least significant byte first,
// whatever the host's byte order.
void wordsToBytes(const std::uint32_t* words, std::size_t count, unsigned char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t w = words[i];
        out[4 * i] = static_cast<unsigned char>(w);
        out[4 * i + 1] = static_cast<unsigned char>(w >> 8);
        out[4 * i + 2] = static_cast<unsigned char>(w >> 16);
        out[4 * i + 3] = static_cast<unsigned char>(w >> 24);
    }
}

constexpr bool hostIsLittleEndian() {
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
#else
    return false;
#endif
}

void writeWords(std::ostream& os, const std::uint32_t* words, std::size_t count,
                std::size_t extraBytes) {
    const std::size_t total = 4 * count + extraBytes;
    if (total == 0) return;
    if (hostIsLittleEndian()) {
        os.write(reinterpret_cast<const char*>(words), static_cast<std::streamsize>(total));
        return;
    }
    std::vector<unsigned char> bytes(4 * (count + 1));
    wordsToBytes(words, count + (extraBytes ? 1 : 0), bytes.data());
    os.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(total));
}

}  // namespace

// ------------------------------------------------------------ OutBitStream

OutBitStream::OutBitStream(unsigned size)
    : bitPos(0), word(0), nextWord(nullptr), wordBuf(nullptr), wordBufSize(0) {
    // An empty buffer could never take a word, not even after doubling.
    if (size == 0) size = 1;
    storage.reset(new std::uint32_t[size]);
    wordBuf = storage.get();
    wordBufSize = size;
    nextWord = wordBuf;
}

void OutBitStream::xOverflow() {
    if (nextWord == wordBuf + wordBufSize) overflow();
    *nextWord++ = word;
    word = 0;
    bitPos = 0;
}

void OutBitStream::overflow() {
    // Memory-backed writer: double the buffer and keep going.
    const std::size_t used = static_cast<std::size_t>(nextWord - wordBuf);
    std::unique_ptr<std::uint32_t[]> grown(new std::uint32_t[2 * static_cast<std::size_t>(wordBufSize)]);
    std::memcpy(grown.get(), wordBuf, used * sizeof(std::uint32_t));
    storage = std::move(grown);
    wordBuf = storage.get();
    wordBufSize *= 2;
    nextWord = wordBuf + used;
}

void OutBitStream::flush() {
    if (nextWord == wordBuf + wordBufSize) overflow();
    *nextWord = word;
}

void OutBitStream::_print(std::ostream& os) const {
    const std::size_t stored = static_cast<std::size_t>(nextWord - wordBuf);
    os << "number of bits in stream: " << (bitPos + 32 * stored) << '\n';
    os << "bits:" << '\n';
    for (std::size_t i = 0; i < stored; ++i)
        for (unsigned b = 0; b < 32; ++b) os << ((wordBuf[i] >> b) & 1u);
    for (unsigned b = 0; b < bitPos; ++b) os << ((word >> b) & 1u);
    os.flush();
}

void StreamOutBitStream::overflow() {
    writeWords(os, wordBuf, wordBufSize, 0);
    wordsEmitted += wordBufSize;
    nextWord = wordBuf;
}

void StreamOutBitStream::flush() {
    if (nextWord == wordBuf + wordBufSize) overflow();
    *nextWord = word;
    writeWords(os, wordBuf, static_cast<std::size_t>(nextWord - wordBuf), (bitPos + 7) / 8);
}

// ------------------------------------------------------------- InBitStream

InBitStream::InBitStream(unsigned size)
    : bitsLeft(0), word(0), nextWord(nullptr), wordBuf(nullptr), wordBufSize(0), ownBuf(new std::uint32_t[size]) {
    wordBuf = ownBuf.get();
    wordBufSize = size;
    nextWord = wordBuf + wordBufSize;
}

void InBitStream::setBuf(const BitBufDesc& d) {
    wordBuf = d.buf;
    wordBufSize = d.size;
    nextWord = wordBuf;
    bitsLeft = 0;
    word = 0;
}

void InBitStream::xUnderflow() {
    if (nextWord == wordBuf + wordBufSize) underflow();
    // A memory reader that is used up (or an empty one) has nothing to
    // load: it reads zeros instead of going past its buffer.
    word = nextWord != wordBuf + wordBufSize ? *nextWord++ : 0;
    bitsLeft = 32;
}

void InBitStream::underflow() {}

void StreamInBitStream::underflow() {
    Q38_ASSERT(is.good());
    const std::size_t want = 4 * static_cast<std::size_t>(wordBufSize);
    char* bytes = reinterpret_cast<char*>(wordBuf);
    is.read(bytes, static_cast<std::streamsize>(want));
    const std::size_t got = static_cast<std::size_t>(is.gcount());
    if (got < want) {
        // End of input: the rest reads as zeros, and the stream stays usable.
        is.clear();
        std::memset(bytes + got, 0, want - got);
    }
    if (!hostIsLittleEndian()) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < wordBufSize; ++i)
            wordBuf[i] = static_cast<std::uint32_t>(b[4 * i]) |
                         static_cast<std::uint32_t>(b[4 * i + 1]) << 8 |
                         static_cast<std::uint32_t>(b[4 * i + 2]) << 16 |
                         static_cast<std::uint32_t>(b[4 * i + 3]) << 24;
    }
    nextWord = wordBuf;
}
