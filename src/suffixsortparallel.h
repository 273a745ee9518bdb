// The doubling passes and the 4-byte grouping of Sadakane on a team of
// threads, and the steps the one-thread passes share with the team: the
// pass walk, the gathering and splitting of a group's keys, the networks,
// the pivots and the tandem split. Internal to the suffix sorter.
//
// In a pass every thread takes chunks of the order table (fixed ranges
// whose ends are group ends, so they stay group ends for good), merges the
// sorted-run markers in them and splits the groups it meets, a batch of a
// few thousand entries at a time: it reads the keys of the batch's groups
// into its share of one scratch budget, splits them there and stores the
// new numbers in V at once, while the others do the same. A key read while
// another thread was storing a batch may have caught that batch's group
// half renumbered (some members with new numbers, some with the old), and
// a split on such keys would be wrong. So each thread counts the batches it
// stores (odd while one is being stored, a seqlock) and keeps the range of
// places of its last ones; before storing its own, a thread looks at what
// the others stored since it began reading, and reads again each key inside
// one of those ranges (then checks those again). Keys from before or after a
// group is renumbered are both consistent with the final order, so the
// numbers a split gives may differ with the scheduling but the order that
// results is the unique one. A group larger than a third of a thread's
// share is split three ways by all threads together, between barriers:
// each partitions a slice in place, one thread fixes up the layout, and all
// number the equal part after another barrier; the other parts come back
// as work for the next round of the pass.
//
// The scratch and the counters are allocated before any thread starts, so
// std::bad_alloc reaches the caller from there; the few small lists that
// grow while the team runs would end the program if memory ran out then.
#ifndef VEXAQ38_SUFFIXSORTPARALLEL_H
#define VEXAQ38_SUFFIXSORTPARALLEL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base.h"
#include "platform.h"
#include "suffixarray.h"

// A read of V that another thread may be writing at the same time (the
// team's passes publish numbers while others gather keys): a relaxed atomic
// load, the same plain load on the machines built for.
inline std::uint32_t loadShared(const std::uint32_t* p) {
#if defined(__GNUC__) || defined(__clang__)
    return __atomic_load_n(p, __ATOMIC_RELAXED);
#else
    return *p;
#endif
}

// The batches another thread stored, or began to store, between two
// readings `before` and `after` of its count (twice the batches it has
// stored, plus one while it stores one): batches first ... last, numbered
// from 0, or none when both readings are the same even count.
struct BatchesBetween {
    bool any;
    std::uint64_t first, last;
};
inline BatchesBetween batchesBetween(std::uint64_t before, std::uint64_t after) {
    if (before == after && (before & 1) == 0) return {false, 0, 0};
    return {true, before / 2, (after - 1) / 2};
}

// Whether `key`, a group number, names a group inside the places [lo, hi):
// a member of the group [a, b) carries a number in (a, b].
inline bool keyInPlaces(std::uint32_t key, std::uint32_t lo, std::uint32_t hi) { return key - lo - 1 < hi - lo; }

// How many places past the current group a pass asks for the numbers and
// keys of the unsorted suffixes.
constexpr unsigned passLookahead = 96;

// The walk of a doubling pass over the places [from, end) of I, shared by
// the one-thread sorter and the team (end a group end). next() merges each
// stretch of sorted runs into one marker and gives the next unsorted group
// [lo, hi), hi being the number its members carry. fetchAhead(lo, hi, own)
// asks for the group number and key (Vh) of every unsorted suffix up to
// passLookahead places past the group, stepping over runs by their markers;
// a group of more than `own` members fetches its own keys and is skipped.
// The fetching cursor stays behind nothing the caller has rewritten: it
// reads places at or after the group it was given last.
class PassScan {
public:
    using Index = std::uint32_t;
    static constexpr Index marker = Sadakane<Index>::sortedRun;

    PassScan(Index* I, const Index* V, const Index* Vh, Index from, Index end)
        : I_(I), V_(V), Vh_(Vh), i_(from), ahead_(from), end_(end) {}

    bool next(Index& lo, Index& hi) {
        if (i_ >= end_) return false;
        if (I_[i_] & marker) {
            Index j = i_ + (I_[i_] - marker);
            while (j < end_ && (I_[j] & marker)) j += I_[j] - marker;
            I_[i_] = marker + (j - i_);
            i_ = j;
            if (j >= end_) return false;
        }
        lo = i_;
        hi = V_[I_[i_]];
        i_ = hi;
        return true;
    }

    void fetchAhead(Index lo, Index hi, Index own) {
        if (ahead_ < hi && hi - lo > own) ahead_ = hi;
        if (ahead_ < lo) ahead_ = lo;
        const Index stop = end_ - hi > passLookahead ? hi + passLookahead : end_;
        while (ahead_ < stop) {
            const Index x = I_[ahead_];
            if (x & marker) {
                ahead_ += x - marker;
            } else {
                prefetchRead(V_ + x);
                prefetchRead(Vh_ + x);
                ++ahead_;
            }
        }
    }

private:
    Index* I_;
    const Index* V_;
    const Index* Vh_;
    Index i_, ahead_;
    const Index end_;
};

// xorshift32: a fixed sequence, so sorts repeat exactly.
inline std::uint32_t nextRandom(std::uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

inline std::uint32_t medianOf3(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The pivot of a split of `span` members: the median of the keys
// keyAt(p) of three pseudo-random places p < span, drawn in turn from
// `seed`. Random places because a stable split keeps the members' pattern
// from step to step, so a fixed place can meet a lone key again and again
// (quadratic time on periodic blocks).
template <typename KeyAt>
std::uint32_t randomPivot(std::uint32_t span, std::uint32_t& seed, KeyAt keyAt) {
    const std::uint32_t x = keyAt(nextRandom(seed) % span);
    const std::uint32_t y = keyAt(nextRandom(seed) % span);
    const std::uint32_t z = keyAt(nextRandom(seed) % span);
    return medianOf3(x, y, z);
}

// Sorts m <= 4 members x[0, m) by their keys key[0, m) with a
// compare-exchange network. An exchange happens only when the first key is
// strictly greater, so equal keys keep their order.
inline void sortNetwork(std::uint32_t* x, std::uint32_t* key, unsigned m) {
    auto exchange = [x, key](unsigned i, unsigned j) {
        if (key[i] > key[j]) {
            std::swap(x[i], x[j]);
            std::swap(key[i], key[j]);
        }
    };
    switch (m) {
        case 0:
        case 1: return;
        case 2: exchange(0, 1); return;
        case 3:
            exchange(0, 1);
            exchange(1, 2);
            exchange(0, 1);
            return;
        default:
            exchange(0, 1);
            exchange(2, 3);
            exchange(0, 2);
            exchange(1, 3);
            exchange(1, 2);
            return;
    }
}

// One level of the three-way split of a gathered group, shared by the
// one-thread sorter and the team: the members T[l, h) with keys K[l, h)
// (h - l >= 5) split stably through the scratch ST and SK (h - l entries
// each) around a random pivot, into smaller keys [l, a), equal [a, b) and
// greater [b, h). Stable, so the members keep the increasing start order
// the grouping gave them and the next pass reads their keys in address
// order. `seed` carries the generator from call to call.
inline void splitGathered3(std::uint32_t* T, std::uint32_t* K, std::uint32_t l, std::uint32_t h,
                           std::uint32_t& seed, std::uint32_t* ST, std::uint32_t* SK, std::uint32_t& a,
                           std::uint32_t& b) {
    using Index = std::uint32_t;
    const Index span = h - l;
    const Index P = randomPivot(span, seed, [K, l](Index p) { return K[l + p]; });
    Index less = 0, equal = 0;
    for (Index p = l; p < h; ++p) {
        less += K[p] < P;
        equal += K[p] == P;
    }
    a = l + less;
    b = a + equal;
    if (equal == span) return;
    Index pl = 0, pe = less, pg = less + equal;
    for (Index p = l; p < h; ++p) {
        const Index k = K[p];
        const Index q = k < P ? pl++ : k == P ? pe++ : pg++;
        ST[q] = T[p];
        SK[q] = k;
    }
    std::copy(ST, ST + span, T + l);
    std::copy(SK, SK + span, K + l);
}

// The digit sort of a gathered group, shared by the one-thread sorter and
// the team: a stable radix sort of the m members at T by their keys at K
// (least significant digit first, digits of at most `maxDigitBits` bits,
// narrower for smaller groups, whose counters would otherwise cost more to
// clear than the members to move), through the scratch ST and SK (m entries
// each). Being stable, it leaves the members in exactly the order three-way
// splits would. On return T and K point at the sorted members and keys
// (either the arrays given or the scratch). Declines, returning false and
// changing nothing, a group whose keys sit mostly in a few values (three
// quarters of it on its smallest, its largest or a sampled key, as in
// periodic blocks): a level or two of splits sets those aside, where the
// passes would move everything two or three times.
inline bool radixSortGathered(std::uint32_t*& T, std::uint32_t*& K, std::uint32_t m, std::uint32_t* ST,
                              std::uint32_t* SK, std::vector<std::uint32_t>& counts, unsigned maxDigitBits) {
    using Index = std::uint32_t;
    Index low = K[0], high = K[0];
    for (Index p = 1; p < m; ++p) {
        low = std::min(low, K[p]);
        high = std::max(high, K[p]);
    }
    const Index a = K[m / 4], b = K[m / 2], c3 = K[3 * (m / 4)];
    const Index sample = medianOf3(a, b, c3);
    Index covered = 0;
    for (Index p = 0; p < m; ++p) covered += (K[p] == low) | (K[p] == high) | (K[p] == sample);
    if (4 * std::uint64_t(covered) >= 3 * std::uint64_t(m)) return false;
    const Index span = high - low;
    unsigned bits = 0;
    while (bits < 32 && (span >> bits) != 0) ++bits;
    unsigned width = 1;
    while (width < maxDigitBits && (Index(1) << width) < m) ++width;
    const unsigned passes = (bits + width - 1) / width;
    width = (bits + passes - 1) / passes;
    const Index mask = (Index(1) << width) - 1;
    // All digits counted in one read of the keys.
    counts.assign(std::size_t(passes) << width, 0);
    for (Index p = 0; p < m; ++p) {
        const Index k = K[p] - low;
        for (unsigned d = 0; d < passes; ++d) ++counts[(std::size_t(d) << width) + ((k >> (d * width)) & mask)];
    }
    for (unsigned d = 0; d < passes; ++d) {
        Index* const c = counts.data() + (std::size_t(d) << width);
        Index sum = 0;
        for (Index v = 0; v <= mask; ++v) {
            const Index n = c[v];
            c[v] = sum;
            sum += n;
        }
        const unsigned shift = d * width;
        for (Index p = 0; p < m; ++p) {
            const Index k = K[p];
            const Index q = c[((k - low) >> shift) & mask]++;
            ST[q] = T[p];
            SK[q] = k;
        }
        std::swap(T, ST);
        std::swap(K, SK);
    }
    return true;
}

// Widest digit of the gathered digit sorts (2^11 counters per pass).
constexpr unsigned gatheredDigitBits = 11;

// Random loads take hundreds of nanoseconds on a busy machine: a gather
// asks for keys this many members ahead.
constexpr unsigned gatherDistance = 64;

// The keys Vh[x] of the m members x = T[0, m) into K[0, m), many loads in
// flight.
inline void gatherKeys(const std::uint32_t* T, const std::uint32_t* Vh, std::uint32_t m, std::uint32_t* K) {
    for (std::uint32_t p = 0; p < m; ++p) {
        if (p + gatherDistance < m) prefetchRead(Vh + T[p + gatherDistance]);
        K[p] = loadShared(Vh + T[p]);
    }
}

// Calls run(s, t) for each stretch [s, t) of equal keys of K[from, to), in
// order. run may overwrite K[s, t): the stretch has been read by then.
template <typename Run>
void forEachRun(const std::uint32_t* K, std::uint32_t from, std::uint32_t to, Run run) {
    for (std::uint32_t s = from; s < to;) {
        std::uint32_t t = s + 1;
        while (t < to && K[t] == K[s]) ++t;
        run(s, t);
        s = t;
    }
}

// The split of a gathered group, shared by the one-thread sorter and the
// team: the m >= 2 members T[0, m) with keys K[0, m) are put in the order
// of their keys, stably, and `parts` is told the groups this leaves, from
// the first place to the last:
//   parts.equal(a, b)  the members [a, b) share one key: one group
//   parts.small(l, h)  the members [l, h), fewer than smallBelow (five at
//                      least), are still to be sorted by their keys K[l, h)
//                      and numbered
//   parts.runs(keys)   the whole group is in order by digits, its keys at
//                      keys[0, m) (K or the scratch): a group per stretch
//                      of equal keys
// A group with one key is one part; smaller than smallBelow, a small one;
// spread keys go to the digit sort (radixSortGathered), and the rest is
// split three ways (splitGathered3) down to smallBelow, the smaller part
// of each split waiting on `frames` (left as found) while the rest goes
// on, never deep recursion. ST and SK hold m entries each.
template <typename Frames, typename Parts>
void splitGatheredGroup(std::uint32_t* T, std::uint32_t* K, std::uint32_t m, std::uint32_t* ST, std::uint32_t* SK,
                        std::vector<std::uint32_t>& counts, Frames& frames, std::uint32_t smallBelow,
                        Parts& parts) {
    using Index = std::uint32_t;
    Index differ = 0;
    for (Index p = 0; p < m; ++p) differ |= K[p] ^ K[0];
    if (differ == 0) {  // periodic blocks, long repeats: nothing splits
        parts.equal(0, m);
        return;
    }
    if (m < smallBelow) {
        parts.small(0, m);
        return;
    }
    Index* sortedT = T;
    Index* sortedK = K;
    if (radixSortGathered(sortedT, sortedK, m, ST, SK, counts, gatheredDigitBits)) {
        if (sortedT != T) std::copy(sortedT, sortedT + m, T);
        parts.runs(sortedK);
        return;
    }
    const std::size_t base = frames.size();
    std::uint32_t seed = 0x9e3779b9u ^ m;
    Index l = 0, h = m;
    for (;;) {
        if (h - l >= smallBelow) {
            Index a, b;
            splitGathered3(T, K, l, h, seed, ST, SK, a, b);
            if (a - l >= smallBelow) {
                frames.push_back({a, b, h});
                h = a;
                continue;
            }
            parts.small(l, a);
            parts.equal(a, b);
            l = b;
            continue;
        }
        parts.small(l, h);
        if (frames.size() == base) return;
        const auto f = frames.back();
        frames.pop_back();
        parts.equal(f.equalBegin, f.equalEnd);
        l = f.equalEnd;
        h = f.greaterEnd;
    }
}

// The tandem split of a group, shared by the one-thread sorter and the team.
// Groups from tandemMin members look for a period; tandemSample members
// confirm one.
constexpr std::uint32_t tandemMin = 64;
constexpr unsigned tandemSample = 32;

// A period d <= h of the group [lo, hi) at level h, or 0. The grouping and
// the stable splits leave a group's members in start order, so in a repeat
// of period d neighbours mostly lie d apart: the candidates cost nothing to
// find. A member x has x + d in the group when V[x + d] is the group's
// number, hi. A sample of the group must show three quarters of it
// recurring; it gives up once too many miss, so a group that is no repeat
// costs a few loads.
inline std::uint32_t findTandemShift(const std::uint32_t* I, const std::uint32_t* V, std::uint32_t lo,
                                     std::uint32_t hi, unsigned h) {
    using Index = std::uint32_t;
    const Index m = hi - lo;
    const Index probes[3] = {lo, lo + m / 2, lo + m / 4};
    Index tried[3] = {0, 0, 0};
    for (unsigned k = 0; k < 3; ++k) {
        const Index a = I[probes[k]], b = I[probes[k] + 1];
        if (b <= a || b - a > h) continue;
        const Index d = b - a;
        if (d == tried[0] || d == tried[1]) continue;
        tried[k] = d;
        unsigned miss = 0;
        for (unsigned i = 0; i < tandemSample && 4 * miss <= tandemSample; ++i)
            miss += loadShared(V + I[lo + Index(std::uint64_t(m) * i / tandemSample)] + d) != hi;
        if (4 * miss <= tandemSample) return d;
    }
    return 0;
}

// Splits the group [lo, hi) of I (m = hi - lo >= 4 members, each carrying
// the number hi in V, which nothing else carries) at level h by a period
// 1 <= d <= h. Members share their first h >= d bytes, so x sorts before y
// exactly when x + d sorts before y + d. Members whose x + d lies in an
// earlier group (L) come first, those in a later group (R) last, and those
// in the group itself (M) between; L and R split by their keys V[x + h]. An
// M member's chain x, x + d, x + 2d, ... stays in the group until it
// reaches an L or R member. The M members whose chain ends in L follow L in
// the order of their suffixes d on, so a forward scan over the group's
// final order, appending z - d for every z it passes whose z - d is in M,
// places them all; a backward scan from R places the others from the back.
// The members brought in by one group share d bytes more than it, at least
// 2h, and form one group of the next pass; those of a member alone are
// alone. No key of M is read.
//
// `scratch` holds 3 * room entries. More than `room` members in L and R
// (the chains through M too short to pay), and it returns false having
// changed nothing. Otherwise I[lo, hi) holds the final order and `numbers`
// was told every place's group number:
//   end(p, x)      the number already given to place p (member x)
//   give(p, x, e)  place p, member x, is in the group numbered e
//   alone(p)       place p is a group of one and is not read again
// A number is given before the scans can ask for it; V itself is only read
// at places of M not yet given a number, so the policy may write V.
template <typename Numbers>
bool splitTandemGroup(std::uint32_t* I, const std::uint32_t* V, unsigned h, std::uint32_t lo, std::uint32_t hi,
                      std::uint32_t d, std::uint32_t* scratch, std::uint32_t room, Numbers& numbers,
                      std::uint32_t* keysRead = nullptr) {
    using Index = std::uint32_t;
    const Index* const Vh = V + h;
    Index* const T = scratch;  // L from the front, R from the back
    Index* const K = T + room;
    Index* const P = K + room;
    Index nl = 0, nr = 0;
    for (Index p = lo; p < hi; ++p) {
        if (p + 64 < hi) prefetchRead(V + d + I[p + 64]);
        const Index x = I[p];
        const Index next = loadShared(V + x + d);
        if (next == hi) continue;
        if (nl + nr == room) return false;
        const Index slot = next < hi ? nl++ : room - ++nr;
        T[slot] = x;
        K[slot] = loadShared(Vh + x);
    }
    // Sorted by key, ties in start order (the order the next pass and the
    // next search for a period like).
    auto place = [&](Index first, Index count, Index at) {
        for (Index i = 0; i < count; ++i) P[i] = first + i;
        std::sort(P, P + count, [&](Index a, Index b) { return K[a] < K[b] || (K[a] == K[b] && T[a] < T[b]); });
        for (Index s = 0; s < count;) {
            Index t = s + 1;
            while (t < count && K[P[t]] == K[P[s]]) ++t;
            for (Index i = s; i < t; ++i) {
                I[at + i] = T[P[i]];
                numbers.give(at + i, T[P[i]], at + t);
            }
            s = t;
        }
    };
    if (keysRead) {
        keysRead[0] = nl;
        keysRead[1] = nr;
    }
    place(0, nl, lo);
    place(room - nr, nr, hi - nr);

    // Forward, a group at a time: every group of the final order is
    // complete, and numbered by its end, before the scan reaches it.
    Index q = lo + nl;  // the next place to fill
    for (Index p = lo; p < q;) {
        const Index b = numbers.end(p, I[p]);
        const Index q0 = q;
        for (Index r = p; r < b; ++r) {
            if (r + 64 < q && I[r + 64] >= d) prefetchRead(V + I[r + 64] - d);
            const Index z = I[r];
            if (z >= d && loadShared(V + z - d) == hi) I[q++] = z - d;
        }
        if (b - p == 1) numbers.alone(p);
        for (Index r = q0; r < q; ++r) numbers.give(r, I[r], q);
        p = b;
    }
    // Backward: each group of R or M brings in a group that ends where the
    // places filled from the back begin, so its number is known at once.
    Index f = hi - nr;  // the first place filled from the back
    Index source = 0, number = 0;
    for (Index p = hi; p > f;) {
        --p;
        if (p >= f + 64 && I[p - 64] >= d) prefetchRead(V + I[p - 64] - d);
        const Index z = I[p];
        const Index e = numbers.end(p, z);
        if (z >= d && loadShared(V + z - d) == hi) {
            if (e != source) {
                source = e;
                number = f;
            }
            --f;
            I[f] = z - d;
            numbers.give(f, z - d, number);
        }
        // Alone when its group ends here and does not go on before it (a
        // place before it is filled, and numbered, if its group does).
        if (e == p + 1 && !(p > f && numbers.end(p - 1, I[p - 1]) == e)) numbers.alone(p);
    }
    Q38_ASSERT(q == f);
    return true;
}

// Doubling passes from h on up to `threads` threads (as many as the system
// starts, down to the caller alone) over the tables I and V of
// n1 = n + 1 suffixes. Ends with I[0] = marker + n1 like the one-thread sort.
// Straight from the grouping (makeTables/makeTables2, runs not yet merged)
// the team finds its chunks itself; after passes that merged runs, `starts`
// gives them: increasing places from 0, each the start of a group or of a
// run that nothing merges across (the group starts a one-thread pass met).
// The team's batches: the records a batch may fill before it is stored
// (unless one group needs more), and how many of its last batches a thread
// keeps the ranges of (at least 2). A reader that finds more than half that
// many stored by another while it read, eight times over, leaves its
// batch's groups to the cooperative splits. Of the keys of a batch, at most
// rereadKeys are read again one by one; a group whose keys would pass that
// is read again whole. Tests shrink all three to drive those paths.
struct TeamTuning {
    std::size_t batchEntries = std::size_t(1) << 12;
    unsigned ringSize = 256;
    std::size_t rereadKeys = 4096;
};

void parallelSuffixSort(std::uint32_t* I, std::uint32_t* V, std::uint32_t n1, unsigned h, unsigned threads,
                        const TeamTuning& tuning = TeamTuning(),
                        const std::vector<std::uint32_t>* starts = nullptr);

// The 4-byte grouping of a block of n > 4 bytes on up to `threads` threads
// (one included; as many as start): I and V (n + 1 entries each) come out as makeTables2(b, b + n, 4)
// leaves them, singletons marked, groups numbered by their ends.
void parallelGroup4(const unsigned char* b, std::uint32_t n, std::uint32_t* I, std::uint32_t* V, unsigned threads);

#endif
