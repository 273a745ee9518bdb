// Move-to-front lists and zero-run coding (RLE0), shared by both
// move-to-front codecs and by the distance coder.
//
// READ ME FIRST
// 1. RLE0 alphabet (257 symbols): 0 and 1 are run digits, s >= 2 is the
//    non-zero move-to-front value s - 1. Without RLE0 the symbols are the
//    move-to-front values 0..255 themselves.
// 2. A run of h zeros is the bijective base-2 numeral of h (digit 0 worth 1,
//    digit 1 worth 2), most significant digit first: h = 2^n - 1 + digits.
//    The decoder takes digits only while the run so far leaves room in the
//    block, so it never reads past the last symbol the encoder wrote.
// 3. The encoders leave the block holding its plain move-to-front values
//    (zeros included), which the MTF diagnostics print.
#ifndef VEXAQ38_MTF_H
#define VEXAQ38_MTF_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "base.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---------------------------------------------------------------- move-to-front

// Recency list of `size` values, list[0] the most recent; starts as the
// identity order. The codecs use 256 entries of unsigned char, so every byte
// is present.
template <class T>
class MTFCoder {
    static constexpr unsigned nearPlaces = 16;

public:
    explicit MTFCoder(unsigned n) : list(new T[n]), size(n) {
        for (unsigned i = 0; i < n; ++i) list[i] = static_cast<T>(i);
    }

    // Position of `c`, which then moves to the front. REQUIRES c in the list
    // (always true for the codecs' 256-entry byte lists).
    T encode(T c) {
#if defined(__SSE2__)
        if constexpr (sizeof(T) == 1) {
            if (size > nearPlaces) return encodeBytes(static_cast<unsigned char>(c));
        }
#endif
        // Locals, since byte stores could alias the members and force a
        // reload on every step.
        T* const l = list.get();
        const unsigned n = size;
        T prev = l[0];
        if (prev == c) return 0;
        l[0] = c;
        // Search and shift in one pass over the first places: after
        // move-to-front the small positions are by far the most frequent.
        const unsigned nearEnd = n < nearPlaces ? n : nearPlaces;
        for (unsigned i = 1; i < nearEnd; ++i) {
            const T cur = l[i];
            l[i] = prev;
            if (cur == c) return static_cast<T>(i);
            prev = cur;
        }
        for (unsigned i = nearEnd; i < n; ++i) {
            const T cur = l[i];
            l[i] = prev;
            if (cur == c) return static_cast<T>(i);
            prev = cur;
        }
        return static_cast<T>(n);
    }

    std::unique_ptr<T[]> list;
    unsigned size;

private:
#if defined(__SSE2__)
    // The byte lists: the first 16 places searched and shifted as one
    // vector, without a branch on where the byte is (small positions are by
    // far the most frequent after move-to-front, but which one is not
    // predictable); farther down the library's block search and move.
    T encodeBytes(unsigned char c) {
        unsigned char* const l = reinterpret_cast<unsigned char*>(list.get());
        const __m128i front = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l));
        const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(front, _mm_set1_epi8(static_cast<char>(c)))));
        // Places up to the byte's take the one before; places after it keep
        // theirs; place 0 takes the byte.
        const unsigned i = hits != 0 ? static_cast<unsigned>(__builtin_ctz(hits)) : nearPlaces;
        const __m128i after = _mm_cmpgt_epi8(frontIndexes(), _mm_set1_epi8(static_cast<char>(i)));
        const __m128i moved = _mm_or_si128(_mm_slli_si128(front, 1), _mm_cvtsi32_si128(c));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l),
                         _mm_or_si128(_mm_and_si128(after, front), _mm_andnot_si128(after, moved)));
        if (hits != 0) return static_cast<T>(i);
        // The last of the first places moves down to place 16.
        const unsigned char last = static_cast<unsigned char>(_mm_extract_epi16(front, 7) >> 8);
        const void* const hit = std::memchr(l + nearPlaces, c, size - nearPlaces);
        const unsigned at = hit != nullptr ? static_cast<unsigned>(static_cast<const unsigned char*>(hit) - l) : size;
        const unsigned moves = hit != nullptr ? at - nearPlaces : size - nearPlaces - 1;
        std::memmove(l + nearPlaces + 1, l + nearPlaces, moves);
        l[nearPlaces] = last;
        return static_cast<T>(at);
    }

    static __m128i frontIndexes() { return _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
#endif
};

// The inverse list. decode(encode(c)) on lists in the same state gives c and
// leaves both lists equal.
template <class T>
class MTFDecoder {
public:
    explicit MTFDecoder(unsigned n) : list(new T[n]), size(n) {
        for (unsigned i = 0; i < n; ++i) list[i] = static_cast<T>(i);
    }

    // The entry at `index`, which then moves to the front.
    // REQUIRES index < size ("index < size").
    T decode(T index) {
        const unsigned i = index;
        if (i == 0) return list[0];
        Q38_ASSERT(i < size);
        const T c = list[i];
        std::memmove(&list[1], &list[0], i * sizeof(T));
        list[0] = c;
        return c;
    }

    std::unique_ptr<T[]> list;
    unsigned size;
};

// ---------------------------------------------------------------- RLE0

constexpr unsigned rle0NumSymbols = 257;
constexpr unsigned mtfNumSymbols = 256;

// The RLE0 pass over a block, hands each symbol to `emit` in order, leaves
// the move-to-front values in `block` and returns the symbol count (at most
// dataSize). `mtf` must be a fresh 256-entry list. No diagnostics.
template <class Emit>
unsigned encodeRLE0(unsigned char* block, unsigned dataSize, MTFCoder<unsigned char>& mtf, Emit&& emit) {
    unsigned count = 0;
    unsigned j = 0;
    while (j < dataSize) {
        unsigned v = mtf.encode(block[j]);
        block[j++] = static_cast<unsigned char>(v);
        if (v != 0) {
            emit(v + 1);
            ++count;
            continue;
        }
        std::uint64_t h = 1;
        while (j < dataSize) {
            v = mtf.encode(block[j]);
            block[j++] = static_cast<unsigned char>(v);
            if (v != 0) break;
            ++h;
        }
        // n = floor(log2(h + 1)) digits writing h + 1 - 2^n, top digit first.
        unsigned n = 0;
        while ((std::uint64_t(2) << n) <= h + 1) ++n;
        const std::uint64_t r = h + 1 - (std::uint64_t(1) << n);
        for (unsigned i = n; i-- > 0;) emit(static_cast<unsigned>((r >> i) & 1));
        count += n;
        if (v != 0) {
            emit(v + 1);
            ++count;
        }
    }
    return count;
}

// The same pass writing the RLE0 dump to `dataSink` and the RLE0 histogram
// to `histSink`, each only when not null. Both MTF codecs encode through here.
template <class Emit>
unsigned encodeRLE0WithDiagnostics(unsigned char* block, unsigned dataSize, MTFCoder<unsigned char>& mtf,
                                   std::ostream* dataSink, std::ostream* histSink, Emit&& emit);

// Text of one RLE0 symbol in the dump and the histogram: "0a", "0b", or the
// move-to-front value in decimal.
std::string rle0SymbolText(unsigned symbol);

// Dump record pieces, written to `os`: "[Block]", "Block size = N",
// "Data after RLE0:" before the pass; each symbol and a blank during it; a
// line end, "Number of coded symbols: N" and an empty line after it.
void printRLE0Begin(std::ostream& os, unsigned dataSize);
void printRLE0Symbol(std::ostream& os, unsigned symbol);
void printRLE0End(std::ostream& os, unsigned count);

// One histogram record of a block's RLE0 symbols from their counts
// (`counts` has 257 entries), in the format of the other histograms, keys in
// symbol order; "Block size = " shows the number of symbols.
void printRLE0HistToFile(std::ostream& os, const unsigned* counts);

template <class Emit>
unsigned encodeRLE0WithDiagnostics(unsigned char* block, unsigned dataSize, MTFCoder<unsigned char>& mtf,
                                   std::ostream* dataSink, std::ostream* histSink, Emit&& emit) {
    if (dataSink == nullptr && histSink == nullptr) return encodeRLE0(block, dataSize, mtf, emit);
    unsigned counts[rle0NumSymbols] = {};
    if (dataSink) printRLE0Begin(*dataSink, dataSize);
    const unsigned count = encodeRLE0(block, dataSize, mtf, [&](unsigned s) {
        if (dataSink) printRLE0Symbol(*dataSink, s);
        ++counts[s];
        emit(s);
    });
    if (dataSink) printRLE0End(*dataSink, count);
    if (histSink) printRLE0HistToFile(*histSink, counts);
    return count;
}

// Restores a block of `dataSize` bytes into `out` from RLE0 symbols taken one
// at a time from `next()` (each below 257), with a fresh 256-entry `mtf`.
// Takes exactly the symbols the encoder emitted. A run longer than the room
// left raises Exception("Error in compressed file (RLE0 run exceeds file
// size)") before anything of it is written.
template <class Source>
void decodeRLE0(unsigned char* out, unsigned dataSize, MTFDecoder<unsigned char>& mtf, Source&& next) {
    unsigned pos = 0;
    while (pos < dataSize) {
        unsigned s = next();
        if (s >= 2) {
            out[pos++] = mtf.decode(static_cast<unsigned char>(s - 1));
            continue;
        }
        // run = 2^n - 1 + digits so far; each digit doubles it and adds 1 + d.
        // 64 bits: the loop stops once it reaches the room, below 2^33.
        std::uint64_t run = s + 1;
        const std::uint64_t room = dataSize - pos;
        while (run < room) {
            s = next();
            if (s >= 2) break;
            run = 2 * run + 1 + s;
        }
        if (run > room) throw Exception("Error in compressed file (RLE0 run exceeds file size)");
        // decode(0) is the front byte and leaves the list unchanged.
        std::memset(out + pos, mtf.list[0], static_cast<std::size_t>(run));
        pos += static_cast<unsigned>(run);
        if (pos == dataSize) break;
        out[pos++] = mtf.decode(static_cast<unsigned char>(s - 1));
    }
}

// Restores the move-to-front values of a block into `out`: RLE0 symbols from
// `next()` when `rle0` is set, else one plain value per byte. Shared by both
// MTF decoders, which differ only in where the symbols come from.
template <class Source>
void decodeMTFValues(unsigned char* out, unsigned dataSize, bool rle0, Source&& next) {
    MTFDecoder<unsigned char> mtf(256);
    if (rle0) {
        decodeRLE0(out, dataSize, mtf, next);
        return;
    }
    for (unsigned i = 0; i < dataSize; ++i) out[i] = mtf.decode(static_cast<unsigned char>(next()));
}

#endif
