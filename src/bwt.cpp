#include "bwt.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "globals.h"
#include "suffixarray.h"

bool bwtPrintSuffixesToFile = false;
bool bwtPrintSuffixArrayToFile = false;
std::ostream* bwtSuffixesFile = nullptr;
std::ostream* bwtSuffixArrayFile = nullptr;
std::uint32_t bwtPrintSuffixesToFileMaxSuffixSize = 4294967295u;

namespace {

using Sorter = Sadakane<std::uint32_t>;

// Blocks of up to 4 bytes are too short for the 4-byte grouping.
void sortSuffixes(Sorter& sorter, const char* begin, const char* end) {
    if (end - begin > 4) {
        sorter.makeTables2(begin, end, 4);
        sorter.suffixSort(4);
    } else {
        sorter.makeTables(begin, end);
        sorter.suffixSort(1);
    }
}

void writeSuffixListing(std::ostream& os, const char* block, unsigned size, const unsigned* sa) {
    for (unsigned r = 0; r < size; ++r) {
        std::ostringstream head;
        head << r << " suffix " << sa[r] << ": ";
        const std::string text = head.str();
        os << text;
        for (std::size_t k = text.size(); k < 20; ++k) os << ' ';
        const unsigned length = size - sa[r];
        const unsigned shown = length < bwtPrintSuffixesToFileMaxSuffixSize
                                   ? length : bwtPrintSuffixesToFileMaxSuffixSize;
        os.write(block + sa[r], shown);
        os << std::endl;
    }
}

void writeSuffixArray(std::ostream& os, const unsigned* sa, unsigned size) {
    for (unsigned r = 0; r < size; ++r) {
        if (r > 0) os << ' ';
        os << sa[r];
    }
}

}  // namespace

unsigned* suffixArray(const char* begin, const char* end, unsigned threads) {
    const unsigned n = static_cast<unsigned>(end - begin);
    Sorter sorter(threads);
    sortSuffixes(sorter, begin, end);
    // The order table is dropped before the result is allocated: the peak
    // stays at two tables.
    sorter.Ibuf.reset();
    std::unique_ptr<unsigned[]> sa(new unsigned[n]);
    const std::uint32_t* V = sorter.V;
    for (unsigned x = 0; x < n; ++x) sa[V[x] - 2] = x;
    return sa.release();
}

unsigned bwtBySuffixArray(char* block, unsigned size, unsigned threads) {
    if (size == 0) return 0;
    Sorter sorter(threads);
    sortSuffixes(sorter, block, block + size);
    return sorter.recoverBwt(block);
}

unsigned bwt(char* block, unsigned size) {
    if (size == 0) return 0;
    if (!bwtPrintSuffixesToFile && !bwtPrintSuffixArrayToFile) return bwtBySuffixArray(block, size);

    const std::unique_ptr<unsigned[]> sa(suffixArray(block, block + size));
    if (bwtPrintSuffixesToFile && bwtSuffixesFile != nullptr)
        writeSuffixListing(*bwtSuffixesFile, block, size, sa.get());
    if (bwtPrintSuffixArrayToFile && bwtSuffixArrayFile != nullptr)
        writeSuffixArray(*bwtSuffixArrayFile, sa.get(), size);

    const std::unique_ptr<char[]> q(new char[size]);
    std::memcpy(q.get(), block, size);
    unsigned primary = 0;
    for (unsigned r = 0; r < size; ++r) {
        if (sa[r] > 0) {
            block[r] = q[sa[r] - 1];
        } else {
            block[r] = q[size - 1];
            primary = r;
        }
    }
    return primary;
}

namespace {

// Row numbers below 2^24 packed in three bytes; tables get one byte of
// padding so that a row is read with one four-byte load.
inline unsigned load24(const unsigned char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w & 0xffffff;
}

inline void store24(unsigned char* p, unsigned v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
}

// The first two bytes of a row's suffix, from the bucket starts alone: no
// load from the block, so a walk pays one random access per two bytes.
// The rows are cut into runs of equal first two bytes; a coarse table
// indexed by the row's top bits names the run holding the first row of its
// slot, and the few runs starting inside a slot are stepped over.
class RowPrefix {
public:
    // C: the 257 bucket starts. S[x * 256 + y]: the first row whose suffix
    // begins with x, y. `lone` is the row of the one-byte suffix, whose second
    // byte (as the walk defines it) is `loneSecond`.
    RowPrefix(const unsigned* C, const std::uint32_t* S, unsigned size, unsigned lone, unsigned loneSecond) {
        runStart_.reserve(1024);
        runBytes_.reserve(1024);
        for (unsigned x = 0; x < 256; ++x) {
            if (C[x] == lone && C[x + 1] > lone) {
                runStart_.push_back(lone);
                runBytes_.push_back(pack(x, loneSecond));
            }
            for (unsigned y = 0; y < 256; ++y) {
                const unsigned from = S[x * 256 + y];
                const unsigned to = y < 255 ? S[x * 256 + y + 1] : C[x + 1];
                if (to > from) {
                    runStart_.push_back(from);
                    runBytes_.push_back(pack(x, y));
                }
            }
        }
        runStart_.push_back(size);  // stops every step-over
        while ((size - 1) >> shift_ >= kSlots) ++shift_;
        slot_.resize(kSlots);
        std::uint32_t k = 0;
        for (unsigned j = 0; j < kSlots; ++j) {
            const std::uint64_t row = std::uint64_t(j) << shift_;
            while (k + 1 < runStart_.size() - 1 && runStart_[k + 1] <= row) ++k;
            slot_[j] = k;
        }
    }

    // The two bytes, first in the low byte.
    unsigned bytes(unsigned row) const {
        std::uint32_t k = slot_[row >> shift_];
        while (runStart_[k + 1] <= row) ++k;
        return runBytes_[k];
    }

    unsigned first(unsigned row) const { return bytes(row) & 0xff; }
    unsigned second(unsigned row) const { return bytes(row) >> 8; }

    void emit(char* at, unsigned row) const {
        const unsigned b = bytes(row);
        at[0] = static_cast<char>(b & 0xff);
        at[1] = static_cast<char>(b >> 8);
    }

private:
    static std::uint16_t pack(unsigned x, unsigned y) { return static_cast<std::uint16_t>(x | y << 8); }

    static constexpr unsigned kSlots = 1u << 16;
    std::vector<std::uint32_t> runStart_;
    std::vector<std::uint16_t> runBytes_;
    std::vector<std::uint32_t> slot_;
    unsigned shift_ = 0;
};

// Inverse of a block of 2 to 2^24 - 1 bytes, two bytes per random access and
// two walks at once.
//
// The one-step walk follows P(i) = C[L[i]] + (rank of i among the rows
// ending in L[i], the primary row counted first), from the row of the last
// suffix backwards through the block. P keeps the order of the rows that
// end in the same byte, so P2 = P(P(i)) is increasing over the rows sharing
// (L[i], L[P(i)]) = (a, b): it is laid out by counting, with no random
// reads. The row P2 lands on begins with b, a, the two bytes the step
// passes, so the bytes come from the bucket starts and the block can be
// released (`release`) once P2 is built. A second walk runs forwards from
// the primary row through the inverse of P2, in parallel with the first;
// where they meet they must stand on the same row. They do unless the
// transform is damaged (P does not lead from the primary row through every
// row), and then the backward walk alone gives what the one-step walk gives.
template <typename Release>
void ibwtTwoWalks(char* out, const unsigned char* u, unsigned size, unsigned index, const unsigned* C,
                  Release release) {
    const unsigned last = u[index];

    // pos[a][b]: the landing row of the next row of class (a, b). The rows
    // j = P(i) of class a are C[a], C[a] + 1, ... in order, so the class's
    // landing rows start after the rows ending in b that lie below C[a],
    // the primary row excepted (it always lands first, on C[last]).
    std::unique_ptr<std::uint32_t[]> pos(new std::uint32_t[256 * 256]);
    std::unique_ptr<std::uint32_t[]> S(new std::uint32_t[256 * 256]);
    unsigned below[256] = {};
    for (unsigned a = 0; a < 256; ++a) {
        std::uint32_t* row = pos.get() + a * 256;
        for (unsigned b = 0; b < 256; ++b) row[b] = C[b] + below[b];
        row[last] += index < C[a] ? 0 : 1;
        for (unsigned b = 0; b < 256; ++b) S[b * 256 + a] = row[b];
        for (unsigned j = C[a]; j < C[a + 1]; ++j) ++below[u[j]];
    }

    const std::size_t tableBytes = std::size_t(size) * 3 + 1;
    std::unique_ptr<unsigned char[]> P2(new unsigned char[tableBytes]);
    adviseHugePages(P2.get(), tableBytes);
    P2[tableBytes - 1] = 0;
    unsigned next[256];
    std::memcpy(next, C, sizeof next);
    unsigned beforePrimary = index;  // the row i with P(i) = index
    const auto lay = [&](unsigned i) {
        const unsigned a = u[i];
        const unsigned j = next[a]++;
        const unsigned b = u[j];
        unsigned target;
        if (j == index) {
            target = C[b];
            beforePrimary = i;
        } else {
            target = pos[a * 256 + b]++;
        }
        store24(P2.get() + std::size_t(i) * 3, target);
    };
    lay(index);
    for (unsigned i = 0; i < index; ++i) lay(i);
    for (unsigned i = index + 1; i < size; ++i) lay(i);
    pos.reset();

    const unsigned start = C[last];  // the row of the one-byte suffix
    const RowPrefix prefix(C, S.get(), size, start, u[beforePrimary]);
    S.reset();
    release();  // u is gone from here on

    const auto backwardOnly = [&] {
        unsigned p = start;
        unsigned q = size - 1;
        for (; q >= 2; q -= 2) {
            p = load24(P2.get() + std::size_t(p) * 3);
            prefix.emit(out + q - 2, p);
        }
        if (q == 1) {
            const unsigned landing = load24(P2.get() + std::size_t(p) * 3);
            out[0] = static_cast<char>(prefix.second(landing));
        }
    };

    std::unique_ptr<unsigned char[]> inverse(new unsigned char[tableBytes]);
    adviseHugePages(inverse.get(), tableBytes);
    inverse[tableBytes - 1] = 0;
    for (unsigned i = 0; i < size; ++i) store24(inverse.get() + std::size_t(load24(P2.get() + std::size_t(i) * 3)) * 3, i);

    // Forward: the row r of the suffix at f writes out[f], out[f + 1].
    // Backward: the row p of the suffix at back writes out[back], out[back + 1].
    // Started so that the gap between them is even.
    unsigned f = 0, r = index;
    if (size % 2 == 0) {
        out[0] = static_cast<char>(prefix.first(index));
        f = 1;
        r = beforePrimary;
    }
    unsigned back = size - 1, p = start;
    while (back - f >= 4) {
        const unsigned nextP = load24(P2.get() + std::size_t(p) * 3);
        const unsigned nextR = load24(inverse.get() + std::size_t(r) * 3);
        prefix.emit(out + f, r);
        f += 2;
        r = nextR;
        back -= 2;
        p = nextP;
        prefix.emit(out + back, p);
    }
    if (back - f == 2) {
        prefix.emit(out + f, r);
        r = load24(inverse.get() + std::size_t(r) * 3);
    }
    if (r != p) backwardOnly();
}

template <typename Release>
void inverseTransform(char* out, const unsigned char* u, unsigned size, unsigned index, Release release) {
    if (size == 0) return;
    Q38_ASSERT(index < size);
    unsigned C[257] = {};
    for (unsigned i = 0; i < size; ++i) ++C[u[i]];
    unsigned sum = 0;
    for (unsigned c = 0; c < 257; ++c) {
        const unsigned count = C[c];
        C[c] = sum;
        sum += count;
    }
    out[size - 1] = static_cast<char>(u[index]);
    if (size == 1) return;
    if (size < (1u << 24)) {
        ibwtTwoWalks(out, u, size, index, C, release);
        return;
    }
    // next[i] = C[in[i]] + R[i], where R counts earlier occurrences of the
    // byte with the byte at the primary index counted first of all.
    unsigned next[256];
    std::memcpy(next, C, sizeof next);
    std::unique_ptr<std::uint32_t[]> R(new std::uint32_t[size]);
    adviseHugePages(R.get(), std::size_t(size) * sizeof(std::uint32_t));
    R[index] = next[u[index]]++;
    for (unsigned i = 0; i < size; ++i)
        if (i != index) R[i] = next[u[i]]++;
    unsigned p = C[u[index]];
    for (unsigned q = size - 1; q-- > 0;) {
        out[q] = static_cast<char>(u[p]);
        p = R[p];
    }
}

}  // namespace

void ibwt(char* out, const char* in, unsigned size, unsigned index) {
    inverseTransform(out, reinterpret_cast<const unsigned char*>(in), size, index, [] {});
}

void ibwt(char* out, std::unique_ptr<unsigned char[]> in, unsigned size, unsigned index) {
    inverseTransform(out, in.get(), size, index, [&] { in.reset(); });
}

unsigned bwtForBlockCodec(char* data, unsigned dataSize, long& t1, long& t2) {
    verboseLine("   Performing BWT...");
    t1 = readClock();
    const unsigned first = bwt(data, dataSize);
    t2 = readClock();
    if (verbose) std::cout << "      First suffix index: " << first << std::endl;
    if (printBWTData) printBWTDataToFile(data, dataSize, first);
    return first;
}

void checkPrimaryIndex(unsigned index, unsigned size) {
    if (index >= size) throw Exception("Error in compressed file (first suffix index out of range)");
}
