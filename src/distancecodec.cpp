#include "distancecodec.h"

namespace {

// Set bits of x, without the processor's instruction.
inline unsigned popcountPortable(std::uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

// selectInByte.place[b][k]: the place of the (k + 1)-th set bit of byte b.
struct ByteSelect {
    unsigned char place[256][8];
    constexpr ByteSelect() : place() {
        for (unsigned b = 0; b < 256; ++b) {
            unsigned k = 0;
            for (unsigned i = 0; i < 8; ++i)
                if (b >> i & 1) place[b][k++] = static_cast<unsigned char>(i);
        }
    }
};
constexpr ByteSelect selectInByte{};

// The place of the r-th (from 1) set bit of x. REQUIRES 1 <= r <=
// popcount(x). Without a search loop: the bytes' running counts side by
// side in one word, the first byte whose count reaches r found by one
// subtraction, the bit within it from a table.
inline unsigned selectBit(std::uint64_t x, unsigned r) {
    std::uint64_t s = x - ((x >> 1) & 0x5555555555555555ull);
    s = (s & 0x3333333333333333ull) + ((s >> 2) & 0x3333333333333333ull);
    s = (s + (s >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    const std::uint64_t upTo = s * 0x0101010101010101ull;  // byte i: set bits in bytes 0 ... i (<= 64)
    const std::uint64_t reached =
        ((upTo | 0x8080808080808080ull) - 0x0101010101010101ull * r) & 0x8080808080808080ull;
    const unsigned byte = static_cast<unsigned>(__builtin_ctzll(reached)) >> 3;
    const unsigned before = static_cast<unsigned>(((upTo << 8) >> (8 * byte)) & 0xFF);
    return 8 * byte + selectInByte.place[(x >> (8 * byte)) & 0xFF][r - before - 1];
}

// The search, a word at a time: COUNT(x) counts the set bits of x and
// SELECT(x, r) places the r-th of them. A macro rather than a template, so
// that each copy is compiled whole for its processor.
#define Q38_NTH_CLEAR_BIT(COUNT, SELECT)                                       \
    std::size_t w = from >> 6;                                                 \
    std::uint64_t clear = ~words[w] & (~std::uint64_t(0) << (from & 63));      \
    for (;;) {                                                                 \
        const unsigned c = COUNT(clear);                                       \
        if (c >= r) return static_cast<std::uint32_t>(w * 64 + SELECT(clear, r)); \
        r -= c;                                                                \
        clear = ~words[++w];                                                   \
    }

#if defined(__GNUC__) && defined(__x86_64__)
#define Q38_HAS_BIT_INSTRUCTIONS 1
__attribute__((target("popcnt"))) std::uint32_t nthClearBitPopcount(const std::uint64_t* words,
                                                                   std::uint32_t from, std::uint32_t r) {
#define Q38_POPCOUNT_HARDWARE(x) static_cast<unsigned>(__builtin_popcountll(x))
    Q38_NTH_CLEAR_BIT(Q38_POPCOUNT_HARDWARE, selectBit)
}

// The r-th set bit of x as the lowest bit of the deposit of 1 << (r - 1)
// into x's set bits: two instructions instead of selectBit's two dozen.
__attribute__((target("bmi,bmi2"))) inline unsigned selectBitByDeposit(std::uint64_t x, unsigned r) {
    return static_cast<unsigned>(__builtin_ctzll(__builtin_ia32_pdep_di(std::uint64_t(1) << (r - 1), x)));
}

__attribute__((target("popcnt,bmi,bmi2"))) std::uint32_t nthClearBitDeposit(const std::uint64_t* words,
                                                                           std::uint32_t from, std::uint32_t r) {
    Q38_NTH_CLEAR_BIT(Q38_POPCOUNT_HARDWARE, selectBitByDeposit)
#undef Q38_POPCOUNT_HARDWARE
}
#else
#define Q38_HAS_BIT_INSTRUCTIONS 0
#endif

std::uint32_t nthClearBitPortable(const std::uint64_t* words, std::uint32_t from, std::uint32_t r) {
    Q38_NTH_CLEAR_BIT(popcountPortable, selectBit)
}

#undef Q38_NTH_CLEAR_BIT

}  // namespace

bool canCountBits(BitCounting way) {
    switch (way) {
        case BitCounting::portable:
            return true;
        case BitCounting::popcount:
            return Q38_HAS_BIT_INSTRUCTIONS && cpuHasPopcnt();
        case BitCounting::deposit:
            return Q38_HAS_BIT_INSTRUCTIONS && cpuHasPopcnt() && cpuHasFastBitDeposit();
    }
    return false;
}

std::uint32_t nthClearBitWith(BitCounting way, const std::uint64_t* words, std::uint32_t from, std::uint32_t r) {
    Q38_ASSERT(canCountBits(way));
#if Q38_HAS_BIT_INSTRUCTIONS
    if (way == BitCounting::deposit) return nthClearBitDeposit(words, from, r);
    if (way == BitCounting::popcount) return nthClearBitPopcount(words, from, r);
#endif
    return nthClearBitPortable(words, from, r);
}

std::uint32_t nthClearBit(const std::uint64_t* words, std::uint32_t from, std::uint32_t r) {
#if Q38_HAS_BIT_INSTRUCTIONS
    if (cpuHasFastBitDeposit() && cpuHasPopcnt()) return nthClearBitDeposit(words, from, r);
    if (cpuHasPopcnt()) return nthClearBitPopcount(words, from, r);
#endif
    return nthClearBitPortable(words, from, r);
}

#undef Q38_HAS_BIT_INSTRUCTIONS

// Values below 8 have a bucket each, 8 to 511 four buckets per power of two,
// then every bucket is twice as wide as the one before.
const AACodecBaseForDC::Bucket AACodecBaseForDC::dtab[AACodecBaseForDC::tableSize] = {
    {0, 0}, {1, 0}, {2, 0}, {3, 0},
    {4, 0}, {5, 0}, {6, 0}, {7, 0},
    {8, 1}, {10, 1}, {12, 1}, {14, 1},
    {16, 2}, {20, 2}, {24, 2}, {28, 2},
    {32, 3}, {40, 3}, {48, 3}, {56, 3},
    {64, 4}, {80, 4}, {96, 4}, {112, 4},
    {128, 5}, {160, 5}, {192, 5}, {224, 5},
    {256, 6}, {320, 6}, {384, 6}, {448, 6},
    {512, 7}, {640, 8}, {896, 9}, {1408, 10},
    {2432, 11}, {4480, 12}, {8576, 13}, {16768, 14},
    {33152, 15}, {65920, 16}, {131456, 17}, {262528, 18},
    {524672, 19}, {1048960, 20}, {2097536, 21}, {4194688, 22},
    {8388992, 23}, {16777600, 24}, {33554816, 25}, {67109248, 26},
    {134218112, 27}, {268435840, 28}, {536871296, 29}, {1073742208, 30},
    {2147484032, 31},
};

unsigned AACodecBaseForDC::symbolsFor(unsigned blockBytes) {
    unsigned k = 1;
    while (k + 1 < tableSize && dtab[k + 1].base <= blockBytes) ++k;
    return k + 1;
}
