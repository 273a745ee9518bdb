#include "bwt.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

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

unsigned* suffixArray(const char* begin, const char* end) {
    const unsigned n = static_cast<unsigned>(end - begin);
    Sorter sorter;
    sortSuffixes(sorter, begin, end);
    // The order table is dropped before the result is allocated: the peak
    // stays at two tables.
    sorter.Ibuf.reset();
    std::unique_ptr<unsigned[]> sa(new unsigned[n]);
    const std::uint32_t* V = sorter.V;
    for (unsigned x = 0; x < n; ++x) sa[V[x] - 2] = x;
    return sa.release();
}

unsigned bwtBySuffixArray(char* block, unsigned size) {
    if (size == 0) return 0;
    Sorter sorter;
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

// The first byte of each row, from the bucket starts C[0..256]: a coarse
// table indexed by the row's top bits gives a byte whose bucket starts at or
// before the row; the few buckets that start inside a coarse slot are
// stepped over.
class FirstByteOfRow {
public:
    FirstByteOfRow(const unsigned* C, unsigned size) : C_(C) {
        while ((size - 1) >> shift_ >= kSlots) ++shift_;
        unsigned c = 0;
        for (unsigned k = 0; k < kSlots; ++k) {
            const std::uint64_t row = std::uint64_t(k) << shift_;
            while (c < 255 && C[c + 1] <= row) ++c;
            slot_[k] = static_cast<unsigned char>(c);
        }
    }
    unsigned operator()(unsigned row) const {
        unsigned c = slot_[row >> shift_];
        while (C_[c + 1] <= row) ++c;
        return c;
    }

private:
    static constexpr unsigned kSlots = 4096;
    const unsigned* C_;
    unsigned shift_ = 0;
    unsigned char slot_[kSlots];
};

// Inverse of a block below 2^24 bytes, two bytes per random access.
//
// The walk follows P(i) = C[L[i]] + (rank of i among the rows ending in
// L[i], the primary row counted first) from the row of the last suffix
// backwards through the block. P keeps the order of the rows that end in
// the same byte, so P2 = P(P(i)) is increasing over the rows that share
// (L[i], L[P(i)]) = (a, b): it can be laid out by counting, with no random
// reads. An entry holds P2(i) and a = L[i]; b, written next, is the first
// byte of the row P2 lands on, which the bucket starts give without a load
// from the block.
void ibwtTwoSteps(char* out, const unsigned char* u, unsigned size, unsigned index, const unsigned* C) {
    const unsigned last = u[index];

    // pos[a][b]: the landing row of the next row in class (a, b). The rows j
    // = P(i) of class a are C[a], C[a] + 1, ... in order, so the class's
    // landing rows start after the rows ending in b that lie below C[a],
    // the primary row excepted (it always lands first, on C[last]).
    std::unique_ptr<std::uint32_t[]> pos(new std::uint32_t[256 * 256]);
    unsigned below[256] = {};
    for (unsigned a = 0; a < 256; ++a) {
        std::uint32_t* row = pos.get() + a * 256;
        for (unsigned b = 0; b < 256; ++b) row[b] = C[b] + below[b];
        row[last] += index < C[a] ? 0 : 1;
        for (unsigned j = C[a]; j < C[a + 1]; ++j) ++below[u[j]];
    }

    std::unique_ptr<std::uint32_t[]> W(new std::uint32_t[size]);
    adviseHugePages(W.get(), std::size_t(size) * sizeof(std::uint32_t));
    unsigned next[256];
    std::memcpy(next, C, sizeof next);
    const auto lay = [&](unsigned i) {
        const unsigned a = u[i];
        const unsigned j = next[a]++;
        const unsigned b = u[j];
        const unsigned target = j == index ? C[b] : pos[a * 256 + b]++;
        W[i] = target << 8 | a;
    };
    lay(index);
    for (unsigned i = 0; i < index; ++i) lay(i);
    for (unsigned i = index + 1; i < size; ++i) lay(i);

    const FirstByteOfRow firstByte(C, size);
    unsigned p = C[last];
    unsigned q = size - 1;
    for (; q >= 2; q -= 2) {
        const std::uint32_t w = W[p];
        p = w >> 8;
        out[q - 1] = static_cast<char>(w & 0xff);
        out[q - 2] = static_cast<char>(firstByte(p));
    }
    if (q == 1) out[0] = static_cast<char>(u[p]);
}

}  // namespace

void ibwt(char* out, const char* in, unsigned size, unsigned index) {
    if (size == 0) return;
    Q38_ASSERT(index < size);
    const unsigned char* u = reinterpret_cast<const unsigned char*>(in);
    unsigned C[257] = {};
    for (unsigned i = 0; i < size; ++i) ++C[u[i]];
    unsigned sum = 0;
    for (unsigned c = 0; c < 257; ++c) {
        const unsigned count = C[c];
        C[c] = sum;
        sum += count;
    }
    out[size - 1] = in[index];
    if (size < (1u << 24)) {
        ibwtTwoSteps(out, u, size, index, C);
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
        const unsigned char c = u[p];
        out[q] = static_cast<char>(c);
        p = R[p];
    }
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
