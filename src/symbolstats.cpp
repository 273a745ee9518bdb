#include "symbolstats.h"

#include <cstring>

// The one count type in use, compiled once here.
template class AdaptiveSymbolStats<unsigned>;

#if Q38_SYMBOLSTATS_AVX2

__attribute__((target("avx2"))) void addToTailAvx2(unsigned* t, unsigned i, unsigned end, unsigned inc) {
    typedef unsigned Vec __attribute__((vector_size(32)));
    const Vec add = Vec{} + inc;
    for (; i + 16 <= end; i += 16) {
        Vec a, b;
        std::memcpy(&a, t + i, sizeof a);
        std::memcpy(&b, t + i + 8, sizeof b);
        a += add;
        b += add;
        std::memcpy(t + i, &a, sizeof a);
        std::memcpy(t + i + 8, &b, sizeof b);
    }
    if (i + 8 <= end) {
        Vec a;
        std::memcpy(&a, t + i, sizeof a);
        a += add;
        std::memcpy(t + i, &a, sizeof a);
        i += 8;
    }
    for (; i < end; ++i) t[i] += inc;
}

#endif
