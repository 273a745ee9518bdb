// TEMPORARY naive transform so the codecs can be built and tested while the
// suffix sorter is written; replaced by the prefix-doubling sorter.
#include "bwt.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "globals.h"

bool bwtPrintSuffixesToFile = false;
bool bwtPrintSuffixArrayToFile = false;
std::ostream* bwtSuffixesFile = nullptr;
std::ostream* bwtSuffixArrayFile = nullptr;
std::uint32_t bwtPrintSuffixesToFileMaxSuffixSize = 4294967295u;

unsigned* suffixArray(const char* begin, const char* end) {
    const unsigned n = static_cast<unsigned>(end - begin);
    unsigned* sa = new unsigned[n];
    for (unsigned i = 0; i < n; ++i) sa[i] = i;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(begin);
    std::sort(sa, sa + n, [&](unsigned x, unsigned y) {
        const unsigned lx = n - x, ly = n - y;
        const int c = std::memcmp(b + x, b + y, std::min(lx, ly));
        return c != 0 ? c < 0 : lx < ly;
    });
    return sa;
}

unsigned bwtBySuffixArray(char* block, unsigned size) {
    if (size == 0) return 0;
    unsigned* sa = suffixArray(block, block + size);
    std::vector<char> q(block, block + size);
    unsigned primary = 0;
    for (unsigned r = 0; r < size; ++r) {
        if (sa[r] > 0) {
            block[r] = q[sa[r] - 1];
        } else {
            block[r] = q[size - 1];
            primary = r;
        }
    }
    delete[] sa;
    return primary;
}

unsigned bwt(char* block, unsigned size) { return bwtBySuffixArray(block, size); }

void ibwt(char* out, const char* in, unsigned size, unsigned index) {
    if (size == 0) return;
    unsigned t[256] = {0};
    std::vector<unsigned> r(size);
    const unsigned char* u = reinterpret_cast<const unsigned char*>(in);
    t[u[index]] = 1;
    for (unsigned i = 0; i < index; ++i) r[i] = t[u[i]]++;
    r[index] = 0;
    for (unsigned i = index + 1; i < size; ++i) r[i] = t[u[i]]++;
    unsigned sum = 0;
    for (unsigned c = 0; c < 256; ++c) {
        const unsigned k = t[c];
        t[c] = sum;
        sum += k;
    }
    out[size - 1] = in[index];
    unsigned p = t[u[index]];
    for (unsigned q = size - 1; q-- > 0;) {
        const unsigned char c = u[p];
        out[q] = static_cast<char>(c);
        p = t[c] + r[p];
    }
}
