// Adaptive frequency model: every symbol starts with count 1, each coded
// symbol adds 1, and all counts are halved (never below 1) when the total
// reaches the caller's limit. The table is a plain cumulative array:
// tab[s] is the sum of the counts below s, tab[num] the total.
//
// Encoder and decoder run the same getRangeThenUpdateAndLimit calls, so both
// pass through the same states. The limits in use: 16384 for the adaptive
// MTF codec (the 16-bit coder's QUARTER) and 4096 for the DC bucket model.
// The decoders keep the same model from the other end (TopDownSymbolStats).
#ifndef VEXAQ38_SYMBOLSTATS_H
#define VEXAQ38_SYMBOLSTATS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "base.h"
#include "platform.h"

struct SymbolRange {
    unsigned symbolLow;
    unsigned symbolHigh;
    unsigned symbolTotal;
};

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#define Q38_SYMBOLSTATS_AVX2 1
// t[i .. end) += inc in 32-byte vectors. REQUIRES cpuHasAvx2().
void addToTailAvx2(unsigned* t, unsigned i, unsigned end, unsigned inc);
#else
#define Q38_SYMBOLSTATS_AVX2 0
#endif

// t[i .. end) += inc: the models' hottest loop (counting a small symbol in
// the cumulative table touches nearly all of it), written out in 16-byte
// vectors because the compiler does not vectorise it reliably once it is
// inlined into a coder's loop.
inline void addToEach(unsigned* const t, unsigned i, const unsigned end, const unsigned inc) {
#if defined(__GNUC__)
    if constexpr (sizeof(unsigned) == 4) {
#if Q38_SYMBOLSTATS_AVX2
        // Long stretches (the move-to-front alphabets) take twice the width
        // where the processor has it; short ones are not worth a call.
        if (end - i >= 64 && cpuHasAvx2()) {
            addToTailAvx2(t, i, end, inc);
            return;
        }
#endif
        typedef unsigned Vec __attribute__((vector_size(16)));
        const Vec add = Vec{} + inc;
        for (; i + 8 <= end; i += 8) {
            Vec a, b;
            std::memcpy(&a, t + i, sizeof a);
            std::memcpy(&b, t + i + 4, sizeof b);
            a += add;
            b += add;
            std::memcpy(t + i, &a, sizeof a);
            std::memcpy(t + i + 4, &b, sizeof b);
        }
        if (i + 4 <= end) {
            Vec a;
            std::memcpy(&a, t + i, sizeof a);
            a += add;
            std::memcpy(t + i, &a, sizeof a);
            i += 4;
        }
    }
#endif
    for (; i < end; ++i) t[i] += inc;
}

// Range returned for a symbol, passed unchanged to the coder's encode or
// decodeExtract.
//
// Contract for users:
// - Symbols are 0 .. num-1; the decoder's count comes from decode(getMax()),
//   which is always below the total. Out-of-range symbols and counts are
//   internal invariant failures ("symbol < num", "code < tab[num]",
//   "num > 1"), so anything taken from a file must be bounded first.
// - maxTotal must be above num, and maxTotal - 1 at most the coder's
//   QUARTER: the total only grows by 1 per coded symbol and is halved when
//   it equals maxTotal, so the coder sees totals num .. maxTotal-1.
template <class T>
class AdaptiveSymbolStats {
public:
    // n symbols of count 1; n = 0 gives an empty model. An allocation
    // failure leaves an empty model and propagates as std::bad_alloc.
    explicit AdaptiveSymbolStats(unsigned n) : num(0), tab(emptyTab) { build(n); }
    AdaptiveSymbolStats(const AdaptiveSymbolStats&) = delete;
    AdaptiveSymbolStats& operator=(const AdaptiveSymbolStats&) = delete;

    // Back to n symbols of count 1 (n = 0: an empty model, no allocated
    // table). An allocation failure leaves an empty model and propagates.
    void reset(unsigned n) {
        release();
        build(n);
    }

    // Adds inc to the count of symbol. REQUIRES symbol < num (unchecked) and
    // a total that stays within T.
    void update(unsigned symbol, unsigned inc) {
        if constexpr (std::is_same_v<T, unsigned>) {
            addToEach(tab, symbol + 1, num + 1, inc);
        } else {
            for (unsigned i = symbol + 1; i <= num; ++i) tab[i] += inc;
        }
    }

    // Halves every count (at least 1 each) when the total equals maxTotal;
    // any other total is left alone.
    void limit(unsigned maxTotal) {
        if (tab[num] != maxTotal) return;
        T prevOld = tab[0];
        for (unsigned i = 1; i <= num; ++i) {
            const T old = tab[i];
            T count = (old - prevOld) >> 1;
            if (count == 0) count = 1;
            prevOld = old;
            tab[i] = tab[i - 1] + count;
        }
    }

    // The range of symbol before counting it, then counts it and rescales if
    // the total reached maxTotal. REQUIRES symbol < num ("symbol < num").
    SymbolRange getRangeThenUpdateAndLimit(unsigned symbol, unsigned maxTotal) {
        Q38_ASSERT(symbol < num);
        const SymbolRange r{static_cast<unsigned>(tab[symbol]), static_cast<unsigned>(tab[symbol + 1]),
                            static_cast<unsigned>(tab[num])};
        update(symbol, 1);
        limit(maxTotal);
        return r;
    }

    // The total of all counts (0 for an empty model); the decoder passes it to
    // decode.
    unsigned getMax() const { return static_cast<unsigned>(tab[num]); }

    // The symbol s with tab[s] <= code < tab[s + 1].
    // REQUIRES code < getMax() ("code < tab[num]") and num > 1 ("num > 1").
    unsigned getSymbol(unsigned code) const {
        Q38_ASSERT(code < tab[num]);
        Q38_ASSERT(num > 1);
        // Symbols 0 and 1 are the most frequent after move-to-front.
        if (code < tab[1]) return 0;
        if (code < tab[2]) return 1;
        // The rest without branches on the data: the counts are all at
        // least 1, so the table rises strictly and any bisection finds the
        // same symbol; a fixed step sequence keeps mispredictions out.
        const T* const t = tab;
        unsigned lo = 2, len = num - 2;
        while (len > 1) {
            const unsigned half = len / 2;
            lo = code < t[lo + half] ? lo : lo + half;
            len -= half;
        }
        return lo;
    }

    unsigned num;
    T* tab;

private:
    void build(unsigned n) {
        if (n == 0) return;
        storage.reset(new T[n + 1]);
        for (unsigned i = 0; i <= n; ++i) storage[i] = i;
        tab = storage.get();
        num = n;
    }

    void release() {
        tab = emptyTab;
        num = 0;
        storage.reset();
    }

    std::unique_ptr<T[]> storage;  // what tab points into, unless empty

    // The empty model points here, so that getMax, limit and the checks of
    // getSymbol read a total of 0 instead of following a null pointer.
    T emptyTab[1] = {0};
};

// Every count of a model kept top-down (above[s]: the counts of s and every
// symbol after it, above[num] = 0) halved, at least 1 each, as
// AdaptiveSymbolStats::limit does from the bottom.
template <class T>
void halveTopDown(T* above, unsigned num) {
    unsigned prevOld = above[num];
    for (unsigned i = num; i-- > 0;) {
        const unsigned old = above[i];
        unsigned count = (old - prevOld) >> 1;
        if (count == 0) count = 1;
        prevOld = old;
        above[i] = static_cast<T>(above[i + 1] + count);
    }
}

// The same model kept from the other end, for the decoders: above[s] is the
// sum of the counts of s and every symbol after it (above[0] the total,
// above[num] 0). Counting a symbol then adds to the entries up to it rather
// than to those after it, and after move-to-front nearly every symbol is
// one of the first few: a handful of additions instead of a whole table.
// It passes through the same counts as AdaptiveSymbolStats<unsigned> on the
// same calls, so it gives the same ranges and symbols: a decoder on it reads
// what an encoder on that wrote.
class TopDownSymbolStats {
public:
    // n symbols of count 1. REQUIRES n >= 2. An allocation failure
    // propagates as std::bad_alloc.
    explicit TopDownSymbolStats(unsigned n) : num(n), above(new unsigned[n + 1]) {
        Q38_ASSERT(n >= 2);
        for (unsigned i = 0; i <= n; ++i) above[i] = n - i;
    }

    unsigned getMax() const { return above[0]; }

    // As AdaptiveSymbolStats::getSymbol. REQUIRES code < getMax()
    // ("code < above[0]").
    unsigned getSymbol(unsigned code) const {
        Q38_ASSERT(code < above[0]);
        // tab[s] <= code < tab[s + 1] with tab[s] = total - above[s]: the
        // last s with above[s] >= x.
        const unsigned x = above[0] - code;
        if (x > above[1]) return 0;
        if (x > above[2]) return 1;
        // The same branch-free bisection as AdaptiveSymbolStats::getSymbol.
        const unsigned* const t = above.get();
        unsigned lo = 2, len = num - 2;
        while (len > 1) {
            const unsigned half = len / 2;
            lo = x <= t[lo + half] ? lo + half : lo;
            len -= half;
        }
        return lo;
    }

    // As AdaptiveSymbolStats::getRangeThenUpdateAndLimit.
    // REQUIRES symbol < num ("symbol < num").
    SymbolRange getRangeThenUpdateAndLimit(unsigned symbol, unsigned maxTotal) {
        Q38_ASSERT(symbol < num);
        unsigned* const t = above.get();
        const unsigned total = t[0];
        const SymbolRange r{total - t[symbol], total - t[symbol + 1], total};
        addToEach(t, 0, symbol + 1, 1);
        if (t[0] == maxTotal) halve();
        return r;
    }

private:
    void halve() { halveTopDown(above.get(), num); }

    unsigned num;
    std::unique_ptr<unsigned[]> above;
};

// 0, 1, ... 63: each entry's own index, for SmallSymbolStats' masks.
struct SmallStatsIndexes {
    alignas(16) std::uint16_t i[64];
    constexpr SmallStatsIndexes() : i() {
        for (unsigned k = 0; k < 64; ++k) i[k] = static_cast<std::uint16_t>(k);
    }
};
inline constexpr SmallStatsIndexes smallStatsIndexes{};

// The same model again for small alphabets (the DC buckets), on both ends:
// top-down like TopDownSymbolStats, in 16 bits, so that the whole table is
// eight 16-byte vectors (six do up to 48 symbols). Finding a symbol is then
// one comparison of every entry at once instead of a bisection of dependent
// loads, and counting one is a fixed handful of vector additions: both sit
// on the coder's critical path, value after value. Same states, ranges and
// symbols as AdaptiveSymbolStats<unsigned> on the same calls.
class SmallSymbolStats {
public:
    static constexpr unsigned maxSymbols = 63;    // above[num] = 0 stays in the table
    static constexpr unsigned maxLimit = 0x7FFF;  // totals compare as signed 16-bit

    // n symbols of count 1. REQUIRES 2 <= n <= maxSymbols.
    explicit SmallSymbolStats(unsigned n) : num(n), wide(n > 48) {
        Q38_ASSERT(n >= 2 && n <= maxSymbols);
        for (unsigned i = 0; i < tableSize; ++i) above[i] = static_cast<std::uint16_t>(i < n ? n - i : 0);
    }

    unsigned getMax() const { return above[0]; }

    // As AdaptiveSymbolStats::getSymbol. REQUIRES code < getMax()
    // ("code < above[0]").
    unsigned getSymbol(unsigned code) const {
        Q38_ASSERT(code < above[0]);
        // The symbol is the last s with above[s] >= x; the table falls
        // strictly and ends in zeros, so the entries with above[s] >= x are
        // exactly 0 ... symbol.
        const unsigned x = above[0] - code;  // >= 1
#if defined(__SSE2__)
        const __m128i limit = _mm_set1_epi16(static_cast<short>(x - 1));
        const __m128i* const t = reinterpret_cast<const __m128i*>(above);
        auto atLeast16 = [&](unsigned v) {
            const __m128i a = _mm_cmpgt_epi16(_mm_load_si128(t + 2 * v), limit);
            const __m128i b = _mm_cmpgt_epi16(_mm_load_si128(t + 2 * v + 1), limit);
            return std::uint64_t(static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) & 0xFFFFu);
        };
        // Symbols are below num; up to 48 of them (the DC buckets of blocks
        // up to 4 MiB) the entries past the first three groups count as
        // zeros, which end the run of ones as the real zeros would.
        std::uint64_t atLeast = atLeast16(0) | atLeast16(1) << 16 | atLeast16(2) << 32;
        if (wide) atLeast |= atLeast16(3) << 48;
        return static_cast<unsigned>(__builtin_ctzll(~atLeast)) - 1;
#else
        unsigned s = 0;
        while (above[s + 1] >= x) ++s;
        return s;
#endif
    }

    // As AdaptiveSymbolStats::getRangeThenUpdateAndLimit.
    // REQUIRES symbol < num ("symbol < num") and maxTotal <= maxLimit.
    SymbolRange getRangeThenUpdateAndLimit(unsigned symbol, unsigned maxTotal) {
        Q38_ASSERT(symbol < num);
        const unsigned total = above[0];
        const SymbolRange r{total - above[symbol], total - above[symbol + 1], total};
#if defined(__SSE2__)
        // Every entry up to the symbol counts it: subtract the mask of
        // index <= symbol (all ones, -1, where true).
        const __m128i bound = _mm_set1_epi16(static_cast<short>(symbol + 1));
        __m128i* const t = reinterpret_cast<__m128i*>(above);
        const __m128i* const index = reinterpret_cast<const __m128i*>(indexes);
        auto count8 = [&](unsigned v) {
            _mm_store_si128(t + v, _mm_sub_epi16(_mm_load_si128(t + v), _mm_cmplt_epi16(_mm_load_si128(index + v), bound)));
        };
        // Entries past the symbol do not change: up to 48 symbols, six
        // vectors hold every entry that can.
        for (unsigned v = 0; v < 6; ++v) count8(v);
        if (wide) {
            count8(6);
            count8(7);
        }
#else
        for (unsigned i = 0; i <= symbol; ++i) ++above[i];
#endif
        if (above[0] == maxTotal) halve();
        return r;
    }

private:
    static constexpr unsigned tableSize = 64;

    static constexpr const std::uint16_t* indexes = smallStatsIndexes.i;
    static_assert(sizeof smallStatsIndexes.i == tableSize * sizeof(std::uint16_t), "an index per entry");

    void halve() { halveTopDown(above, num); }

    alignas(16) std::uint16_t above[tableSize];  // zeros from num on
    unsigned num;
    bool wide;  // entries from 48 on take part (num > 48)
};

#endif
