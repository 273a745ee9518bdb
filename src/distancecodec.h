// Distance coding of a transformed block, and the two coders of its values.
//
// READ ME FIRST
// - DistanceCoder turns a block into DC data: 256 header values (where each
//   byte first occurs), then one value per run (how far, in positions the
//   decoder cannot fill by itself, the next run of the same byte starts),
//   with trailing zeros removed. Every value is at most the block size and
//   the length is at most 256 + the number of runs.
// - DistanceDecoder and DistanceMapDecoder rebuild the block run by run from
//   those values (the same runs and errors; the second is faster where
//   nearly every byte is a run). They check every value against the block as
//   soon as they are given one, so damaged data raises Exception("Error in
//   compressed file (...)") and never writes outside the block or places a
//   run outside it.
// - AACoderForDC / AADecoderForDC code each value as a bucket symbol of an
//   adaptive model plus flat extra bits through one arithmetic coder;
//   PassThruCoder / PassThruDecoder write a plain prefix code instead.
#ifndef VEXAQ38_DISTANCECODEC_H
#define VEXAQ38_DISTANCECODEC_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "arithmeticcodec.h"
#include "base.h"
#include "bitstream.h"
#include "mtf.h"
#include "platform.h"
#include "symbolstats.h"

// ---------------------------------------------------------------- transform

// Encoder. Use: construct, encode, read values[codeBegin .. codeEnd); a
// second encode replaces the first one's values.
template <class S, class V>
class DistanceCoder {
    static_assert(sizeof(S) == 1, "symbols are bytes");

public:
    // `alphabetSize` symbols, used as unsigned values below it (256 for bytes).
    explicit DistanceCoder(unsigned symbols)
        : alphabetSize(symbols), values(nullptr), valuesSize(0), codeBegin(0), codeEnd(0) {}
    DistanceCoder(const DistanceCoder&) = delete;
    DistanceCoder& operator=(const DistanceCoder&) = delete;

    // Computes the DC data of [first, last); the bytes are not changed. Every
    // byte must be below alphabetSize as an unsigned value. With threads > 1
    // a large block's chunks are scanned on up to that many threads (the
    // values are the same). The values go to `room`, when given, which must
    // hold last - first + alphabetSize of them; else to new memory, whose
    // allocation failure propagates as std::bad_alloc.
    void encode(const S* first, const S* last, unsigned threads = 1, V* room = nullptr) {
        const std::uint32_t n = static_cast<std::uint32_t>(last - first);
        if (threads > 1 && n >= minSplit && manyRuns(first, n)) {
            plan(first, last, (n + threads - 1) / threads, threads, room);
            runSlices(threads, chunks(), [this](unsigned, std::size_t from, std::size_t to) {
                for (std::size_t k = from; k < to; ++k) encodeChunk(static_cast<unsigned>(k));
            });
            return;
        }
        allocate(n, room);
        // Symbols ordered by the start of their nearest known run: as the
        // scan goes backwards, the run just passed always starts before every
        // known one, so it moves to the front. The position of a symbol in
        // this list is then the number of symbols whose next run starts
        // before its own, without looking at all of them. That is a
        // move-to-front list; symbols not seen yet stay behind all seen ones
        // (each seen one went to the front), so they never count.
        Scan scan(alphabetSize);
        const std::uint32_t out = scanBack(first, n, 0, scan, values, valuesSize);
        codeBegin = out - alphabetSize;
        writeHeader(scan);
        codeEnd = valuesSize;
        while (codeEnd > codeBegin && values[codeEnd - 1] == 0) --codeEnd;
    }

    // The same values in chunks of about `chunkBytes` positions that can be
    // computed in any order and on any thread (encodeChunk), each from the
    // state a scan from the end has at its upper boundary, worked out here
    // from where each symbol first occurs in each chunk (found on up to
    // `threads` threads). Fills the header and sets codeBegin and codeEnd
    // (the chunks' values are not there yet), so that the values can be used
    // chunk by chunk in order while later ones are computed. `room` as for
    // encode. REQUIRES chunkBytes > 0.
    void plan(const S* first, const S* last, std::uint32_t chunkBytes, unsigned threads = 1, V* room = nullptr) {
        const std::uint32_t n = static_cast<std::uint32_t>(last - first);
        allocate(n, room);
        block = first;
        // Each search starts a chunk past the last boundary, so a long run
        // is crossed once.
        bounds.assign(1, 0);
        for (std::uint64_t at = chunkBytes; at < n;) {
            const std::uint32_t b = runBoundaryFrom(first, n, static_cast<std::uint32_t>(at));
            if (b >= n) break;
            bounds.push_back(b);
            at = std::uint64_t(b) + chunkBytes;
        }
        bounds.push_back(n);
        const unsigned k = chunks();
        const std::size_t a = alphabetSize;
        // Per chunk, where each symbol first occurs in it (a run start:
        // chunks begin at run boundaries) and its number of runs.
        std::vector<std::uint32_t> firstIn(k * a, UINT32_MAX), runs(k, 0);
        runSlices(threads, k, [&](unsigned, std::size_t from, std::size_t to) {
            for (std::size_t c = from; c < to; ++c) {
                std::uint32_t* const f = &firstIn[c * a];
                const std::uint32_t lo = bounds[c], hi = bounds[c + 1];
                std::uint32_t r = 1;
                for (std::uint32_t i = hi; --i > lo;) {
                    f[toIndex(first[i])] = i;
                    r += first[i] != first[i - 1];
                }
                f[toIndex(first[lo])] = lo;
                runs[c] = r;
            }
        });
        // From the last chunk down: the state after each, and where its
        // values end.
        nextAfter.assign(k * a, UINT32_MAX);
        valuesEnd.assign(k, valuesSize);
        std::vector<std::uint32_t> nearest(a, UINT32_MAX);
        for (unsigned c = k; c-- > 0;) {
            std::copy(nearest.begin(), nearest.end(), &nextAfter[c * a]);
            if (c + 1 < k) valuesEnd[c] = valuesEnd[c + 1] - runs[c + 1];
            for (std::size_t u = 0; u < a; ++u)
                if (firstIn[c * a + u] != UINT32_MAX) nearest[u] = firstIn[c * a + u];
        }
        const std::uint32_t allRuns = valuesSize - valuesEnd[0] + runs[0];
        Scan start(alphabetSize);
        start.enterState(nearest.data());
        codeBegin = valuesSize - allRuns - alphabetSize;
        writeHeader(start);
        codeEnd = valuesSize - trailingZeros(first, n, allRuns);
    }

    // Whether the block has values enough to work them out in chunks (on
    // several threads, or beside their coding): at least a run per 16 bytes
    // among positions sampled 64 apart. A block of a few long runs scans
    // faster in one piece than its chunks are planned.
    static bool manyRuns(const S* first, std::uint32_t n) {
        std::uint32_t samples = 0, starts = 0;
        for (std::uint32_t i = 1; i < n; i += 64, ++samples) starts += first[i] != first[i - 1];
        return starts * 16 >= samples;
    }

    // The number of chunks plan made.
    unsigned chunks() const { return static_cast<unsigned>(bounds.size() - 1); }

    // The values of chunk c end here (they begin where those of chunk c - 1
    // end, or after the header).
    std::uint32_t chunkEnd(unsigned c) const { return valuesEnd[c]; }

    // Computes the values of chunk c of the last plan. Chunks write disjoint
    // parts of the array and read only the block and the plan.
    void encodeChunk(unsigned c) {
        Scan scan(alphabetSize);
        scan.enterState(&nextAfter[std::size_t(c) * alphabetSize]);
        scanBack(block, bounds[c + 1], bounds[c], scan, values, valuesEnd[c]);
    }

    unsigned alphabetSize;
    V* values;  // into valuesBuf or the caller's room
    std::uint32_t valuesSize;
    std::uint32_t codeBegin;
    std::uint32_t codeEnd;

private:
    LargeArray<V> valuesBuf;
    // The last plan: the block, its chunks' boundaries (run boundaries, 0
    // and n included), and per chunk the state after it and its values' end.
    const S* block = nullptr;
    std::vector<std::uint32_t> bounds;
    std::vector<std::uint32_t> nextAfter;
    std::vector<std::uint32_t> valuesEnd;

    // Smaller blocks are not worth a second thread.
    static constexpr std::uint32_t minSplit = 1u << 18;

    void allocate(std::uint32_t n, V* room) {
        valuesSize = n + alphabetSize;
        valuesBuf.reset();
        if (room == nullptr) {
            valuesBuf = allocateLargeArray<V>(valuesSize);
            room = valuesBuf.get();
        }
        values = room;
    }

    // The state of a backward scan: the recency order and, per symbol, the
    // start of its nearest run ahead (UINT32_MAX: none yet).
    struct Scan {
        MTFCoder<unsigned char> order{256};  // byte symbols
        std::vector<std::uint32_t> nextStart;
        explicit Scan(unsigned symbols) : nextStart(symbols, UINT32_MAX) {}

        // The state whose nearest runs are `next`: the order puts the seen
        // symbols by their nearest run, the others after them as they were.
        void enterState(const std::uint32_t* next) {
            std::copy(next, next + nextStart.size(), nextStart.begin());
            unsigned char* const list = order.list.get();
            unsigned seen = 0;
            for (unsigned c = 0; c < nextStart.size(); ++c)
                if (nextStart[c] != UINT32_MAX) list[seen++] = static_cast<unsigned char>(c);
            std::sort(list, list + seen, [&](unsigned char x, unsigned char y) { return nextStart[x] < nextStart[y]; });
            for (unsigned c = 0; c < 256; ++c)
                if (c >= nextStart.size() || nextStart[c] == UINT32_MAX) list[seen++] = static_cast<unsigned char>(c);
        }
    };

    // The header from the state at the block's start, whose order begins
    // with the seen symbols by first occurrence.
    void writeHeader(const Scan& scan) {
        for (unsigned c = 0; c < alphabetSize; ++c) {
            V value = 0;
            if (scan.nextStart[c] != UINT32_MAX) {
                std::uint32_t m = 0;
                const unsigned char* const list = scan.order.list.get();
                for (unsigned i = 0; list[i] != c; ++i)
                    if (list[i] < c) ++m;
                value = static_cast<V>(scan.nextStart[c] + 1 - m);
            }
            values[codeBegin + c] = value;
        }
    }

    // How many values at the end are 0 (of `runs` runs of the block): the
    // last runs whose symbols do not occur after them, then, when that is
    // every run, the header's symbols from the last that do not occur.
    std::uint32_t trailingZeros(const S* first, std::uint32_t n, std::uint32_t runs) const {
        std::vector<bool> seen(alphabetSize, false);
        std::uint32_t zeros = 0, pos = n;
        while (pos != 0) {
            const unsigned u = toIndex(first[pos - 1]);
            if (seen[u]) return zeros;
            seen[u] = true;
            ++zeros;
            pos = runStart(first, pos - 1, u);
        }
        Q38_ASSERT(zeros == runs);
        for (unsigned c = alphabetSize; c-- > 0 && !seen[c];) ++zeros;
        return zeros;
    }

    // The values of the runs of [stop, end), from the last run back, stored
    // downwards from values[out - 1]; returns the new out. `stop` and `end`
    // are run boundaries.
    static std::uint32_t scanBack(const S* first, std::uint32_t end, std::uint32_t stop, Scan& scan, V* values,
                                  std::uint32_t out) {
        std::uint32_t* const nextStart = scan.nextStart.data();
        std::uint32_t pos = end;
        while (pos != stop) {
            const std::uint32_t e = pos - 1;
            const S c = first[e];
            const unsigned u = toIndex(c);
            const std::uint32_t s = std::max(runStart(first, e, u), stop);
            const unsigned k = scan.order.encode(static_cast<unsigned char>(u));
            const V value = nextStart[u] == UINT32_MAX ? 0 : static_cast<V>((nextStart[u] - e) - k);
            values[--out] = value;
            nextStart[u] = s;
            pos = s;
        }
        return out;
    }

    // The first run boundary at or after `from` (n if none).
    static std::uint32_t runBoundaryFrom(const S* first, std::uint32_t n, std::uint32_t from) {
        while (from < n && first[from - 1] == first[from]) ++from;
        return from;
    }

    static unsigned toIndex(S c) {
        return static_cast<unsigned>(static_cast<std::make_unsigned_t<S>>(c));
    }

    // The first position of the run of byte u that ends at e. Eight bytes
    // at a time: the end of a run is a branch no predictor learns.
    static std::uint32_t runStart(const S* first, std::uint32_t e, unsigned u) {
        const unsigned char* const b = reinterpret_cast<const unsigned char*>(first);
        const std::uint64_t pattern = 0x0101010101010101ull * u;
        std::uint32_t s = e;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        while (s >= 8) {
            std::uint64_t w;
            std::memcpy(&w, b + s - 8, 8);
            const std::uint64_t x = w ^ pattern;
            // The highest differing byte is the last one before the run.
            if (x != 0) return s - static_cast<std::uint32_t>(__builtin_clzll(x)) / 8;
            s -= 8;
        }
#else
        (void)pattern;
#endif
        while (s != 0 && b[s - 1] == u) --s;
        return s;
    }
};

// Decoder. Use: construct, start, feedSymbol for the header values in
// symbol order, decode per run value, decodeEnding until the block is full.
// The known run starts ahead are a sorted table: few of them on data with
// structure, where a short scan finds a place.
template <class S, class V>
class DistanceDecoder {
public:
    struct Entry {
        std::uint32_t pos;
        S sym;
    };
    using Run = std::pair<S, std::uint32_t>;  // symbol, run length

    // An empty table of `alphabetSize` entries (256 for bytes). An
    // allocation failure propagates as std::bad_alloc.
    explicit DistanceDecoder(unsigned symbols)
        : alphabetSize(symbols),
          bufSize(symbols * bufSlack),
          tabBuf(new Entry[bufSize]),
          tab(tabBuf.get()),
          tabn(0),
          pos(0),
          endPos(0) {}
    DistanceDecoder(const DistanceDecoder&) = delete;
    DistanceDecoder& operator=(const DistanceDecoder&) = delete;

    // The block length, and the block being rebuilt: the decoder writes the
    // symbol of every run at its start as soon as the start is known (the
    // caller fills the runs). Once, before the first feedSymbol.
    void start(unsigned size, S* block) {
        endPos = size;
        out = block;
    }

    // Enters the header value of `symbol` (0: it does not occur). A value
    // whose position lies at or past the end of the block raises "DC run
    // start outside the block"; a value for a full table raises "invalid DC
    // data".
    void feedSymbol(S symbol, V value) {
        if (value == 0) return;
        if (value > endPos - pos) throw Exception(runOutside);
        if (tabn == alphabetSize) throw Exception(invalidData);
        std::uint32_t p = pos + static_cast<std::uint32_t>(value) - 1;
        unsigned i = 0;
        while (i < tabn && tab[i].pos <= p) {
            ++p;
            ++i;
        }
        if (p >= endPos) throw Exception(runOutside);
        for (unsigned j = tabn; j > i; --j) tab[j] = tab[j - 1];
        tab[i] = Entry{p, symbol};
        out[p] = symbol;
        ++tabn;
    }

    // The run at `pos`, entering `value` as the distance to its symbol's next
    // run (0: none). An empty or out-of-step table raises "invalid DC data";
    // a next run placed at or past the end of the block raises "DC run start
    // outside the block". The run never passes the end of the block.
    Run decode(V value) {
        if (tabn == 0 || tab[0].pos != pos) throw Exception(invalidData);
        const S symbol = tab[0].sym;
        if (tabn == 1) {
            // The last known run: it fills the block.
            tabn = 0;
            const std::uint32_t length = endPos - pos;
            pos = endPos;
            return Run(symbol, length);
        }
        const std::uint32_t next = tab[1].pos;
        const std::uint32_t length = next - pos;
        pos = next;
        if (value == 0) {
            dropFront();
            return Run(symbol, length);
        }
        if (value >= endPos - next) throw Exception(runOutside);
        // The next run skips the positions of the known starts it passes:
        // it lands at next + value + (i - 2), where i is the first place
        // from 2 on with tab[i].pos > that, i.e. with tab[i].pos - i > key.
        // tab[i].pos - i never falls as the starts rise strictly, so the
        // place can be searched. Text rarely passes more than a few starts;
        // past the first ones (random data: ~128) the search bisects.
        const std::uint32_t key = next + static_cast<std::uint32_t>(value) - 2;  // next >= 1, value >= 1
        // One look past the near places first, so that a far place is not
        // walked to.
        unsigned i = 2;
        if (tabn > nearPlaces && tab[nearPlaces].pos - nearPlaces <= key) {
            i = findFar(nearPlaces, key);
        } else {
            while (i < tabn && tab[i].pos - i <= key) ++i;
        }
        const std::uint32_t p = key + i;
        if (p >= endPos) throw Exception(runOutside);
        insertAfterDroppingFront(i - 1, Entry{p, symbol});
        out[p] = symbol;
        return Run(symbol, length);
    }

    // The run at `pos` when no coded value is left for it: decode(0).
    Run decodeEnding() { return decode(0); }

    unsigned alphabetSize;

private:
    // The table is a window into a buffer several times its size: dropping
    // the front entry moves the window on instead of moving the entries,
    // so an insertion can shift whichever side of its place is shorter.
    static constexpr unsigned bufSlack = 4;
    unsigned bufSize;
    std::unique_ptr<Entry[]> tabBuf;

public:
    Entry* tab;  // the window, into tabBuf
    std::uint32_t tabn;
    std::uint32_t pos;
    std::uint32_t endPos;

private:
    S* out = nullptr;
    static constexpr unsigned nearPlaces = 16;

    // The first place from `from` on with tab[i].pos - i > key (tabn if
    // none), where place `from` is known not to be. A bisection of fixed
    // steps, without branches on the data: the place is as good as random
    // on data with little structure, so the branches of a search would
    // mostly be mispredicted.
    unsigned findFar(unsigned from, std::uint32_t key) const {
        const Entry* const t = tab;
        unsigned lo = from, len = tabn - from;  // lo is never beyond; the last one that is not is in [lo, lo + len)
        while (len > 1) {
            const unsigned half = len / 2;
            const unsigned mid = lo + half;
            lo = t[mid].pos - mid > key ? lo : mid;
            len -= half;
        }
        return lo + 1;
    }

    // Moves `count` entries from src to dst (overlapping), short moves
    // inline: text moves a few entries per run, where a library call costs
    // more than the copy.
    static void moveEntries(Entry* dst, const Entry* src, unsigned count) {
        if (count > nearPlaces) {
            std::memmove(static_cast<void*>(dst), src, count * sizeof(Entry));
        } else if (dst < src) {
            for (unsigned j = 0; j < count; ++j) dst[j] = src[j];
        } else {
            for (unsigned j = count; j-- > 0;) dst[j] = src[j];
        }
    }

    // Removes entry 0 by moving the window on; at the end of the buffer
    // the table first goes back to its start (amortised: at most once per
    // bufSize - alphabetSize drops).
    void dropFront() {
        if (tab + tabn + 1 > tabBuf.get() + bufSize) {
            moveEntries(tabBuf.get(), tab, tabn);
            tab = tabBuf.get();
        }
        ++tab;
        --tabn;
    }

    // Removes entry 0 and puts e at place `at` of the table that remains
    // (1 <= at < tabn, so the count stays the same): the entries before the
    // place move down one, or the window moves on and those after it move
    // up one, whichever are fewer.
    void insertAfterDroppingFront(unsigned at, const Entry& e) {
        if (at <= tabn - 1 - at) {
            moveEntries(tab, tab + 1, at);
        } else {
            dropFront();
            ++tabn;
            moveEntries(tab + at + 1, tab + at, tabn - 1 - at);
        }
        tab[at] = e;
    }

    static constexpr const char* runOutside = "Error in compressed file (DC run start outside the block)";
    static constexpr const char* invalidData = "Error in compressed file (invalid DC data)";
};

// The r-th (r >= 1) clear bit of the bit array `words` from bit `from` on
// (bit k is bit k % 64 of words[k / 64]). REQUIRES such a bit inside the
// array. Counts a word at a time, with the processor's population count
// and bit deposit where it has them (see BitCounting).
std::uint32_t nthClearBit(const std::uint64_t* words, std::uint32_t from, std::uint32_t r);

// The ways nthClearBit may count, the fastest one the processor has taken:
// plain arithmetic, the population count instruction, or that and a bit
// deposit to place the bit within its word.
enum class BitCounting { portable, popcount, deposit };
// Whether this processor counts `way` (portable: always).
bool canCountBits(BitCounting way);
// nthClearBit counted `way`. REQUIRES canCountBits(way).
std::uint32_t nthClearBitWith(BitCounting way, const std::uint64_t* words, std::uint32_t from, std::uint32_t r);

// The same decoder with the known run starts as a bitmap over the block:
// data with little structure keeps a start pending for nearly every symbol,
// and there finding a place by counting free bits a word at a time beats
// searching and shifting a table of hundreds. Same values, runs and
// errors as DistanceDecoder.
template <class S, class V>
class DistanceMapDecoder {
    static_assert(sizeof(S) == 1, "symbols are bytes");

public:
    using Run = std::pair<S, std::uint32_t>;  // symbol, run length

    // `alphabetSize` symbols (256 for bytes).
    explicit DistanceMapDecoder(unsigned symbols) : alphabetSize(symbols) {}
    DistanceMapDecoder(const DistanceMapDecoder&) = delete;
    DistanceMapDecoder& operator=(const DistanceMapDecoder&) = delete;

    // The block length, and the block being rebuilt: the decoder writes the
    // symbol of every run at its start as soon as the start is known (the
    // caller fills the runs). Once, before the first feedSymbol. An
    // allocation failure propagates as std::bad_alloc.
    void start(unsigned size, S* block) {
        own.reset(new std::uint64_t[wordsFor(size)]);
        start(size, block, own.get());
    }

    // The same with the bitmap in `memory`, wordsFor(size) words the caller
    // keeps (from one block to the next); it is cleared here.
    void start(unsigned size, S* block, std::uint64_t* memory) {
        endPos = size;
        out = block;
        known = memory;
        std::memset(known, 0, wordsFor(size) * sizeof(std::uint64_t));
    }

    // The bitmap's words for a block of `size` bytes. A search for a place
    // stops at most alphabetSize known starts past the end of the block (see
    // placeFree): no bound test in the loop.
    std::size_t wordsFor(unsigned size) const { return (std::size_t(size) + alphabetSize) / 64 + 2; }

    // Enters the header value of `symbol` (0: it does not occur). A value
    // whose position lies at or past the end of the block raises "DC run
    // start outside the block"; a value for a full table raises "invalid DC
    // data".
    void feedSymbol(S symbol, V value) {
        if (value == 0) return;
        if (value > endPos - pos) throw Exception(runOutside);
        if (count == alphabetSize) throw Exception(invalidData);
        // The value-th position from pos on that is not a known start.
        const std::uint32_t p = placeFree(pos, static_cast<std::uint32_t>(value));
        if (p >= endPos) throw Exception(runOutside);
        add(p, symbol);
    }

    // The run at `pos`, entering `value` as the distance to its symbol's next
    // run (0: none). No known run at `pos` raises "invalid DC data"; a next
    // run placed at or past the end of the block raises "DC run start
    // outside the block". The run never passes the end of the block.
    Run decode(V value) {
        if (count == 0 || !isKnown(pos)) throw Exception(invalidData);
        const S symbol = out[pos];
        clear(pos);
        if (count == 0) {
            // The last known run: it fills the block.
            const std::uint32_t length = endPos - pos;
            pos = endPos;
            return Run(symbol, length);
        }
        const std::uint32_t next = nextKnown(pos);
        const std::uint32_t length = next - pos;
        pos = next;
        if (value == 0) return Run(symbol, length);
        if (value >= endPos - next) throw Exception(runOutside);
        // The next run of the symbol: the value-th position after `next`
        // that is not a known start (the decoder fills those by itself).
        const std::uint32_t p = placeFree(next + 1, static_cast<std::uint32_t>(value));
        if (p >= endPos) throw Exception(runOutside);
        add(p, symbol);
        return Run(symbol, length);
    }

    // The run at `pos` when no coded value is left for it: decode(0).
    Run decodeEnding() { return decode(0); }

    unsigned alphabetSize;
    std::uint32_t pos = 0;     // bytes of the block rebuilt so far
    std::uint32_t endPos = 0;  // the block length

private:
    // Bit p: a run of a known symbol starts at p (p >= pos). At most
    // alphabetSize are set, one per symbol.
    std::uint64_t* known = nullptr;
    std::unique_ptr<std::uint64_t[]> own;  // the bitmap, unless the caller keeps it
    std::uint32_t count = 0;  // bits set
    S* out = nullptr;

    bool isKnown(std::uint32_t p) const { return known[p >> 6] >> (p & 63) & 1; }

    void add(std::uint32_t p, S symbol) {
        known[p >> 6] |= std::uint64_t(1) << (p & 63);
        out[p] = symbol;
        ++count;
    }

    void clear(std::uint32_t p) {
        known[p >> 6] &= ~(std::uint64_t(1) << (p & 63));
        --count;
    }

    // The first known start after p. REQUIRES one.
    std::uint32_t nextKnown(std::uint32_t p) const {
        std::size_t w = (p + 1) >> 6;
        std::uint64_t bits = known[w] & (~std::uint64_t(0) << ((p + 1) & 63));
        while (bits == 0) bits = known[++w];
        return static_cast<std::uint32_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(bits)));
    }

    // The r-th (r >= 1) position from `from` on that is not a known start.
    // REQUIRES from + r <= endPos + 1: the place is then at most count
    // positions further, inside the map.
    std::uint32_t placeFree(std::uint32_t from, std::uint32_t r) const {
        return nthClearBit(known, from, r);
    }

    static constexpr const char* runOutside = "Error in compressed file (DC run start outside the block)";
    static constexpr const char* invalidData = "Error in compressed file (invalid DC data)";
};

// ---------------------------------------------------------------- value coders

// The bucket table and the adaptive model shared by the arithmetic coder and
// decoder of DC values.
class AACodecBaseForDC {
public:
    struct Bucket {
        std::uint32_t base;       // smallest value of the bucket
        std::uint32_t extraBits;  // the bucket holds 2^extraBits values
    };
    static constexpr unsigned tableSize = 57;
    static const Bucket dtab[tableSize];
    static constexpr unsigned modelLimit = 4096;
    static_assert(modelLimit <= maxModelTotal, "the model's totals stay below its limit");
    static_assert(tableSize <= SmallSymbolStats::maxSymbols && modelLimit <= SmallSymbolStats::maxLimit,
                  "the buckets fit the small model");
    static_assert(modelLimit <= 0xFFFF && tableSize <= 256, "a coding step holds ranges and buckets");

    // The number of buckets that a block of `blockBytes` bytes can use:
    // K + 1 for the largest K with dtab[K].base <= blockBytes, at least 2.
    static unsigned symbolsFor(unsigned blockBytes);

    // The largest bucket below `limit` (>= 1) whose base is at most `value`.
    static unsigned bucketOf(unsigned value, unsigned limit) {
        // Straight from the bit length instead of a search: below 8 one
        // bucket per value; up to 511 four per power of two, picked by the
        // two bits under the top one; from 512 on the buckets are powers of
        // two wide, base 384 + 2^(k - 25).
        unsigned k;
        if (value < 8) {
            k = value;
        } else if (value < 512) {
            const unsigned b = bitLength(value);
            k = 4 * b - 8 + ((value >> (b - 3)) & 3);
        } else {
            k = 24 + bitLength(value - 384);
        }
        return k < limit ? k : limit - 1;
    }

    explicit AACodecBaseForDC(unsigned blockBytes) : numSymbols(symbolsFor(blockBytes)) {}

    const unsigned numSymbols;

private:
    // Number of significant bits of x > 0.
    static unsigned bitLength(unsigned x) { return 32 - static_cast<unsigned>(countLeadingZeros32(x)); }
};

// Arithmetic coder of DC values. REQUIRES every value to be at most the
// block size given to the constructor (always true of DC data).
// Use: construct over the bit writer, encode per value, flush.
class AACoderForDC : public AACodecBaseForDC {
public:
    AACoderForDC(unsigned blockBytes, OutBitStream& out)
        : AACodecBaseForDC(blockBytes), stats(numSymbols), coder(out) {}

    // The model's update is off the coder's chain of dependent steps, so
    // one thread runs both at the coder's pace.
    void encode(unsigned value) {
        const unsigned k = bucketOf(value, numSymbols);
        const SymbolRange r = stats.getRangeThenUpdateAndLimit(k, modelLimit);
        coder.encode(r.symbolLow, r.symbolHigh, modelTotalDivisors[r.symbolTotal]);
        unsigned n = dtab[k].extraBits;
        unsigned rest = value - dtab[k].base;
        while (n >= 8) {
            coder.encodeBits(rest & 0xFF, 8);
            rest >>= 8;
            n -= 8;
        }
        if (n > 0) coder.encodeBits(rest, n);
    }

    // Ends the code; the caller then flushes the bit writer.
    void flush() { coder.flush(); }

private:
    SmallSymbolStats stats;
    ArithmeticCoder<unsigned, unsigned, 16> coder;
};

// Arithmetic decoder of DC values. Any bit sequence decodes to some values
// (at most the top of the largest modelled bucket); the DC decoder checks
// them against the block. Use: construct over the bit reader, read what
// precedes the code, start, decode per value.
class AADecoderForDC : public AACodecBaseForDC {
public:
    AADecoderForDC(unsigned blockBytes, InBitStream& in)
        : AACodecBaseForDC(blockBytes), stats(numSymbols), decoder(in) {}

    void start() { decoder.start(); }

    unsigned decode() {
        const unsigned t = decoder.decode(stats.getMax());
        const unsigned k = stats.getSymbol(t);
        const SymbolRange r = stats.getRangeThenUpdateAndLimit(k, modelLimit);
        decoder.decodeExtract(r.symbolLow, r.symbolHigh, modelTotalDivisors[r.symbolTotal]);
        unsigned n = dtab[k].extraBits;
        unsigned rest = 0, shift = 0;
        while (n >= 8) {
            rest |= decoder.decodeBits(8) << shift;
            shift += 8;
            n -= 8;
        }
        if (n > 0) rest |= decoder.decodeBits(n) << shift;
        return dtab[k].base + rest;
    }

private:
    SmallSymbolStats stats;
    ArithmeticDecoder<unsigned, unsigned, 16> decoder;
};

// Plain prefix code: 0, 1, 2 in 2 bits; otherwise the escape 3, a unary
// count of extra width, and value - 3 in at least 3 bits.
// REQUIRES values below 2^31.
class PassThruCoder {
public:
    static constexpr unsigned numSymbols = 0;
    // The block size is not needed: the code has no model.
    PassThruCoder(unsigned, OutBitStream& out) : stream(out) {}
    explicit PassThruCoder(OutBitStream& out) : stream(out) {}

    void encode(unsigned value) {
        if (value < 3) {
            stream.putBits(value, 2);
            return;
        }
        stream.putBits(3, 2);
        const unsigned w = value - 3;
        unsigned n = 3, t = 8;
        while (w >= t) {
            stream.putBit(true);
            ++n;
            t *= 2;
        }
        stream.putBit(false);
        stream.putBits(w, n);
    }

    void flush() {}  // nothing pending: every value is written whole

private:
    OutBitStream& stream;
};

// Reader of the plain code. A prefix whose width would exceed 32 bits raises
// "invalid pass-through code"; a 32-bit width returns the value modulo 2^32.
class PassThruDecoder {
public:
    static constexpr unsigned numSymbols = 0;
    PassThruDecoder(unsigned, InBitStream& in) : stream(in) {}
    explicit PassThruDecoder(InBitStream& in) : stream(in) {}

    void start() {}  // the code starts right where the reader stands

    unsigned decode() {
        const unsigned v = stream.getBits(2);
        if (v < 3) return v;
        unsigned n = 3;
        while (stream.getBit()) {
            if (n == 32) throw Exception("Error in compressed file (invalid pass-through code)");
            ++n;
        }
        return stream.getBits(n) + 3;
    }

private:
    InBitStream& stream;
};

#endif
