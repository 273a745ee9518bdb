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
//   P - 2 bits past the flushed code without effect. It reads its input a
//   word ahead, so the code must be the last thing read through its reader.
#ifndef VEXAQ38_ARITHMETICCODEC_H
#define VEXAQ38_ARITHMETICCODEC_H

#include <cstdint>

#include "base.h"
#include "bitstream.h"
#include "platform.h"

// One divisor for many divisions, as a multiplication by its rounded-up
// reciprocal: exact for every dividend x with x * divisor < 2^64 (the error
// of the product stays below 1/divisor). For coders whose total is fixed for
// a whole block; the quotients equal plain division, so the code is the same.
class FixedDivisor {
public:
    // Divides by 1.
    constexpr FixedDivisor() : d(1), m(0) {}
    // REQUIRES divisorValue > 0.
    constexpr explicit FixedDivisor(unsigned divisorValue)
        : d(divisorValue), m(divisorValue > 1 ? UINT64_MAX / divisorValue + 1 : 0) {}

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

// How many leading bits of the P-bit registers lo and hi agree (P when
// they are equal).
template <class R, unsigned P>
inline unsigned leadingEqualBitsP(R lo, R hi) {
    const std::uint32_t d = static_cast<std::uint32_t>(lo ^ hi) & ((std::uint32_t(1) << P) - 1);
    return d == 0 ? P : static_cast<unsigned>(countLeadingZeros32(d)) - (32 - P);
}

// After the leading bits differ (lo 0..., hi 1...): how many of the next
// positions have lo 1 and hi 0, the straddles of the middle (P - 1 at most).
template <class R, unsigned P>
inline unsigned straddlesP(R lo, R hi) {
    const std::uint32_t x = static_cast<std::uint32_t>(~lo | hi) & ((std::uint32_t(1) << (P - 1)) - 1);
    return x == 0 ? P - 1 : static_cast<unsigned>(countLeadingZeros32(x)) - (33 - P);
}

// Divisors for every total an adaptive model reaches (1 .. maxModelTotal):
// those totals change with every symbol, so a table built once replaces the
// two divisions per coded symbol. Index by the total.
constexpr unsigned maxModelTotal = 16384;
extern const FixedDivisor* const modelTotalDivisors;

// Encoder. Use: construct over the bit writer, encode per symbol, flush;
// then the caller flushes the bit writer.
template <class R, class W, unsigned P>
class ArithmeticCoder {
public:
    static constexpr R TOP = (R(1) << P) - 1;
    static constexpr R HALF = R(1) << (P - 1);
    static constexpr R QUARTER = R(1) << (P - 2);
    static_assert(P >= 3 && P <= 31, "the registers are shifted within 32 bits");
    static unsigned leadingEqualBits(R lo, R hi) { return leadingEqualBitsP<R, P>(lo, hi); }
    static unsigned straddles(R lo, R hi) { return straddlesP<R, P>(lo, hi); }

    // `out` must outlive the coder. The coder keeps up to 31 code bits of
    // its own before they go to `out` (whole words at a time): nothing else
    // may be written through `out` from the first encode until flush.
    explicit ArithmeticCoder(OutBitStream& out) : os(&out) { reset(); }

    void reset() {
        low = 0;
        high = TOP;
        pending = 0;
        held = 0;
        heldCount = 0;
    }

    R lowValue() const { return low; }
    R highValue() const { return high; }
    R pendingBits() const { return pending; }

    // Codes the symbol [symbolLow, symbolHigh) of symbolTotal.
    // REQUIRES a non-empty range inside the total
    // ("(symbolLow < symbolHigh) && (symbolHigh <= symbolTotal)") and
    // symbolTotal <= QUARTER, which always passes "range >= symbolTotal".
    void encode(unsigned symbolLow, unsigned symbolHigh, unsigned symbolTotal) {
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
        Q38_ASSERT((symbolLow < symbolHigh) && (symbolHigh <= symbolTotal));
        const W range = static_cast<W>(high - low) + 1;
        Q38_ASSERT(range >= symbolTotal);
        high = static_cast<R>(low + total.divide(static_cast<W>(range * symbolHigh)) - 1);
        low = static_cast<R>(low + total.divide(static_cast<W>(range * symbolLow)));
        renormalize();
    }

    // Codes the n-bit value v (0 < n <= P - 2) as the symbol [v, v + 1) of
    // 2^n: the same code as encode(v, v + 1, 1u << n), with shifts for the
    // divisions. REQUIRES v < 2^n (unchecked).
    void encodeBits(unsigned v, unsigned n) {
        const W range = static_cast<W>(high - low) + 1;
        high = static_cast<R>(low + ((range * (v + 1)) >> n) - 1);
        low = static_cast<R>(low + ((range * v) >> n));
        renormalize();
    }

    // Ends the code: 2 + pending bits that name a number inside the final
    // interval whatever follows, then every bit still held goes to the
    // writer. The last call on a coder; the caller then flushes the bit
    // writer.
    void flush() {
        const bool b = (low & QUARTER) != 0;
        emit(b, 1);
        putPending(!b, pending + 1);
        pending = 0;
        if (heldCount != 0) os->putBits(reverseBits(static_cast<std::uint32_t>(held), heldCount), heldCount);
        heldCount = 0;
    }

private:
    R low;
    R high;
    R pending;
    OutBitStream* os;  // not owned
    // Code bits not yet written, the oldest highest: the coder settles its
    // bits first-highest and the writer stores them first-lowest, so they
    // are turned round once per word rather than once per renormalisation.
    std::uint64_t held = 0;
    unsigned heldCount = 0;  // below 32 between calls

    // Appends the n (<= 32) low bits of v, highest first.
    void emit(std::uint32_t v, unsigned n) {
        held = (held << n) | v;
        heldCount += n;
        if (heldCount >= 32) {
            heldCount -= 32;
            os->putBits(reverseBits(static_cast<std::uint32_t>(held >> heldCount), 32), 32);
        }
    }

    // Bits settled in low and high go out, and straddles of the middle
    // (low 01..., high 10...) become pending bits, in two batches: the
    // settled bits first, then the run of straddles (after which no bit can
    // settle). Bit for bit the same as shifting one position at a time.
    // Without branches while the pending bits are few: whether bits settle
    // or straddle depends on the data, and mispredicted jumps cost more than
    // shifts by zero.
    void renormalize() {
        R lo = low, hi = high;
        const unsigned s = leadingEqualBits(lo, hi);
        if (pending <= 32 - P) {
            // The first settled bit, the pending bits (its complement), then
            // the other settled bits: s + pending <= 32 bits, none when s = 0.
            const unsigned p = static_cast<unsigned>(pending);
            const std::uint32_t first = static_cast<std::uint32_t>(lo >> (P - 1)) & 1;
            const unsigned restBits = s - (s != 0);
            const std::uint32_t rest =
                static_cast<std::uint32_t>(lo >> (P - s)) & ((std::uint32_t(1) << restBits) - 1);
            const std::uint64_t straddled = ((std::uint64_t(1) << p) - 1) & (std::uint64_t(first) - 1);
            const std::uint64_t bits = (std::uint64_t(first) << (p + restBits)) | (straddled << restBits) | rest;
            const std::uint64_t keep = s != 0 ? ~std::uint64_t(0) : 0;
            emit(static_cast<std::uint32_t>(bits & keep), static_cast<unsigned>((s + p) & keep));
            pending &= static_cast<R>(~keep);
        } else if (s != 0) {
            // More pending bits than one emit takes.
            const R settled = lo >> (P - s);  // highest bit first
            const bool first = (settled >> (s - 1)) & 1;
            emit(first, 1);
            putPending(!first, pending);
            pending = 0;
            if (s > 1) emit(static_cast<std::uint32_t>(settled) & ((std::uint32_t(1) << (s - 1)) - 1), s - 1);
        }
        lo = (lo << s) & TOP;
        hi = ((hi << s) | ((R(1) << s) - 1)) & TOP;
        // The leading bits differ now (lo 0..., hi 1...), so no straddle
        // (m = 0) leaves both as they are.
        const unsigned m = straddles(lo, hi);
        pending += m;
        low = (lo << m) & (HALF - 1);
        high = (((hi << m) | ((R(1) << m) - 1)) & TOP) | HALF;
    }

    // `count` copies of `bit`, up to 32 at a time.
    void putPending(bool bit, R count) {
        while (count != 0) {
            const unsigned n = count < 32 ? static_cast<unsigned>(count) : 32;
            emit(bit ? static_cast<std::uint32_t>((std::uint64_t(1) << n) - 1) : 0, n);
            count -= n;
        }
    }
};

// Decoder, the mirror of ArithmeticCoder. Use: construct over the bit
// reader, read what precedes the code, start, then per symbol decode / look up the symbol
// / decodeExtract. Damaged code streams are not detected here: every count
// decode returns is valid, so a caller that follows the protocol always gets
// some valid symbol.
template <class R, class W, unsigned P>
class ArithmeticDecoder {
public:
    static constexpr R TOP = (R(1) << P) - 1;
    static constexpr R HALF = R(1) << (P - 1);
    static constexpr R QUARTER = R(1) << (P - 2);
    static_assert(P >= 3 && P <= 31, "the registers are shifted within 32 bits");
    static unsigned leadingEqualBits(R lo, R hi) { return leadingEqualBitsP<R, P>(lo, hi); }
    static unsigned straddles(R lo, R hi) { return straddlesP<R, P>(lo, hi); }

    // `in` must outlive the decoder.
    explicit ArithmeticDecoder(InBitStream& in) : is(&in) { reset(); }

    void reset() {
        low = 0;
        high = TOP;
    }

    R lowValue() const { return low; }
    R highValue() const { return high; }
    R codeValue() const { return value; }

    // Reads the first P code bits (missing bits read as 0); call once, after
    // everything that precedes the code in the bit stream has been read.
    // From here on the decoder reads the stream ahead of the code it uses,
    // by up to 63 bits (see takeBits): nothing after the code may be read
    // through the same reader.
    void start() {
        ahead = 0;
        aheadCount = 0;
        value = takeBits(P);
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
    // REQUIRES symbolTotal <= QUARTER ("range >= symbolTotal").
    void decodeExtract(unsigned symbolLow, unsigned symbolHigh, unsigned symbolTotal) {
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
        const W range = static_cast<W>(high - low) + 1;
        Q38_ASSERT(range >= symbolTotal);
        high = static_cast<R>(low + total.divide(static_cast<W>(range * symbolHigh)) - 1);
        low = static_cast<R>(low + total.divide(static_cast<W>(range * symbolLow)));
        renormalize();
    }

    // The n-bit value coded by encodeBits(v, n): decode(1u << n) followed by
    // decodeExtract(v, v + 1, 1u << n), with shifts for the divisions.
    // REQUIRES 0 < n <= P - 2.
    unsigned decodeBits(unsigned n) {
        const W range = static_cast<W>(high - low) + 1;
        const unsigned v = static_cast<unsigned>((((static_cast<W>(value - low) + 1) << n) - 1) / range);
        high = static_cast<R>(low + ((range * (v + 1)) >> n) - 1);
        low = static_cast<R>(low + ((range * v) >> n));
        renormalize();
        return v;
    }

private:
    R low;
    R high;
    R value = 0;
    InBitStream* is;  // not owned
    // Code bits read from the stream but not yet shifted into value, the
    // next one in the top bit: one word read and reversed per 32 bits
    // instead of a read and a reversal per renormalisation.
    std::uint64_t ahead = 0;
    unsigned aheadCount = 0;

    // The next n code bits, the first one highest: what reverseBits(
    // is->getBits(n), n) gives (0 for n = 0). REQUIRES n <= 32.
    R takeBits(unsigned n) {
        if (aheadCount < n) {
            // aheadCount <= 31 here, so the word fits below the bits held.
            ahead |= static_cast<std::uint64_t>(reverseBits(is->getBits(32), 32)) << (32 - aheadCount);
            aheadCount += 32;
        }
        // Two shifts, so that n = 0 shifts by 32 at most.
        const R x = static_cast<R>((ahead >> 32) >> (32 - n));
        ahead <<= n;
        aheadCount -= n;
        return x;
    }

    // The mirror of the coder's: the same shifts, taking the next code bits
    // into value. Without branches: whether bits settle or straddle depends
    // on the data, and mispredicted jumps cost more than shifts by zero.
    // s + m <= P <= 32: after s settled bits only P - s - 1 can straddle.
    void renormalize() {
        R lo = low, hi = high;
        const unsigned s = leadingEqualBits(lo, hi);
        lo = (lo << s) & TOP;
        hi = ((hi << s) | ((R(1) << s) - 1)) & TOP;
        const unsigned m = straddles(lo, hi);
        lo = (lo << m) & (HALF - 1);
        hi = (((hi << m) | ((R(1) << m) - 1)) & TOP) | HALF;
        low = lo;
        high = hi;
        // Each straddle flips the second bit, which the next shift moves out
        // of the register; only the last flip stays, on the top bit. The
        // settled bits leave value the same way, so one shift takes both.
        const unsigned n = s + m;
        value = (((value << n) | takeBits(n)) & TOP) ^ (m != 0 ? HALF : 0);
    }
};

#endif
