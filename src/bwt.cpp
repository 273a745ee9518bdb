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

void ibwt(char* out, const char* in, unsigned size, unsigned index) {
    if (size == 0) return;
    Q38_ASSERT(index < size);
    const unsigned char* u = reinterpret_cast<const unsigned char*>(in);
    unsigned T[256] = {};
    for (unsigned i = 0; i < size; ++i) ++T[u[i]];
    unsigned sum = 0;
    for (unsigned c = 0; c < 256; ++c) {
        const unsigned count = T[c];
        T[c] = sum;
        sum += count;
    }
    // next[i] = T[in[i]] + R[i], where R counts earlier occurrences of the
    // byte with the byte at the primary index counted first of all.
    unsigned next[256];
    std::memcpy(next, T, sizeof next);
    const unsigned start = T[u[index]];
    if (size < (1u << 24)) {
        // Byte and successor share one word: one cache miss per step.
        std::unique_ptr<std::uint32_t[]> W(new std::uint32_t[size]);
        adviseHugePages(W.get(), std::size_t(size) * sizeof(std::uint32_t));
        W[index] = next[u[index]]++ << 8 | u[index];
        for (unsigned i = 0; i < size; ++i)
            if (i != index) W[i] = next[u[i]]++ << 8 | u[i];
        out[size - 1] = in[index];
        unsigned p = start;
        for (unsigned q = size - 1; q-- > 0;) {
            const std::uint32_t w = W[p];
            out[q] = static_cast<char>(w & 0xff);
            p = w >> 8;
        }
        return;
    }
    std::unique_ptr<std::uint32_t[]> R(new std::uint32_t[size]);
    adviseHugePages(R.get(), std::size_t(size) * sizeof(std::uint32_t));
    R[index] = next[u[index]]++;
    for (unsigned i = 0; i < size; ++i)
        if (i != index) R[i] = next[u[i]]++;
    out[size - 1] = in[index];
    unsigned p = start;
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
