#include "suffixarray.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base.h"
#include "bwt.h"
#include "platform.h"
#include "suffixsortparallel.h"

namespace {

// Equality of the first N bytes; N = 0 means a length known only at run time.
template <unsigned N>
struct PrefixEqual {
    explicit PrefixEqual(unsigned) {}
    bool operator()(const unsigned char* p, const unsigned char* q) const {
        return std::memcmp(p, q, N) == 0;  // constant length: a few loads
    }
};

template <>
struct PrefixEqual<0> {
    explicit PrefixEqual(unsigned length) : k(length) {}
    bool operator()(const unsigned char* p, const unsigned char* q) const {
        return std::memcmp(p, q, k) == 0;
    }
    unsigned k;
};

constexpr unsigned prefetchDistance = 12;
// From this size a group met by a pass prefetches its own keys.
constexpr unsigned largeGroup = 256;
// Splits of at least this many positions work on a gathered copy of the keys;
// the copy holds at most splitKeyLimit keys (with its split space 6 MiB), so
// larger groups split in place until their parts fit.
constexpr unsigned gatherMin = 32;
constexpr unsigned splitKeyLimit = 1u << 19;
// Parts of a gathered split below this size go to the networks.
constexpr unsigned smallGroup = 5;
// Below this many bytes the transform is recovered on one thread.
constexpr unsigned recoverThreadsFrom = 1u << 20;

}  // namespace

template <typename Index>
void Sadakane<Index>::allocateTables(Index n) {
    Ibuf = allocateLargeArray<Index>(std::size_t(n) + 1, hugePages_);
    Vbuf = allocateLargeArray<Index>(std::size_t(n) + 1, hugePages_);
    I = Ibuf.get();
    V = Vbuf.get();
}

template <typename Index>
void Sadakane<Index>::makeTables(const char* begin, const char* end) {
    const std::size_t size = static_cast<std::size_t>(end - begin);
    Q38_ASSERT(size + 1 < 0x80000000u);
    const Index n = static_cast<Index>(size);
    numSuffixes = n;
    if (n == 0) return;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(begin);
    allocateTables(n);

    Index F[256] = {};
    for (Index x = 0; x < n; ++x) ++F[b[x]];
    Index sum = 0;
    for (unsigned c = 0; c < 256; ++c) {
        const Index count = F[c];
        F[c] = sum;
        sum += count;
    }
    // Position 0 belongs to the empty suffix; increasing x keeps buckets stable.
    for (Index x = 0; x < n; ++x) I[1 + F[b[x]]++] = x;
    for (Index x = 0; x < n; ++x) V[x] = F[b[x]] + 1;
    I[0] = n;
    V[n] = 1;
    numSuffixes = n + 1;
}

namespace {

// Below 3 MiB, a block whose first pairs of bytes are mostly distinct (as in
// compressed or random data) fills all 65536 buckets of a 16-bit digit, and
// scattering over them costs more than four passes over 256.
bool smallAndSpread(const unsigned char* b, std::size_t n) {
    if (n >= (std::size_t(3) << 20)) return false;
    const std::size_t sample = std::min<std::size_t>(n - 1, std::size_t(1) << 16);
    std::uint64_t seen[1024] = {};
    std::size_t distinct = 0;
    for (std::size_t x = 0; x < sample; ++x) {
        const unsigned pair = unsigned(b[x]) << 8 | b[x + 1];
        const std::uint64_t bit = std::uint64_t(1) << (pair & 63);
        distinct += (seen[pair >> 6] & bit) == 0;
        seen[pair >> 6] |= bit;
    }
    return 4 * distinct > sample;
}

}  // namespace

template <typename Index>
void Sadakane<Index>::makeTables2(const char* begin, const char* end, unsigned depth) {
    const std::size_t bytes = static_cast<std::size_t>(end - begin);
    Q38_ASSERT(bytes + 1 < 0x80000000u);
    Q38_ASSERT(depth >= 1 && bytes > depth);
    const Index size = static_cast<Index>(bytes);
    numSuffixes = size;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(begin);
    allocateTables(size);
    if (depth == 4 && (threads_ > 1 || !smallAndSpread(b, size))) {
        // Two 16-bit digits beat four 8-bit ones on one thread too, but for
        // small blocks of spread bytes. Each thread has 512 KiB of
        // counters: at most eight keep them small.
        parallelGroup4(b, size, I, V, threads_ < 8 ? threads_ : 8);
        numSuffixes = size + 1;
        return;
    }

    Index F[256] = {};
    for (Index x = depth - 1; x < size; ++x) ++F[b[x]];
    Index sum = 0;
    for (unsigned c = 0; c < 256; ++c) {
        const Index count = F[c];
        F[c] = sum;
        sum += count;
    }
    Index* dst = Ibuf.get();
    for (Index x = 0; x + depth <= size; ++x) dst[1 + F[b[x + depth - 1]]++] = x;

    // Offsets depth - 2 down to 0; k = offset + 1 suffixes are still missing.
    for (unsigned k = depth - 1; k >= 1; --k) {
        const unsigned j = k - 1;
        Q38_ASSERT(F[255] == size - k);
        for (unsigned c = 255; c > 0; --c) F[c] -= F[c - 1];
        ++F[b[j]];
        Index total = 0;
        for (unsigned c = 0; c < 256; ++c) {
            const Index count = F[c];
            F[c] = total;
            total += count;
        }
        const Index* src = Ibuf.get();
        dst = Vbuf.get();
        // The suffix of exactly j + 1 bytes is the smallest of its bucket.
        dst[1 + F[b[size - 1]]++] = size - j - 1;
        const Index placed = size - k;
        for (Index p = 1; p <= placed; ++p) {
            // The bytes are read in the previous pass's order, at random.
            if (p + prefetchDistance * 4 <= placed) prefetchRead(b + j + src[p + prefetchDistance * 4]);
            const Index x = src[p];
            dst[1 + F[b[x + j]]++] = x;
        }
        std::swap(Ibuf, Vbuf);
    }
    I = Ibuf.get();
    V = Vbuf.get();
    I[0] = size;
    numSuffixes = size + 1;
    makeVTable(begin, depth);
}

template <typename Index>
void Sadakane<Index>::makeVTable(const char* begin, unsigned k) {
    switch (k) {
        case 0: return;
        case 1: makeVTableN<1>(begin); return;
        case 2: makeVTableN<2>(begin); return;
        case 3: makeVTableN<3>(begin); return;
        case 4: makeVTableN<4>(begin); return;
        case 5: makeVTableN<5>(begin); return;
        case 6: makeVTableN<6>(begin); return;
        case 7: makeVTableN<7>(begin); return;
        case 8: makeVTableN<8>(begin); return;
        case 9: makeVTableN<9>(begin); return;
        case 10: makeVTableN<10>(begin); return;
        case 11: makeVTableN<11>(begin); return;
        case 12: makeVTableN<12>(begin); return;
        case 13: makeVTableN<13>(begin); return;
        case 14: makeVTableN<14>(begin); return;
        case 15: makeVTableN<15>(begin); return;
        case 16: makeVTableN<16>(begin); return;
        default: numberGroups<0>(reinterpret_cast<const unsigned char*>(begin), k); return;
    }
}

template <typename Index>
template <unsigned N>
void Sadakane<Index>::makeVTableN(const char* begin) {
    static_assert(N >= 1 && N <= 16, "compile-time prefix lengths are 1 to 16");
    numberGroups<N>(reinterpret_cast<const unsigned char*>(begin), N);
}

template <typename Index>
template <unsigned N>
void Sadakane<Index>::numberGroups(const unsigned char* b, unsigned k) {
    const PrefixEqual<N> equal(k);
    const Index n = numSuffixes - 1;
    const Index firstShort = n - k + 1;  // suffixes from here have fewer than k bytes
    Index i = 0;
    Index ahead = 0;  // the prefix bytes and V entries of I[i ... ahead) are on their way
    auto fetchAhead = [&]() {
        const Index stop = numSuffixes - i > 4 * prefetchDistance ? i + 4 * prefetchDistance : numSuffixes;
        for (; ahead < stop; ++ahead) {
            prefetchRead(b + I[ahead]);
            prefetchRead(V + I[ahead]);
        }
    };
    auto assign = [&](Index from, Index to) {
        if (to - from == 1) {
            V[I[from]] = to;
            I[from] = sortedRun + 1;
        } else {
            for (Index p = from; p < to; ++p) V[I[p]] = to;
        }
    };
    // While a short suffix lies ahead it stops every scan: no bound test.
    for (unsigned shortLeft = k; shortLeft > 0;) {
        fetchAhead();
        const Index x = I[i];
        if (x >= firstShort) {
            V[x] = i + 1;
            I[i] = sortedRun + 1;
            ++i;
            --shortLeft;
            continue;
        }
        Index j = i + 1;
        while (I[j] < firstShort && equal(b + I[j], b + x)) ++j;
        assign(i, j);
        i = j;
    }
    while (i < numSuffixes) {
        fetchAhead();
        const Index x = I[i];
        Index j = i + 1;
        while (j < numSuffixes && equal(b + I[j], b + x)) ++j;
        assign(i, j);
        i = j;
    }
}

template <typename Index>
void Sadakane<Index>::suffixSort(unsigned h) {
    const Index all = sortedRun + numSuffixes;
    if (threads_ > 1 && I[0] != all) {
        parallelSuffixSort(I, V, numSuffixes, h, threads_, TeamTuning(), passStarts.empty() ? nullptr : &passStarts);
        return;
    }
    if (I[0] != all) reserveSplitKeys(numSuffixes < splitKeyLimit ? numSuffixes : splitKeyLimit);
    while (I[0] != all) {
        const SpareCores::Loan lent(lender(), 64 - 1);
        if (lent.count() > 0) {
            // Cores other blocks no longer need: a team takes the passes
            // over from here, the tables being complete between passes.
            // Once a pass has merged runs, the team cuts the table where
            // that pass met group starts.
            reserveSplitKeys(0);
            depth_ = 0;
            parallelSuffixSort(I, V, numSuffixes, h, 1 + lent.count(), TeamTuning(),
                               passStarts.empty() ? nullptr : &passStarts);
            passStarts = std::vector<Index>();
            return;
        }
        sortPass(h);
        h *= 2;
    }
    reserveSplitKeys(0);
    depth_ = 0;
}

template <typename Index>
SpareCores* Sadakane<Index>::lender() const {
    // Below this, more threads cost more to start than they save.
    constexpr Index borrowFrom = Index(1) << 16;
    return threads_ == 1 && numSuffixes >= borrowFrom ? spare_ : nullptr;
}

template <typename Index>
void Sadakane<Index>::sortPass(unsigned h) {
    Vh = V + h;
    depth_ = h;
    // The scan fetches ahead the group number and key of every unsorted
    // suffix it is about to meet, so that the small groups, which are most
    // of the work, find both in cache instead of waiting on one memory
    // access after another.
    PassScan scan(I, V, Vh, 0, numSuffixes);
    passStarts.clear();
    passStarts.push_back(0);
    const Index startsApart = std::max<Index>(64, numSuffixes / 512);
    Index nextStart = startsApart;
    Index lo, hi;
    while (scan.next(lo, hi)) {
        // Once this pass is past it, nothing merges across a group's start:
        // the group's own places begin there.
        if (lo >= nextStart) {
            passStarts.push_back(lo);
            nextStart = lo + startsApart;
        }
        scan.fetchAhead(lo, hi, largeGroup);
        sortNonEmpty(lo, hi);
    }
}

template <typename Index>
void Sadakane<Index>::sortNonEmpty(Index lo, Index hi) {
    switch (hi - lo) {
        case 0:
        case 1: I[lo] = sortedRun + 1; return;
        case 2: sort2(lo); return;
        case 3: sort3(lo); return;
        case 4: sort4(lo); return;
        default:
            if (hi - lo >= tandemMin && depth_ != 0 && splitTandem(lo, hi, depth_)) return;
            ternaryQuickSort(lo, hi);
            return;
    }
}

template <typename Index>
bool Sadakane<Index>::splitTandem(Index lo, Index hi, unsigned h) {
    // See splitTandemGroup. Numbers go straight to V (members whose group
    // ends where theirs did keep theirs), and the groups' ends come back
    // from there; a place is marked once the scans have read it. A group
    // sorted whole (periodic blocks) becomes one run, so that the next pass
    // steps over it at once instead of merging its places one by one.
    struct Numbers {
        Index* I;
        Index* V;
        Index current;
        Index alones = 0;
        Index end(Index, Index x) const { return V[x]; }
        void give(Index, Index x, Index e) const {
            if (e != current) V[x] = e;
        }
        void alone(Index p) {
            I[p] = sortedRun + 1;
            ++alones;
        }
    } numbers{I, V, hi};
    if (splitKeyCount == 0) return false;
    const Index d = findTandemShift(I, V, lo, hi, h);
    if (d == 0) return false;
    // L and R in the scratch: no more than a quarter of the group (chains
    // through M four members long on average), or the ordinary split does
    // better.
    const Index room = std::min<Index>(splitKeyCount, (hi - lo) / 4);
    if (!splitTandemGroup(I, V, h, lo, hi, d, splitKeys.get(), room, numbers)) return false;
    if (numbers.alones == hi - lo) I[lo] = sortedRun + (hi - lo);
    return true;
}

template <typename Index>
void Sadakane<Index>::sort(Index lo, Index hi) {
    if (hi - lo < 5)
        sortSmall(lo, hi);
    else
        ternaryQuickSort(lo, hi);
}

template <typename Index>
void Sadakane<Index>::sortSmall(Index lo, Index hi) {
    switch (hi - lo) {
        case 0: return;
        case 1:
            V[I[lo]] = hi;
            I[lo] = sortedRun + 1;
            return;
        case 2: sort2(lo); return;
        case 3: sort3(lo); return;
        default: sort4(lo); return;
    }
}

template <typename Index>
void Sadakane<Index>::numberEqual(Index a, Index b, Index current) {
    // Members keep their group's number until their part is numbered, so a
    // part that ends where the group ended needs no writes.
    if (b != current) {
        for (Index p = a; p < b; ++p) {
            if (p + prefetchDistance < b) prefetchRead(V + I[p + prefetchDistance]);
            V[I[p]] = b;
        }
    }
    if (b - a == 1) I[a] = sortedRun + 1;
}

template <typename Index>
void Sadakane<Index>::ternaryQuickSort(Index lo, Index hi) {
    // A split's greater part is handled by this loop and its smaller part
    // before it; the frames wait on the heap so no block can exhaust the
    // machine stack, and the order smaller, equal, greater is kept.
    const std::size_t base = pending.size();
    const Index current = V[I[lo]];  // the number all members still carry
    for (;;) {
        if (hi - lo >= gatherMin && hi - lo <= splitKeyCount) {
            sortGathered(lo, hi);
            lo = hi;
        }
        if (hi - lo >= 5) {
            Index* const T = I;
            const Index* const key = Vh;
            const Index P = key[T[(lo + hi) / 2]];
            Index a = lo;
            Index c = hi - 1;
            for (;;) {
                Index ka;
                // Keys are scattered over V: fetch a few ahead of the scans.
                while ((ka = key[T[a]]) < P) {
                    if (a + prefetchDistance < hi) prefetchRead(key + T[a + prefetchDistance]);
                    ++a;
                }
                if (ka == P) break;
                std::swap(T[a], T[c]);
                --c;
            }
            Index b = a + 1;
            for (;;) {
                Index kc;
                if (c >= b + prefetchDistance) {
                    prefetchRead(key + T[c - prefetchDistance]);
                    prefetchRead(key + T[b + prefetchDistance]);
                }
                while ((kc = key[T[c]]) > P) {
                    if (c >= b + prefetchDistance) prefetchRead(key + T[c - prefetchDistance]);
                    --c;
                }
                if (kc < P) {
                    const Index t = T[a];
                    T[a] = T[c];
                    T[c] = T[b];
                    T[b] = t;
                    ++a;
                    ++b;
                } else if (c > b) {
                    std::swap(T[b], T[c]);
                    ++b;
                } else {
                    if (c == b) ++b;
                    break;
                }
            }
            if (a - lo >= 5) {
                pending.push_back({a, b, hi});
                hi = a;
                continue;
            }
            sortSmall(lo, a);
            numberEqual(a, b, current);
            lo = b;
            continue;
        }
        sortSmall(lo, hi);
        if (pending.size() == base) return;
        const Pending f = pending.back();
        pending.pop_back();
        numberEqual(f.equalBegin, f.equalEnd, current);
        lo = f.equalEnd;
        hi = f.greaterEnd;
    }
}

template <typename Index>
void Sadakane<Index>::reserveSplitKeys(Index count) {
    // Keys, then room for the members and keys of a split on their way.
    splitKeys.reset(count > 0 ? new Index[3 * std::size_t(count)] : nullptr);
    splitKeyCount = count;
}

template <typename Index>
void Sadakane<Index>::sortGathered(Index lo, Index hi) {
    // The keys are read once, with many loads in flight, into an array that
    // moves with I; every later split of the range then scans contiguous
    // memory. The copy is a snapshot: refinements made while the range is
    // sorted are not seen. Any snapshot orders the suffixes consistently
    // (a smaller key always means a smaller suffix), so the order comes out
    // the same, at worst with a few more equal keys left for the next pass.
    Index* const T = I + lo;
    Index* const K = splitKeys.get();
    const Index m = hi - lo;
    gatherKeys(T, Vh, m, K);
    // The parts are numbered straight into V. Members keep their group's
    // number until their part is numbered, so a part that ends where the
    // group ended needs no writes.
    struct Parts {
        Sadakane* s;
        Index* T;
        Index lo, m, current;
        void small(Index l, Index h) const { s->sortSmallGathered(lo + l, h - l, s->splitKeys.get() + l); }
        void equal(Index a, Index b) const {
            if (lo + b != current) s->numberGathered(T, a, b, lo + b);
            if (b - a == 1) T[a] = sortedRun + 1;
        }
        void runs(const Index* keys) const {
            // The numbers land at random: their lines are asked for ahead,
            // across the runs.
            Index* const V = s->V;
            const Index ahead = m > gatherDistance ? gatherDistance : m;
            for (Index p = 0; p < ahead; ++p) prefetchWrite(V + T[p]);
            forEachRun(keys, 0, m, [&](Index a, Index b) {
                if (lo + b != current)
                    for (Index p = a; p < b; ++p) {
                        if (p + gatherDistance < m) prefetchWrite(V + T[p + gatherDistance]);
                        V[T[p]] = lo + b;
                    }
                if (b - a == 1) T[a] = sortedRun + 1;
            });
        }
    } parts{this, T, lo, m, V[T[0]]};
    splitGatheredGroup(T, K, m, K + splitKeyCount, K + 2 * std::size_t(splitKeyCount), digitCounts, pending,
                       smallGroup, parts);
}

template <typename Index>
void Sadakane<Index>::numberGathered(const Index* T, Index a, Index b, Index number) {
    // The members of a large group were not fetched ahead by the pass, and
    // their numbers land at random: ask for the lines ahead.
    for (Index p = a; p < b; ++p) {
        if (p + gatherDistance < b) prefetchWrite(V + T[p + gatherDistance]);
        V[T[p]] = number;
    }
}

template <typename Index>
void Sadakane<Index>::sortSmallGathered(Index lo, Index m, const Index* keys) {
    // The networks of sort3 and sort4 on keys already in hand.
    Index x[4], key[4];
    for (Index p = 0; p < m; ++p) {
        x[p] = I[lo + p];
        key[p] = keys[p];
    }
    if (m == 0) return;
    if (m == 1) {
        V[x[0]] = lo + 1;
        I[lo] = sortedRun + 1;
        return;
    }
    sortNetwork(x, key, static_cast<unsigned>(m));
    finishRuns(lo, static_cast<unsigned>(m), x, key);
}

template <typename Index>
void Sadakane<Index>::finishRuns(Index lo, unsigned m, Index* x, Index* key) {
    for (unsigned p = 0; p < m; ++p) I[lo + p] = x[p];
    unsigned runStart = m;  // start of the current run of sorted places; m: none
    forEachRun(key, 0, m, [&](unsigned s, unsigned t) {
        for (unsigned p = s; p < t; ++p) V[x[p]] = lo + t;
        if (t - s == 1) {
            if (runStart == m) runStart = s;
            I[lo + runStart] = sortedRun + (t - runStart);
        } else {
            runStart = m;
        }
    });
}

template <typename Index>
void Sadakane<Index>::sort2(Index lo) {
    const Index x0 = I[lo], x1 = I[lo + 1];
    const Index k0 = Vh[x0], k1 = Vh[x1];
    if (k0 == k1) {
        V[x0] = V[x1] = lo + 2;
        return;
    }
    if (k0 < k1) {
        V[x0] = lo + 1;
        V[x1] = lo + 2;
    } else {
        V[x1] = lo + 1;
        V[x0] = lo + 2;
    }
    I[lo] = sortedRun + 2;
}

template <typename Index>
void Sadakane<Index>::sort3(Index lo) {
    Index x[3] = {I[lo], I[lo + 1], I[lo + 2]};
    Index key[3] = {Vh[x[0]], Vh[x[1]], Vh[x[2]]};
    sortNetwork(x, key, 3);
    finishRuns(lo, 3, x, key);
}

template <typename Index>
void Sadakane<Index>::sort4(Index lo) {
    Index x[4] = {I[lo], I[lo + 1], I[lo + 2], I[lo + 3]};
    Index key[4] = {Vh[x[0]], Vh[x[1]], Vh[x[2]], Vh[x[3]]};
    sortNetwork(x, key, 4);
    finishRuns(lo, 4, x, key);
}

template <typename Index>
unsigned Sadakane<Index>::recoverBwt(char* block) {
    const Index n = numSuffixes - 1;
    const SpareCores::Loan lent(n >= recoverThreadsFrom ? lender() : nullptr, 64 - 1);
    const unsigned threads = n >= recoverThreadsFrom ? threads_ + lent.count() : 1;
    // The order table, no longer needed, holds the copy of the block: no
    // allocation, and the peak stays that of the sort.
    I = nullptr;
    numSuffixes = n;
    const unsigned primary = transformFromRanks(block, V, n, reinterpret_cast<char*>(Ibuf.get()), threads);
    Ibuf.reset();
    Vbuf.reset();
    V = Vh = nullptr;
    return primary;
}

template class Sadakane<std::uint32_t>;
