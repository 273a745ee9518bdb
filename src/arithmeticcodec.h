// Integer arithmetic coder and decoder with deferred underflow bits.
//
// READ ME FIRST
// - R is the register type (low, high, pending, value), W the wide type in
//   which range x count products are formed and divided, P the precision in
//   bits. W must hold 2^P times the largest total a caller passes.
// - The system uses <unsigned, unsigned, 16> (adaptive models, totals up to
//   2^14) and <unsigned, unsigned long long, 18> (static model, totals up to
//   0xFFFF).
// - Callers pass each symbol as its cumulative range [low, high) of `total`.
//   Every total up to QUARTER is always accepted. The checks below are
//   internal invariants: a caller must never pass an empty range, a range
//   outside the total or a total above QUARTER, whatever the input file says.
// - The code bits continue the caller's bit stream; the decoder may read up to
//   P - 2 bits past the flushed code without effect.
#ifndef VEXAQ38_ARITHMETICCODEC_H
#define VEXAQ38_ARITHMETICCODEC_H

#include <cstdint>

#include "bitstream.h"
#include "globals.h"

// One divisor for many divisions, as a multiplication by its rounded-up
// reciprocal: exact for every dividend x with x * divisor < 2^64 (the error
// of the product stays below 1/divisor). For coders whose total is fixed for
// a whole block; the quotients equal plain division, so the code is the same.
class FixedDivisor {
public:
    // REQUIRES d > 0.
    explicit FixedDivisor(unsigned d) : d(d), m(d > 1 ? UINT64_MAX / d + 1 : 0) {}

    unsigned divisor() const { return d; }

    // x / divisor(). REQUIRES x * divisor() < 2^64.
    std::uint64_t divide(std::uint64_t x) const {
#if defined(__SIZEOF_INT128__)
        if (m == 0) return x;
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * m) >> 64);
#else
        return x / d;
#endif
    }

private:
    unsigned d;
    std::uint64_t m;  // floor(2^64 / d) + 1; 0 for d = 1
};

// Encoder. Use: construct, set `os`, encode per symbol, flush; then the
// caller flushes the bit writer.
template <class R, class W, unsigned P>
class ArithmeticCoder {
public:
    static constexpr R TOP = (R(1) << P) - 1;
    static constexpr R HALF = R(1) << (P - 1);
    static constexpr R QUARTER = R(1) << (P - 2);

    ArithmeticCoder() { reset(); }

    void reset() {
        low = 0;
        high = TOP;
        pending = 0;
    }

    // Codes the symbol [symbolLow, symbolHigh) of symbolTotal.
    // REQUIRES os set ("os != NULL"), a non-empty range inside the total
    // ("(symbolLow < symbolHigh) && (symbolHigh <= symbolTotal)") and
    // symbolTotal <= QUARTER, which always passes "range >= symbolTotal".
    void encode(unsigned symbolLow, unsigned symbolHigh, unsigned symbolTotal) {
        Q38_ASSERT(os != NULL);
        Q38_ASSERT((symbolLow < symbolHigh) && (symbolHigh <= symbolTotal));
        const W range = static_cast<W>(high - low) + 1;
        Q38_ASSERT(range >= symbolTotal);
        high = static_cast<R>(low + (range * symbolHigh) / symbolTotal - 1);
        low = static_cast<R>(low + (range * symbolLow) / symbolTotal);
        renormalize();
    }

    // The same with a total fixed for many symbols (the same code, without
    // the divisions). REQUIRES as encode above, with symbolTotal =
    // total.divisor().
    void encode(unsigned symbolLow, unsigned symbolHigh, const FixedDivisor& total) {
        const unsigned symbolTotal = total.divisor();
        Q38_ASSERT(os != NULL);
        Q38_ASSERT((symbolLow < symbolHigh) && (symbolHigh <= symbolTotal));
        const W range = static_cast<W>(high - low) + 1;
        Q38_ASSERT(range >= symbolTotal);
        high = static_cast<R>(low + total.divide(static_cast<W>(range * symbolHigh)) - 1);
        low = static_cast<R>(low + total.divide(static_cast<W>(range * symbolLow)));
        renormalize();
    }

    // Ends the code: 2 + pending bits that name a number inside the final
    // interval whatever follows. The last call on a coder; the caller then
    // flushes the bit writer. REQUIRES os set ("os != NULL").
    void flush() {
        Q38_ASSERT(os != NULL);
        const bool b = (low & QUARTER) != 0;
        os->putBit(b);
        putPending(!b, pending + 1);
        pending = 0;
    }

    R low;
    R high;
    R pending;
    OutBitStream* os = nullptr;  // not owned; set before the first encode

private:
    void renormalize() {
        for (;;) {
            if (((high ^ low) & HALF) == 0) {
                outputBit((high & HALF) != 0);
            } else if ((low & QUARTER) != 0 && (high & QUARTER) == 0) {
                ++pending;
                low &= QUARTER - 1;
                high |= QUARTER;
            } else {
                break;
            }
            high = ((high << 1) | 1) & TOP;
            low = (low << 1) & TOP;
        }
    }

    void outputBit(bool bit) {
        os->putBit(bit);
        if (pending != 0) {
            putPending(!bit, pending);
            pending = 0;
        }
    }

    // Zeros only advance the writer's position, so a long run costs a few
    // word steps instead of a call per bit.
    void putPending(bool bit, R count) {
        if (bit) {
            for (R i = 0; i < count; ++i) os->putBit(true);
        } else {
            os->putZeros(count);
        }
    }
};

// Decoder, the mirror of ArithmeticCoder. Use: construct, set `is`, read
// what precedes the code, start, then per symbol decode / look up the symbol
// / decodeExtract. Damaged code streams are not detected here: every count
// decode returns is valid, so a caller that follows the protocol always gets
// some valid symbol.
template <class R, class W, unsigned P>
class ArithmeticDecoder {
public:
    static constexpr R TOP = (R(1) << P) - 1;
    static constexpr R HALF = R(1) << (P - 1);
    static constexpr R QUARTER = R(1) << (P - 2);

    ArithmeticDecoder() { reset(); }

    void reset() {
        low = 0;
        high = TOP;
    }

    // Reads the first P code bits (missing bits read as 0); call once, after
    // everything that precedes the code in the bit stream has been read.
    // REQUIRES is set ("is != NULL").
    void start() {
        Q38_ASSERT(is != NULL);
        value = 0;
        for (unsigned i = 0; i < P; ++i) value = static_cast<R>(2 * value + (is->getBit() ? 1 : 0));
    }

    // The cumulative count of the next symbol, in [0, symbolTotal) for any bit
    // stream, damaged or not. Does not change the state.
    // REQUIRES 0 < symbolTotal <= QUARTER (unchecked; a total of 0 gives
    // a meaningless count).
    unsigned decode(unsigned symbolTotal) const {
        return static_cast<unsigned>(
            ((static_cast<W>(value - low) + 1) * symbolTotal - 1) / (static_cast<W>(high - low) + 1));
    }

    // Removes the symbol whose range holds decode()'s result. The arguments
    // must be those the encoder passed for it: symbolLow <= decode(total) <
    // symbolHigh <= symbolTotal (unchecked here; any other range breaks
    // low <= value <= high and with it every later count).
    // REQUIRES is set ("is != NULL") and symbolTotal <= QUARTER
    // ("range >= symbolTotal").
    void decodeExtract(unsigned symbolLow, unsigned symbolHigh, unsigned symbolTotal) {
        Q38_ASSERT(is != NULL);
        const W range = static_cast<W>(high - low) + 1;
        Q38_ASSERT(range >= symbolTotal);
        high = static_cast<R>(low + (range * symbolHigh) / symbolTotal - 1);
        low = static_cast<R>(low + (range * symbolLow) / symbolTotal);
        renormalize();
    }

    // The same with a total fixed for many symbols. REQUIRES as
    // decodeExtract above, with symbolTotal = total.divisor().
    void decodeExtract(unsigned symbolLow, unsigned symbolHigh, const FixedDivisor& total) {
        const unsigned symbolTotal = total.divisor();
        Q38_ASSERT(is != NULL);
        const W range = static_cast<W>(high - low) + 1;
        Q38_ASSERT(range >= symbolTotal);
        high = static_cast<R>(low + total.divide(static_cast<W>(range * symbolHigh)) - 1);
        low = static_cast<R>(low + total.divide(static_cast<W>(range * symbolLow)));
        renormalize();
    }

    R low;
    R high;
    R value = 0;
    InBitStream* is = nullptr;  // not owned; set before start

private:
    void renormalize() {
        for (;;) {
            if (((high ^ low) & HALF) == 0) {
                // settled bit: nothing to undo
            } else if ((low & QUARTER) != 0 && (high & QUARTER) == 0) {
                value ^= QUARTER;
                low &= QUARTER - 1;
                high |= QUARTER;
            } else {
                break;
            }
            low = (low << 1) & TOP;
            high = ((high << 1) | 1) & TOP;
            value = static_cast<R>((2 * value + (is->getBit() ? 1 : 0)) & TOP);
        }
    }
};

#endif
