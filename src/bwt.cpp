#include "bwt.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "base.h"
#include "inducedsort.h"
#include "platform.h"
#include "suffixarray.h"

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

// The road a block takes, from timings on one thread (bench/RESULTS.md).
// Induced sorting is linear and needs one table: from 64 KiB it beats prefix
// doubling on text, source code and repetitive data (by 2-4 x on long
// repeats), and it keeps a 10 MiB block within 5 x its size. Prefix doubling
// keeps blocks below 64 KiB (1.2-4 x faster there) and blocks of spread
// bytes up to 4 MiB (order-0 entropy of 7.5 bits or more: the 4-byte
// grouping leaves almost no group to split, and it is 2-5 x faster), and
// blocks too large for the induced sorter.
constexpr unsigned kInducedFrom = 1u << 16;
constexpr unsigned kSpreadUpTo = 1u << 22;
constexpr double kSpreadBits = 7.5;

double entropyBits(const char* block, unsigned size) {
    std::array<std::uint32_t, 256> count;
    countBytes(reinterpret_cast<const unsigned char*>(block), size, count.data());
    double bits = 0;
    for (const unsigned c : count)
        if (c > 0) bits -= double(c) * std::log2(double(c) / size);
    return bits / size;
}

SortRoad chooseRoad(const char* block, unsigned size, SortRoad asked) {
    if (asked != SortRoad::chosen) return asked;
    if (size < kInducedFrom || size >= inducedSortLimit) return SortRoad::doubling;
    if (size <= kSpreadUpTo && entropyBits(block, size) >= kSpreadBits) return SortRoad::doubling;
    return SortRoad::induced;
}

void writeSuffixListing(std::ostream& os, const char* block, unsigned size, const unsigned* sa,
                        std::uint32_t maxSuffixSize) {
    for (unsigned r = 0; r < size; ++r) {
        std::ostringstream head;
        head << r << " suffix " << sa[r] << ": ";
        const std::string text = head.str();
        os << text;
        for (std::size_t k = text.size(); k < 20; ++k) os << ' ';
        const unsigned length = size - sa[r];
        const unsigned shown = length < maxSuffixSize ? length : maxSuffixSize;
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

// The transform from the suffix order the dumps were written from.
unsigned transformFromOrder(char* block, const unsigned* sa, unsigned n) {
    const std::unique_ptr<char[]> copy(new char[n]);
    std::memcpy(copy.get(), block, n);
    unsigned primary = 0;
    for (unsigned r = 0; r < n; ++r) {
        if (sa[r] > 0) {
            block[r] = copy[sa[r] - 1];
        } else {
            block[r] = copy[n - 1];
            primary = r;
        }
    }
    return primary;
}

}  // namespace

unsigned transformFromRanks(char* block, const std::uint32_t* V, unsigned n, char* copy, unsigned threads) {
    std::memcpy(copy, block, n);
    block[V[0] - 2] = copy[n - 1];
    // The writes land at random: ask for their lines well ahead. Each row is
    // written once, so threads take slices of the suffixes.
    const auto place = [block, V, copy](unsigned, std::size_t from, std::size_t to) {
        constexpr std::size_t ahead = 48;
        for (std::size_t x = from + 1; x <= to; ++x) {
            if (x + ahead <= to) prefetchWrite(block + V[x + ahead] - 2);
            block[V[x] - 2] = copy[x - 1];
        }
    };
    runSlices(threads, n - 1, place);
    return V[0] - 2;
}

std::unique_ptr<unsigned[]> suffixArray(const char* begin, const char* end, unsigned threads, bool hugePages,
                                        SpareCores* spare, SortRoad road) {
    const unsigned n = static_cast<unsigned>(end - begin);
    if (n == 0) return std::unique_ptr<unsigned[]>(new unsigned[1]);  // prefix doubling takes no empty block
    if (chooseRoad(begin, n, road) == SortRoad::induced) {
        std::unique_ptr<unsigned[]> sa(new unsigned[n]);
        inducedSuffixArray(reinterpret_cast<const unsigned char*>(begin), n, sa.get(), threads, spare);
        return sa;
    }
    Sorter sorter(threads, hugePages, spare);
    sortSuffixes(sorter, begin, end);
    // The order table is dropped before the result is allocated: the peak
    // stays at two tables.
    sorter.Ibuf.reset();
    std::unique_ptr<unsigned[]> sa(new unsigned[n]);
    const std::uint32_t* V = sorter.V;
    for (unsigned x = 0; x < n; ++x) sa[V[x] - 2] = x;
    return sa;
}

unsigned bwt(char* block, unsigned size, const SuffixDumps& dumps, unsigned threads, bool hugePages,
             SpareCores* spare, SortRoad road, KeptBuffer<std::uint32_t>* kept) {
    if (size == 0) return 0;
    if (dumps.listing || dumps.array) {
        const std::unique_ptr<unsigned[]> sa = suffixArray(block, block + size, threads, hugePages, spare, road);
        if (dumps.listing) writeSuffixListing(*dumps.listing, block, size, sa.get(), dumps.maxSuffixSize);
        if (dumps.array) writeSuffixArray(*dumps.array, sa.get(), size);
        return transformFromOrder(block, sa.get(), size);
    }
    if (chooseRoad(block, size, road) == SortRoad::induced) {
        LargeArray<std::uint32_t> own;
        std::uint32_t* table;
        if (kept != nullptr) {
            table = kept->get(size);
        } else {
            own = allocateLargeArray<std::uint32_t>(size, hugePages);
            table = own.get();
        }
        return inducedTransform(reinterpret_cast<unsigned char*>(block), size, table, threads, spare);
    }
    if (kept != nullptr) kept->release();
    Sorter sorter(threads, hugePages, spare);
    sortSuffixes(sorter, block, block + size);
    return sorter.recoverBwt(block);
}

namespace {

// The inverse walks the rows backwards through the block: from the primary
// row r0 = index, out[n - 1 - k] = L[r_k] and r_{k+1} = P(r_k), where
// P(i) = C[L[i]] + (rank of i among the rows ending in L[i], the primary row
// counted first). Each step is one dependent random load, so a single walk
// waits on memory. The walk is cut instead into segments: every row whose
// distance from the primary row is a multiple of a stride starts one, and a
// segment runs until its next row starts another. Many segments are walked
// at once (several per thread, interleaved so that their loads overlap),
// their bytes kept aside; then they are chained from the primary row's
// segment, each one's stop row naming the segment that precedes it in the
// block.
//
// P is a permutation for any bytes and any index, so every walk ends and all
// walks together take at most n steps. A damaged transform can split the
// rows into several cycles; the chain then returns to the primary row after
// m < n bytes, where the one walk would go round that cycle again: so does
// the output.

// Table entry of a row: P(row) in the low bits, L[row] above. Blocks below
// 2^24 bytes take four bytes per row; larger ones (never made by the
// program, which caps blocks at 10 MiB) take eight.
template <typename Entry>
struct Packing {
    static constexpr unsigned shift = sizeof(Entry) == 4 ? 24 : 32;
    static constexpr Entry rowMask = (Entry(1) << shift) - 1;
};

// Below this size one walk over a table that stays in cache is as fast as
// the segments (from 4 KiB they win by a third even in cache); below the
// second, threads do not pay for their start.
constexpr unsigned kPlainBelow = 1u << 12;

// Transforms with a run per this many rows or fewer walk over their runs:
// the pieces then stay in the first cache levels.
constexpr unsigned kRowsPerRun = 256;
constexpr unsigned kThreadsFrom = 1u << 20;

// Runs `work` on the caller and up to threads - 1 more threads. The work
// takes its pieces from shared counters, so it completes with any number of
// threads (one the system refuses to start is simply missing).
template <typename Work>
void runShared(unsigned threads, const Work& work) {
    std::vector<std::thread> pool;
    if (threads > 1) {
        pool.reserve(threads - 1);
        for (unsigned t = 1; t < threads; ++t) {
            std::thread helper;
            if (!tryStartThread(helper, [&work] { work(); })) break;
            pool.push_back(std::move(helper));
        }
    }
    work();
    for (std::thread& t : pool) t.join();
}

// Fills T from the transform u. The rows are cut into slices, each with its
// own counters, and a thread steps through four slices side by side: within
// one slice a run of equal bytes makes every count wait for the one before.
template <typename Entry>
void buildTable(Entry* T, const unsigned char* u, unsigned n, unsigned index, unsigned threads) {
    using Pk = Packing<Entry>;
    constexpr unsigned kWays = 4;
    // Several groups on large blocks even on one thread: the primary row's
    // slice gets a second pass below.
    const unsigned groups = threads > 1 || n >= kThreadsFrom ? threads * 4 : 1;
    const unsigned slices = groups * kWays;
    const auto sliceBegin = [&](unsigned k) { return unsigned(std::uint64_t(n) * k / slices); };
    using Counts = std::array<unsigned, 256>;
    std::vector<Counts> base(slices);

    // Runs `step(way, row)` over the rows of group g's slices, the first
    // `common` rows of each side by side.
    const auto overGroup = [&](unsigned g, auto&& step) {
        unsigned from[kWays], length[kWays], common = ~0u;
        for (unsigned w = 0; w < kWays; ++w) {
            from[w] = sliceBegin(g * kWays + w);
            length[w] = sliceBegin(g * kWays + w + 1) - from[w];
            common = length[w] < common ? length[w] : common;
        }
        for (unsigned j = 0; j < common; ++j)
            for (unsigned w = 0; w < kWays; ++w) step(w, from[w] + j);
        for (unsigned w = 0; w < kWays; ++w)
            for (unsigned j = common; j < length[w]; ++j) step(w, from[w] + j);
    };

    std::atomic<unsigned> nextGroup{0};
    runShared(threads, [&] {
        for (unsigned g; (g = nextGroup.fetch_add(1, std::memory_order_relaxed)) < groups;) {
            unsigned count[kWays][256] = {};
            overGroup(g, [&](unsigned w, unsigned i) { ++count[w][u[i]]; });
            for (unsigned w = 0; w < kWays; ++w)
                std::copy(count[w], count[w] + 256, base[g * kWays + w].begin());
        }
    });

    // A slice's rows of byte c are placed after the bucket start and the
    // rows of c in the slices before it. The primary row takes the first
    // place of its bucket, ahead of every other row of its byte: one more
    // for the rows of that byte before it.
    const unsigned c0 = u[index];
    unsigned indexSlice = 0;
    while (sliceBegin(indexSlice + 1) <= index) ++indexSlice;
    unsigned sum = 0, primaryTarget = 0;
    for (unsigned c = 0; c < 256; ++c) {
        if (c == c0) primaryTarget = sum;
        for (unsigned k = 0; k < slices; ++k) {
            const unsigned count = base[k][c];
            base[k][c] = sum + (c == c0 && k <= indexSlice ? 1 : 0);
            sum += count;
        }
    }

    nextGroup.store(0, std::memory_order_relaxed);
    runShared(threads, [&] {
        for (unsigned g; (g = nextGroup.fetch_add(1, std::memory_order_relaxed)) < groups;) {
            unsigned next[kWays][256];
            for (unsigned w = 0; w < kWays; ++w)
                std::copy(base[g * kWays + w].begin(), base[g * kWays + w].end(), next[w]);
            overGroup(g, [&](unsigned w, unsigned i) {
                const unsigned c = u[i];
                T[i] = Entry(next[w][c]++) | Entry(c) << Pk::shift;
            });
            if (indexSlice / kWays != g) continue;
            // The primary row was counted like the others: it takes its
            // place, and the rows of its byte after it in its slice, counted
            // one too many, step back.
            T[index] = Entry(primaryTarget) | Entry(c0) << Pk::shift;
            const unsigned end = sliceBegin(indexSlice + 1);
            for (unsigned i = index + 1; i < end; ++i) T[i] -= u[i] == c0 ? 1 : 0;
        }
    });
}

// The rows as the walks read them: step(row, c) gives the next row and puts
// L[row] in c; fetch(row) asks for a row ahead of its step.
template <typename Entry>
struct TableRows {
    const Entry* T;

    std::size_t step(std::size_t row, unsigned char& c) const {
        using Pk = Packing<Entry>;
        const Entry e = T[row];
        c = static_cast<unsigned char>(e >> Pk::shift);
        return static_cast<std::size_t>(e & Pk::rowMask);
    }
    void fetch(std::size_t row) const { __builtin_prefetch(T + row); }
};

// The rows of a transform made of few runs, without a table entry per row:
// within a run (the primary row cut out of its own) P steps to consecutive
// rows, so a list of pieces {first row, P of it, byte} holds all of P. A
// coarse index by row finds a row's piece in a step or two; pieces and
// index stay in cache where a row table would not (and need not be built).
class RunRows {
public:
    // The pieces of `u` (n bytes, primary row `index`); false, with nothing
    // kept, when it has more than maxRuns runs.
    bool build(const unsigned char* u, unsigned n, unsigned index, unsigned maxRuns) {
        // The runs first (their starts), giving up as soon as there are too
        // many; the bytes are compared eight at a time.
        std::vector<std::uint32_t> starts;
        std::uint32_t count[256] = {};
        for (unsigned i = 0; i < n;) {
            if (starts.size() == maxRuns) return false;
            starts.push_back(i);
            const unsigned j = runEnd(u, n, i);
            count[u[i]] += j - i;
            i = j;
        }
        starts.push_back(n);
        // P(i) = C[c] + (rows of c before i, the primary row not counted)
        // + 1 for the primary row's byte, which takes the bucket's first
        // place itself.
        const unsigned c0 = u[index];
        std::uint32_t next[256];
        std::uint32_t sum = 0, primaryTarget = 0;
        for (unsigned c = 0; c < 256; ++c) {
            if (c == c0) primaryTarget = sum;
            next[c] = sum + (c == c0 ? 1 : 0);
            sum += count[c];
        }
        pieces_.clear();
        pieces_.reserve(starts.size() + 2);
        for (std::size_t r = 0; r + 1 < starts.size(); ++r) {
            const unsigned i = starts[r], j = starts[r + 1];
            const unsigned char c = u[i];
            if (index >= i && index < j) {
                if (index > i) pieces_.push_back({i, next[c], c});
                pieces_.push_back({index, primaryTarget, c});
                if (index + 1 < j) pieces_.push_back({index + 1, next[c] + (index - i), c});
                next[c] += j - i - 1;  // the primary row is not counted
            } else {
                pieces_.push_back({i, next[c], c});
                next[c] += j - i;
            }
        }
        pieces_.push_back({n, 0, 0});  // sentinel: no row reaches it
        // Several slots per piece, so that a row's piece is nearly always
        // the one its slot names (a further step is a branch mispredicted).
        shift_ = 0;
        while ((std::uint64_t(n) >> shift_) > 8 * pieces_.size()) ++shift_;
        coarse_.assign((std::size_t(n) >> shift_) + 1, 0);
        for (std::size_t k = 0, p = 0; k < coarse_.size(); ++k) {
            const std::uint64_t row = std::min(std::uint64_t(k) << shift_, std::uint64_t(n) - 1);
            while (pieces_[p + 1].first <= row) ++p;
            coarse_[k] = static_cast<std::uint32_t>(p);
        }
        return true;
    }

    struct Piece {
        std::uint32_t first;   // the piece's first row
        std::uint32_t target;  // P of that row
        unsigned char byte;
    };

    // What the walks read, as plain pointers: each walk keeps its own copy
    // (a few words), and the built lists stay where they are.
    struct View {
        const Piece* pieces;
        const std::uint32_t* coarse;  // the piece of row k << shift
        unsigned shift;

        std::size_t step(std::size_t row, unsigned char& c) const {
            const Piece* p = pieces + coarse[row >> shift];
            while (p[1].first <= row) ++p;
            c = p->byte;
            return p->target + (row - p->first);
        }
        void fetch(std::size_t) const {}
    };

    // Valid while this object lives and is not built again.
    View view() const { return View{pieces_.data(), coarse_.data(), shift_}; }

private:
    // The end of the run that starts at i.
    static unsigned runEnd(const unsigned char* u, unsigned n, unsigned i) {
        const unsigned char c = u[i];
        unsigned j = i + 1;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const std::uint64_t pattern = 0x0101010101010101ull * c;
        while (j + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, u + j, 8);
            const std::uint64_t x = w ^ pattern;
            if (x != 0) return j + static_cast<unsigned>(__builtin_ctzll(x)) / 8;
            j += 8;
        }
#endif
        while (j < n && u[j] == c) ++j;
        return j;
    }

    std::vector<Piece> pieces_;
    std::vector<std::uint32_t> coarse_;  // the piece of row k << shift_
    unsigned shift_ = 0;
};

// The one walk, as the definition reads.
template <typename Rows>
void plainWalk(char* out, const Rows& rows, unsigned n, unsigned index) {
    std::size_t p = index;
    for (unsigned q = n; q-- > 0;) {
        unsigned char c;
        p = rows.step(p, c);
        out[q] = static_cast<char>(c);
    }
}

// Bytes of a segment sit in chunks of the scratch area, written downwards
// from `fill` in the first chunk and on through `link`, so that each piece
// is in block order.
struct Segment {
    std::uint32_t stop = 0;    // the row after its last one
    std::uint32_t length = 0;  // bytes
    std::uint32_t chunk = 0;
    std::uint32_t fill = 0;
};

// The stride between start rows is 2^strideLog.
struct WalkShape {
    unsigned strideLog;
    unsigned chunkBytes;
};

// Walks interleaved on one thread. Each lane's next row is asked for as
// soon as it is known and read only after the other lanes have stepped, so
// the lanes bound the misses in flight: up to 64 the walk keeps getting
// faster, alone and beside another block's walk (bench/RESULTS.md).
constexpr unsigned kLanes = 64;

// Enough segments that every walk of every thread has several to take, so
// that the last ones to finish are short.
WalkShape shapeFor(unsigned n, unsigned threads) {
    unsigned strideLog = 12;
    while (strideLog > 6 && (n >> strideLog) < 8u * kLanes * threads) --strideLog;
    // The lanes of a thread write in step, so chunks a multiple of 4 KiB
    // apart would put all their current lines in one cache set (it halved
    // the speed); one line more spreads them.
    return {strideLog, 4096 + 64};
}

template <typename Rows>
class SegmentWalk {
public:
    // `spare`: spareBytes the walks may keep bytes in (the transform, no
    // longer needed once the rows are known), so that only the rest of the
    // chunks are new memory.
    // `late`: where a core that frees up during the walks may come from to
    // walk too (null: nowhere).
    SegmentWalk(const Rows& rows, unsigned n, unsigned index, unsigned threads, WalkShape shape,
                unsigned char* spare, std::size_t spareBytes, SpareCores* late)
        : rows_(rows), n_(n), index_(index), threads_(threads), chunkBytes_(shape.chunkBytes), late_(late) {
        strideLog_ = shape.strideLog;
        strideMask_ = (1u << strideLog_) - 1;
        residue_ = index & strideMask_;
        segments_.resize(((n - 1 - residue_) >> strideLog_) + 1);
        // No more lanes than segments: a lane without one would only hold
        // a chunk.
        lanes_ = static_cast<unsigned>(std::min<std::size_t>(kLanes, segments_.size()));
        // Every lane, a late walker's too, leaves at most one chunk partly
        // filled.
        chunks_ = n / chunkBytes_ + (threads + (late ? 1 : 0)) * lanes_ + 1;
        link_.resize(chunks_);
        spare_ = spare;
        spareChunks_ = static_cast<unsigned>(std::min<std::size_t>(spareBytes / chunkBytes_, chunks_));
        const std::size_t rest = std::size_t(chunks_ - spareChunks_) * chunkBytes_;
        scratch_ = allocateLargeArray<unsigned char>(rest);
    }

    // Returns false when a bound that cannot be exceeded was exceeded; the
    // caller then takes the plain walk.
    bool run(char* out) {
        walkAll();
        if (failed_.load(std::memory_order_relaxed)) return false;

        // Chain from the primary row's segment, from the end of the block.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> chain;  // segment, end in out
        unsigned id = index_ >> strideLog_;
        unsigned end = n_;
        for (;;) {
            if (chain.size() == segments_.size()) return false;
            const Segment& s = segments_[id];
            if (s.length > end) return false;
            chain.emplace_back(id, end);
            end -= s.length;
            if (s.stop == index_) break;
            id = s.stop >> strideLog_;
        }

        std::atomic<std::size_t> nextLink{0};
        runShared(threads_, [&] {
            for (std::size_t k; (k = nextLink.fetch_add(1, std::memory_order_relaxed)) < chain.size();)
                copyOut(out, segments_[chain[k].first], chain[k].second);
        });

        // A damaged transform: the one walk would go round the primary
        // row's cycle of `cycle` rows again and again.
        const unsigned cycle = n_ - end;
        for (unsigned q = end; q-- > 0;) out[q] = out[q + cycle];
        return true;
    }

private:
    static constexpr unsigned kNoChunk = ~0u;

    struct Lane {
        std::size_t row;
        unsigned segment;
        unsigned chunk;
        unsigned done;      // bytes of the segment in earlier chunks
        unsigned char* dst;  // next byte goes to dst[-1]
        unsigned char* base;
        unsigned char* top;  // where the segment began in this chunk
    };

    // The walks on the threads given, and on one more thread once a core
    // is lent while they run (segments are taken one at a time, so the
    // late walker takes those still waiting).
    void walkAll() {
        if (late_ == nullptr) {
            runShared(threads_, [this] { walk(); });
            return;
        }
        SpareCores::LateLoan loan(*late_);
        std::thread lateWalker;
        const bool started = tryStartThread(lateWalker, [this, &loan] {
            if (loan.wait()) walk();
        });
        struct Join {
            SpareCores::LateLoan& loan;
            std::thread& t;
            bool started;
            ~Join() {
                loan.stop();
                if (started) t.join();
            }
        } join{loan, lateWalker, started};
        runShared(threads_, [this] { walk(); });
    }

    // Segment k starts from row k * stride + residue, and the primary row is
    // one of them.
    std::size_t startRow(unsigned segment) const { return std::size_t(segment) << strideLog_ | residue_; }

    bool newChunk(Lane& l) {
        const unsigned c = nextChunk_.fetch_add(1, std::memory_order_relaxed);
        if (c >= chunks_) {
            failed_.store(true, std::memory_order_relaxed);
            return false;
        }
        if (l.chunk != kNoChunk) link_[l.chunk] = c;
        l.chunk = c;
        l.base = chunkBase(c);
        l.dst = l.top = l.base + chunkBytes_;
        return true;
    }

    bool takeSegment(Lane& l) {
        const unsigned id = nextSegment_.fetch_add(1, std::memory_order_relaxed);
        if (id >= segments_.size() || failed_.load(std::memory_order_relaxed)) return false;
        Segment& s = segments_[id];
        s.chunk = l.chunk;
        s.fill = static_cast<std::uint32_t>(l.dst - l.base);
        l.segment = id;
        l.row = startRow(id);
        l.done = 0;
        l.top = l.dst;
        rows_.fetch(l.row);
        return true;
    }

    // A lane stepped onto a start row or filled its chunk. Returns false
    // when the lane has nothing more to do.
    bool service(Lane& l) {
        if (l.dst == l.base) {
            l.done += static_cast<unsigned>(l.top - l.dst);
            if (!newChunk(l)) return false;
        }
        if ((l.row & strideMask_) == residue_) {
            Segment& s = segments_[l.segment];
            s.stop = static_cast<std::uint32_t>(l.row);
            s.length = l.done + static_cast<unsigned>(l.top - l.dst);
            return takeSegment(l);
        }
        return true;
    }

    void walk() {
        Lane lanes[kLanes];
        unsigned active = 0;
        while (active < lanes_) {
            Lane& l = lanes[active];
            l.chunk = kNoChunk;
            if (!newChunk(l) || !takeSegment(l)) break;
            ++active;
        }
        const Rows rows = rows_;
        const std::size_t strideMask = strideMask_, residue = residue_;
        while (active > 0) {
            for (unsigned k = 0; k < active;) {
                Lane& l = lanes[k];
                unsigned char c;
                l.row = rows.step(l.row, c);
                *--l.dst = c;
                rows.fetch(l.row);
                if ((l.row & strideMask) == residue || l.dst == l.base) {
                    if (!service(l)) {
                        lanes[k] = lanes[--active];
                        continue;
                    }
                }
                ++k;
            }
        }
    }

    void copyOut(char* out, const Segment& s, unsigned end) const {
        unsigned left = s.length, chunk = s.chunk, fill = s.fill;
        while (left > 0) {
            const unsigned m = left < fill ? left : fill;
            std::memcpy(out + end - m, chunkBase(chunk) + fill - m, m);
            end -= m;
            left -= m;
            chunk = link_[chunk];
            fill = chunkBytes_;
        }
    }

    const Rows& rows_;
    unsigned n_, index_, threads_, chunkBytes_;
    SpareCores* late_;
    unsigned strideLog_ = 0, strideMask_ = 0, residue_ = 0, chunks_ = 0, lanes_ = 0;
    std::vector<Segment> segments_;
    std::vector<std::uint32_t> link_;
    unsigned char* chunkBase(unsigned c) const {
        return c < spareChunks_ ? spare_ + std::size_t(c) * chunkBytes_
                                : scratch_.get() + std::size_t(c - spareChunks_) * chunkBytes_;
    }

    unsigned char* spare_ = nullptr;  // chunks 0 ... spareChunks_ - 1
    unsigned spareChunks_ = 0;
    LargeArray<unsigned char> scratch_;  // the others
    std::atomic<unsigned> nextSegment_{0}, nextChunk_{0};
    std::atomic<bool> failed_{false};
};

// `forced`: the shape to walk with at any size and thread count (tests).
// `spare`: the transform's memory, free to reuse once the rows are known
// (null when it is the caller's).
template <typename Rows>
void walkRows(char* out, const Rows& rows, unsigned n, unsigned index, unsigned threads,
              const WalkShape* forced, unsigned char* spare, SpareCores* late) {
    if (n >= kPlainBelow || forced != nullptr) {
        SegmentWalk<Rows> segments(rows, n, index, threads, forced ? *forced : shapeFor(n, threads), spare,
                                   spare ? n : 0, late);
        if (segments.run(out)) return;
    }
    plainWalk(out, rows, n, index);
}

template <typename Entry>
void inverseWith(char* out, const unsigned char* u, unsigned n, unsigned index, unsigned threads,
                 const WalkShape* forced, RowsChoice choice, unsigned char* spare, InverseTable* table,
                 SpareCores* late) {
    if (n < kThreadsFrom && forced == nullptr) {
        threads = 1;
        late = nullptr;
    }
    if (choice != RowsChoice::table) {
        RunRows runs;
        if (runs.build(u, n, index, choice == RowsChoice::runs ? n : n / kRowsPerRun)) {
            walkRows(out, runs.view(), n, index, threads, forced, spare, late);
            return;
        }
    }
    LargeArray<Entry> own;
    Entry* T = nullptr;
    if constexpr (std::is_same_v<Entry, std::uint32_t>) {
        if (table != nullptr && table->size() == n && table->entries() != nullptr) T = table->entries();
    }
    if (T == nullptr) {
        own = allocateLargeArray<Entry>(n);
        T = own.get();
    }
    buildTable(T, u, n, index, threads);
    walkRows(out, TableRows<Entry>{T}, n, index, threads, forced, spare, late);
}

void inverseTransform(char* out, const unsigned char* u, unsigned size, unsigned index, unsigned threads,
                      const WalkShape* forced, bool wideRows, RowsChoice choice, unsigned char* spare,
                      InverseTable* table = nullptr, SpareCores* late = nullptr) {
    if (size == 0) return;
    Q38_ASSERT(index < size);
    threads = threads == 0 ? 1 : threads < 64 ? threads : 64;
    if (size < (1u << 24) && !wideRows)
        inverseWith<std::uint32_t>(out, u, size, index, threads, forced, choice, spare, table, late);
    else
        inverseWith<std::uint64_t>(out, u, size, index, threads, forced, choice, spare, table, late);
}

}  // namespace

void ibwt(char* out, const char* in, unsigned size, unsigned index, unsigned threads) {
    inverseTransform(out, reinterpret_cast<const unsigned char*>(in), size, index, threads, nullptr, false,
                     RowsChoice::either, nullptr);
}

InverseTable::InverseTable(unsigned size) {
    if (size == 0 || size >= (1u << 24)) return;
    size_ = size;
    own_ = allocateLargeArray<std::uint32_t>(size);
    entries_ = own_.get();
}

InverseTable::InverseTable(unsigned size, std::uint32_t* memory, std::size_t residentBytes) {
    if (size == 0 || size >= (1u << 24)) return;
    size_ = size;
    entries_ = memory;
    touched_ = std::min(residentBytes, std::size_t(size) * sizeof(std::uint32_t));
}

bool InverseTable::prepareSome() {
    constexpr std::size_t page = 4096, step = 16 * page;
    const std::size_t bytes = std::size_t(size_) * sizeof(std::uint32_t);
    volatile unsigned char* const p = reinterpret_cast<unsigned char*>(entries_);
    for (const std::size_t end = std::min(bytes, touched_ + step); touched_ < end; touched_ += page) p[touched_] = 0;
    return touched_ < bytes;
}

void ibwt(char* out, unsigned char* in, unsigned size, unsigned index, unsigned threads, InverseTable* table,
          SpareCores* late) {
    inverseTransform(out, in, size, index, threads, nullptr, false, RowsChoice::either, in, table, late);
}

void ibwt(char* out, std::unique_ptr<unsigned char[]> in, unsigned size, unsigned index, unsigned threads,
          InverseTable* table) {
    ibwt(out, in.get(), size, index, threads, table);
}

void ibwtWithShape(char* out, const char* in, unsigned size, unsigned index, unsigned threads,
                   unsigned strideLog, unsigned chunkBytes, bool wideRows, RowsChoice rows) {
    Q38_ASSERT(strideLog < 24 && chunkBytes > 0);
    const WalkShape shape{strideLog, chunkBytes};
    inverseTransform(out, reinterpret_cast<const unsigned char*>(in), size, index, threads, &shape, wideRows,
                     rows, nullptr);
}
