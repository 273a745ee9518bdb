// Adaptive frequency model: every symbol starts with count 1, each coded
// symbol adds 1, and all counts are halved (never below 1) when the total
// reaches the caller's limit. The table is a plain cumulative array:
// tab[s] is the sum of the counts below s, tab[num] the total.
//
// Encoder and decoder run the same getRangeThenUpdateAndLimit calls, so both
// pass through the same states. The limits in use: 16384 for the adaptive
// MTF codec (the 16-bit coder's QUARTER) and 4096 for the DC bucket model.
#ifndef VEXAQ38_SYMBOLSTATS_H
#define VEXAQ38_SYMBOLSTATS_H

#include "globals.h"

struct SymbolRange {
    unsigned symbolLow;
    unsigned symbolHigh;
    unsigned symbolTotal;
};

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
    ~AdaptiveSymbolStats() { release(); }
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
        // Locals: the counts share a type with `num`, so writing through `tab`
        // would otherwise force a reload of both on every step and keep the
        // compiler from vectorising this, the model's hottest loop.
        T* const t = tab;
        const unsigned n = num;
        for (unsigned i = symbol + 1; i <= n; ++i) t[i] += inc;
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
        unsigned lo = 0, hi = num;
        do {
            const unsigned mid = (lo + hi) / 2;
            if (code < tab[mid])
                hi = mid;
            else
                lo = mid;
        } while (hi - lo > 1);
        return lo;
    }

    unsigned num;
    T* tab;

private:
    void build(unsigned n) {
        if (n == 0) return;
        T* const t = new T[n + 1];
        for (unsigned i = 0; i <= n; ++i) t[i] = i;
        tab = t;
        num = n;
    }

    void release() {
        if (tab != emptyTab) delete[] tab;
        tab = emptyTab;
        num = 0;
    }

    // The empty model points here, so that getMax, limit and the checks of
    // getSymbol read a total of 0 instead of following a null pointer.
    T emptyTab[1] = {0};
};

#endif
