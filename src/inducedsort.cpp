#include "inducedsort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base.h"
#include "platform.h"
#include "suffixarray.h"

// Types are never stored: a suffix q is L-type when T[q] > T[q + 1], S-type
// when T[q] < T[q + 1], and of the type of q + 1 on equal symbols; suffix
// n - 1 is L-type. Inducing from q + 1 knows the type of q + 1, so the type
// of q - 1 is decided when q is placed, and the entry records which scan
// must read it:
//
//   q          (> 0) the left-to-right scan induces q - 1 (L-type) from it
//   ~q         the right-to-left scan induces q - 1 (S-type) from it
//   0          an empty slot, or an entry no scan reads again
//   kDone + c  (transform) a final row whose transform byte is c
//   kPrimary   (transform) the row of suffix 0
//
// Positions stay below 2^30, so ~q lies in [-2^30, -1] and the transform's
// codes below it.
namespace {

using Index = std::int32_t;
constexpr Index kDone = INT32_MIN;
constexpr Index kPrimary = kDone + 256;
constexpr Index kFlipLimit = -(Index(1) << 30);

// What the inducing scans leave behind: the sorted LMS substrings only, the
// suffix array, or the transform.
enum class Mode { substrings, suffixes, transform };

// The buckets of a level: K symbols, the counts C (null when there was no
// room for them: then each use counts again) and the moving pointers B.
template <typename Sym>
struct Buckets {
    const Sym* T;
    Index n, K;
    const Index* C;
    Index* B;

    // Bucket heads, or tails when `tails`, into B.
    void bounds(bool tails) {
        if (C == nullptr) {
            std::fill(B, B + K, 0);
            for (Index i = 0; i < n; ++i) ++B[T[i]];
        } else {
            std::copy(C, C + K, B);
        }
        Index sum = 0;
        for (Index c = 0; c < K; ++c) {
            sum += B[c];
            B[c] = tails ? sum : sum - B[c];
        }
    }
};

template <typename Sym>
void countSymbols(const Sym* T, Index n, Index K, Index* C) {
    std::fill(C, C + K, 0);
    for (Index i = 0; i < n; ++i) ++C[T[i]];
}

// Types as bits: bit p % 64 of word p / 64 is set when suffix p is S-type.
using Word = std::uint64_t;

// Sets the words [w0, w1) of S, given whether position 64 * w1 is S-type
// (ignored when the range holds position n - 1). The comparisons with the
// next symbol carry no dependence from one position to the next; a run of
// equal symbols then takes the type after it by an occluded fill down the
// word. On spread data a loop carrying the type, or a branch on it, would
// wait or miss at every other position.
template <typename Sym>
void compareWithNext(const Sym* T, Index count, Word& less, Word& equal) {
    for (Index k = 0; k < count; ++k) {
        less |= Word(T[k] < T[k + 1]) << k;
        equal |= Word(T[k] == T[k + 1]) << k;
    }
}

#if defined(__SSE2__)
// Bytes: 16 comparisons at a time (unsigned, by flipping the top bits).
inline void compareWithNext(const unsigned char* T, Index count, Word& less, Word& equal) {
    if (count < 64) {
        compareWithNext<unsigned char>(T, count, less, equal);
        return;
    }
    const __m128i flip = _mm_set1_epi8(char(0x80));
    for (unsigned k = 0; k < 64; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(T + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(T + k + 1));
        const __m128i lt = _mm_cmplt_epi8(_mm_xor_si128(a, flip), _mm_xor_si128(b, flip));
        less |= Word(unsigned(_mm_movemask_epi8(lt))) << k;
        equal |= Word(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)))) << k;
    }
}
#endif

template <typename Sym>
void markSTypes(const Sym* T, Index n, std::size_t w0, std::size_t w1, unsigned afterIsS, Word* S) {
    Word above = afterIsS;
    for (std::size_t w = w1; w-- > w0;) {
        const Index base = Index(w * 64);
        Word less = 0, equal = 0;
        compareWithNext(T + base, std::min<Index>(64, n - 1 - base), less, equal);  // positions with a next symbol
        Word s = less | (equal & above << 63);
        Word run = equal;
        for (unsigned d = 1; d < 64; d *= 2) {
            s |= run & s >> d;
            run &= run >> d;
        }
        S[w] = s;
        above = s & 1;
    }
}

// The LMS positions of word w: S-type after an L-type (never position 0).
inline Word lmsWord(const Word* S, std::size_t w) {
    const Word below = w > 0 ? S[w - 1] >> 63 : 1;
    return S[w] & ~(S[w] << 1 | below);
}

// Calls f(p) for the LMS positions of words [w0, w1), from right to left.
template <typename F>
void forEachLmsIn(const Word* S, std::size_t w0, std::size_t w1, F&& f) {
    for (std::size_t w = w1; w-- > w0;)
        for (Word bits = lmsWord(S, w); bits != 0;) {
            const unsigned k = 63 - unsigned(__builtin_clzll(bits));
            bits ^= Word(1) << k;
            f(Index(w * 64 + k));
        }
}

// A level's types, and its positions cut into slices of whole words for a
// team. With the LMS positions counted per slice, each slice finds its own
// places in the buckets and in the list of LMS positions.
struct PositionSlices {
    std::vector<Word> S;            // the types
    std::vector<std::size_t> word;  // count() + 1 bounds in words of S
    std::vector<Index> lmsBefore;   // per slice, the LMS positions before it; m last
    std::vector<Index> nextLms;     // per slice, the first LMS position after it (n when none)

    unsigned count() const { return unsigned(word.size() - 1); }

    // f(t) for every slice, each on a thread of its own.
    template <typename F>
    void forEach(const F& f) const {
        runSlices(count(), count(), [&f](unsigned, std::size_t from, std::size_t to) {
            for (std::size_t t = from; t < to; ++t) f(unsigned(t));
        });
    }

    // f(p) for the LMS positions of slice t, from right to left.
    template <typename F>
    void forEachLms(unsigned t, F&& f) const {
        forEachLmsIn(S.data(), word[t], word[t + 1], f);
    }
};

// Finds the types of T on `slices` threads, and places the LMS positions at
// the tails B of their buckets (moving B, one slice) in the order a
// right-to-left scan leaves them; returns the slices with their counts
// filled in. REQUIRES n >= 2, and n >= 64 * slices when slices > 1.
template <typename Sym>
PositionSlices placeLms(const Sym* T, Index n, Index* SA, Index* B, Index K, unsigned slices) {
    PositionSlices s;
    const std::size_t words = (std::size_t(n) + 63) / 64;
    s.word.resize(slices + 1);
    for (unsigned t = 0; t <= slices; ++t) s.word[t] = sliceBegin(words, slices, t);
    // The type of the position after each slice, from the right: a run of
    // equal symbols reaching past the next slice takes that one's.
    std::vector<unsigned> afterIsS(slices, 0);
    for (unsigned t = slices - 1; t-- > 0;) {
        const Index x = Index(s.word[t + 1] * 64), limit = std::min(Index(s.word[t + 2] * 64), n);
        Index j = x + 1;
        while (j < limit && T[j] == T[x]) ++j;
        if (j < limit)
            afterIsS[t] = unsigned(T[x] < T[j]);
        else if (limit < n)
            afterIsS[t] = T[limit] != T[x] ? unsigned(T[x] < T[limit]) : afterIsS[t + 1];
    }
    s.S.resize(words);
    s.forEach([&](unsigned t) { markSTypes(T, n, s.word[t], s.word[t + 1], afterIsS[t], s.S.data()); });

    s.lmsBefore.assign(slices + 1, 0);
    s.nextLms.assign(slices, n);
    if (slices == 1) {
        Index m = 0;
        s.forEachLms(0, [&](Index p) {
            SA[--B[T[p]]] = p;
            ++m;
        });
        s.lmsBefore[1] = m;
        return s;
    }
    const std::size_t k = std::size_t(K);
    std::vector<Index> counts(slices * k, 0), firstLms(slices, n);  // per slice; n: none
    s.forEach([&](unsigned t) {
        Index* const c = &counts[t * k];
        Index first = n;
        s.forEachLms(t, [&](Index p) {
            ++c[T[p]];
            first = p;
        });
        firstLms[t] = first;
    });
    // Each slice's bucket tails: the slices to its right take the top of
    // every bucket.
    std::vector<Index> tails(slices * k);
    for (unsigned t = slices; t-- > 0;) {
        std::copy(B, B + k, &tails[t * k]);
        Index lms = 0;
        for (std::size_t c = 0; c < k; ++c) {
            B[c] -= counts[t * k + c];
            lms += counts[t * k + c];
        }
        s.lmsBefore[t] = lms;  // its own count, for now
        if (t + 1 < slices) s.nextLms[t] = firstLms[t + 1] < n ? firstLms[t + 1] : s.nextLms[t + 1];
    }
    Index before = 0;
    for (unsigned t = 0; t <= slices; ++t) {
        const Index own = t < slices ? s.lmsBefore[t] : 0;
        s.lmsBefore[t] = before;
        before += own;
    }
    s.forEach([&](unsigned t) {
        Index* const b = &tails[t * k];
        s.forEachLms(t, [&](Index p) { SA[--b[T[p]]] = p; });
    });
    return s;
}

// The entry of L-type q placed by the left-to-right scan.
template <Mode M, typename Sym>
inline Index entryOfL(const Sym* T, Index q) {
    if (q == 0) return M == Mode::transform ? kPrimary : 0;
    return T[q - 1] >= T[q] ? q : ~q;
}

// The entry of S-type q placed by the right-to-left scan.
template <Mode M, typename Sym>
inline Index entryOfS(const Sym* T, Index q) {
    if (q == 0) return M == Mode::transform ? kPrimary : 0;
    if (T[q - 1] <= T[q]) return ~q;
    return M == Mode::transform ? kDone + Index(T[q - 1]) : q;  // q is LMS
}

// The scans read, for each entry, the symbol before its position and then
// that symbol's bucket pointer and slot, all at random. They ask for the
// symbol 2 * kAhead entries ahead and, once it has arrived, kAhead entries
// ahead for the bucket pointer and slot when the buckets are many (the
// entries ahead may still change before they are read; then the request was
// only wasted).
constexpr Index kAhead = 16;
// Loops whose entries are all final fetch further ahead.
constexpr Index kFar = 64;

template <typename Sym>
inline void fetchAhead(const Sym* T, const Index* SA, const Index* B, Index far, Index near, bool large) {
    if (far > 0) prefetchRead(T + far - 1);
    if (large && near > 0) {
        const Sym c = T[near - 1];
        prefetchRead(B + c);
        prefetchWrite(SA + B[c]);
    }
}

// Left-to-right scan: from the empty suffix and every entry q > 0, places
// the L-type suffixes at their bucket heads B. `large`: an alphabet whose
// buckets do not stay in the first cache level.
template <Mode M, typename Sym>
void induceL(const Sym* T, Index* SA, Index n, Index* B, bool large) {
    SA[B[T[n - 1]]++] = entryOfL<M>(T, n - 1);
    for (Index i = 0; i < n; ++i) {
        if (i + 2 * kAhead < n) fetchAhead(T, SA, B, SA[i + 2 * kAhead], SA[i + kAhead], large);
        const Index v = SA[i];
        if (v <= 0) continue;
        const Index q = v - 1;
        const Sym c = T[q];
        SA[B[c]++] = entryOfL<M>(T, q);
        if (M == Mode::substrings) SA[i] = 0;
        if (M == Mode::transform) SA[i] = kDone + Index(c);
    }
}

// The position an entry of the right-to-left scan induces from; 0 for the
// entries it passes over.
inline Index flipped(Index v) { return v < 0 && v >= kFlipLimit ? ~v : 0; }

// Right-to-left scan: from every entry ~p, places the S-type suffix p - 1
// at the tail B of its bucket. Sorting substrings, it also moves the sorted
// LMS substrings to the end of SA as it passes them, in order, and leaves
// zeros before them; it returns how many there are.
template <Mode M, typename Sym>
Index induceS(const Sym* T, Index* SA, Index n, Index* B, bool large) {
    Index kept = n;  // the LMS substrings passed are at SA[kept ... n)
    for (Index i = n - 1; i >= 0; --i) {
        if (i >= 2 * kAhead) fetchAhead(T, SA, B, flipped(SA[i - 2 * kAhead]), flipped(SA[i - kAhead]), large);
        const Index v = SA[i], p = flipped(v);
        if (p == 0) {
            if (M == Mode::substrings) {
                // Without a branch: about a third of the entries are kept,
                // at random. kept - 1 >= i: only this entry's slot or those
                // passed are written.
                SA[i] = 0;
                SA[kept - 1] = v;
                kept -= v > 0;
            }
            continue;
        }
        const Index q = p - 1;
        const Sym c = T[q];
        SA[--B[c]] = entryOfS<M>(T, q);
        if (M == Mode::substrings) SA[i] = 0;
        if (M == Mode::suffixes) SA[i] = p;
        if (M == Mode::transform) SA[i] = kDone + Index(c);
    }
    return n - kept;
}

// How the top level sorts its reduced string: the threads and spare cores
// prefix doubling may use for it (deeper levels always recurse).
struct ReducedSort {
    unsigned threads;
    SpareCores* spare;
};

// The share of the reduced string's positions whose next kWindow names
// occur elsewhere too, estimated on the windows whose hash falls in one
// 128th of its range: a copy of such a window is picked with it, so the
// repeats are found as often as they occur. The hash rolls by a rotation
// and two exclusive ors (the names' own hashes are not on its chain), and a
// 128th of the windows is sorted.
constexpr unsigned kWindow = 8;

inline std::uint64_t rotateLeft(std::uint64_t x, unsigned k) { return x << k | x >> (64 - k); }

double repeatedShare(const Index* R, Index m) {
    if (m < Index(4 * kWindow)) return 0;
    const auto mix = [](Index name) { return (std::uint64_t(name) + 1) * 0x9e3779b97f4a7c15u; };
    std::uint64_t h = 0;
    for (unsigned i = 0; i < kWindow; ++i) h = rotateLeft(h, 1) ^ mix(R[i]);
    std::vector<std::uint64_t> picked;
    picked.reserve(std::size_t(m) / 64);
    for (Index x = 0;; ++x) {
        if ((h * 0xff51afd7ed558ccdu) >> 57 == 0) picked.push_back(h);
        if (x + Index(kWindow) >= m) break;
        h = rotateLeft(h, 1) ^ rotateLeft(mix(R[x]), kWindow) ^ mix(R[x + kWindow]);
    }
    if (picked.empty()) return 0;
    std::sort(picked.begin(), picked.end());
    std::size_t repeated = 0;
    for (std::size_t i = 0, j; i < picked.size(); i = j) {
        for (j = i + 1; j < picked.size() && picked[j] == picked[i];) ++j;
        if (j - i > 1) repeated += j - i;
    }
    return double(repeated) / double(picked.size());
}

// Prefix doubling sorts the top level's reduced string faster than a
// recursion (on one thread too: the names are dense and most suffixes part
// after a few passes), and on a team. Not when its names are very few
// (Fibonacci words, short periods) or long stretches of it repeat (source
// code; most windows of 8 names recur, against at most a fifth on text,
// binaries, tables and tarballs): then the groups stay large through many
// passes. It also needs 2m + 2 entries of the array.
bool reducedByDoubling(Index n, Index m, Index names, const Index* R) {
    return 2 * std::int64_t(m) + 2 <= n && std::int64_t(names) * 256 >= m && repeatedShare(R, m) < 0.4;
}
// Below this many reduced suffixes, or entries of a pass over the array, a
// team costs more to start than it saves.
constexpr Index kTeamFrom = Index(1) << 16;
constexpr Index kPassTeamFrom = Index(1) << 18;

// Sorts the m suffixes of the reduced string at SA + n - m (names 0 ...
// names - 1) by prefix doubling, which can run on a team: its order table I
// takes SA[0 ... m], its group numbers V SA[m + 1 ... 2m + 1], the name
// counts the rest when they fit. Leaves in SA[0 ... m) the LMS positions
// (of the level `slices` describes) in the order found and returns true
// when there is room for their list after V (3m + 3 <= n), else the
// reduced order and false.
// REQUIRES: 2m + 2 <= n.
bool sortReducedByDoubling(Index* SA, Index n, Index m, Index names, const ReducedSort& how,
                           const PositionSlices& slices) {
    using U = std::uint32_t;
    U* const I = reinterpret_cast<U*>(SA);
    U* const V = I + m + 1;
    std::memmove(V, SA + n - m, std::size_t(m) * sizeof(Index));
    const unsigned threads = m >= kTeamFrom ? how.threads : 1;
    // Groups by first name, each numbered by its end: a counting sort in
    // which each slice of the suffixes counts and places its own, with a
    // table of name counts per slice (`tables`) where they fit after V.
    const std::size_t room = std::size_t(n) - 2 * std::size_t(m) - 2, perSlice = std::size_t(names);
    const unsigned tables = threads > 1 && perSlice * threads <= room ? threads : 1;
    std::unique_ptr<U[]> own;
    U* C = V + m + 1;
    if (perSlice > room) {
        own.reset(new U[perSlice]);
        C = own.get();
    }
    runSlices(tables, std::size_t(m), [&](unsigned t, std::size_t from, std::size_t to) {
        U* const count = C + t * perSlice;
        std::fill(count, count + perSlice, 0u);
        for (std::size_t x = from; x < to; ++x) ++count[V[x]];
    });
    U start = 1;  // place 0 is the empty suffix's
    for (std::size_t c = 0; c < perSlice; ++c)
        for (unsigned t = 0; t < tables; ++t) {
            U& place = C[t * perSlice + c];
            const U count = place;
            place = start;
            start += count;
        }
    runSlices(tables, std::size_t(m), [&](unsigned t, std::size_t from, std::size_t to) {
        U* const place = C + t * perSlice;
        for (std::size_t x = from; x < to; ++x) I[place[V[x]]++] = U(x);
    });
    // The last slice's places end at the groups' ends.
    const U* const end = C + (tables - 1) * perSlice;
    runSlices(tables, std::size_t(m), [&](unsigned, std::size_t from, std::size_t to) {
        for (std::size_t x = from; x < to; ++x) V[x] = end[V[x]];
    });
    V[m] = 1;
    // Singletons are final.
    I[0] = Sadakane<U>::sortedRun + 1;
    for (Index c = 0, p = 1; c < names; p = Index(end[c++]))
        if (Index(end[c]) == p + 1) I[p] = Sadakane<U>::sortedRun + 1;
    Sadakane<U> sorter(threads, false, how.spare);
    sorter.I = I;
    sorter.V = V;
    sorter.numSuffixes = U(m) + 1;
    sorter.suffixSort(1);

    // Each rank takes its suffix's LMS position straight from a list of them
    // when it fits: one pass of writes at random instead of two.
    const bool positions = 3 * std::int64_t(m) + 3 <= n;
    Index* const lms = SA + 2 * m + 3;
    if (positions) {
        slices.forEach([&](unsigned t) {
            Index j = slices.lmsBefore[t + 1];
            slices.forEachLms(t, [&](Index p) { lms[--j] = p; });
        });
    }
    runSlices(threads, std::size_t(m), [&](unsigned, std::size_t from, std::size_t to) {
        for (std::size_t x = from; x < to; ++x) {
            if (x + kFar < to) prefetchWrite(SA + V[x + kFar] - 2);
            SA[V[x] - 2] = positions ? lms[x] : Index(x);
        }
    });
    return positions;
}

// Whether T[p ... p + length] and T[q ... q + length], both in the block of
// n symbols, are equal.
template <typename Sym>
inline bool sameSymbols(const Sym* T, Index n, Index p, Index q, Index length) {
    (void)n;
    for (Index d = 0; d <= length; ++d)
        if (T[p + d] != T[q + d]) return false;
    return true;
}

// Bytes: eight at a time while both reads stay in the block, the last
// eight masked to the substring's end. A loop of byte comparisons stops at
// a place it cannot predict.
inline bool sameSymbols(const unsigned char* T, Index n, Index p, Index q, Index length) {
    const Index readable = n - std::max(p, q);
    Index d = 0;
    for (; d + 8 <= readable; d += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, T + p + d, 8);
        std::memcpy(&y, T + q + d, 8);
        const Index left = length + 1 - d;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (left <= 8) return ((x ^ y) & (~std::uint64_t(0) >> (64 - 8 * left))) == 0;
#else
        if (left <= 8) break;
#endif
        if (x != y) return false;
    }
    for (; d <= length; ++d)
        if (T[p + d] != T[q + d]) return false;
    return true;
}

// Names the m sorted LMS substrings at order[0 ... m), whose lengths (to
// the next LMS position, or to the end) are at slot[p / 2]: equal
// substrings (same length, same symbols, neither reaching the end) share
// one, from 1 up, in place of the length. Returns how many. On a team each
// slice of the order counts its names from 0, a first substring equal to
// the one before the slice taking 0, and adds the names of the slices
// before it afterwards.
template <typename Sym>
Index nameSubstrings(const Sym* T, const Index* order, Index* slot, Index n, Index m, unsigned threads) {
    threads = m >= kTeamFrom ? std::min(threads, 64u) : 1;
    // The length of the substring before each slice, read before its own
    // slice renames it.
    std::vector<Index> lengthBefore(threads, 0), count(threads, 0);
    for (unsigned t = 1; t < threads; ++t) {
        const Index a = Index(sliceBegin(std::size_t(m), threads, t));
        if (a > 0) lengthBefore[t] = slot[order[a - 1] >> 1];
    }
    runSlices(threads, std::size_t(m), [&](unsigned t, std::size_t from, std::size_t to) {
        const Index a = Index(from), b = Index(to);
        Index names = 0, prev = a > 0 ? order[a - 1] : -1, prevLength = lengthBefore[t];
        for (Index i = a; i < b; ++i) {
            if (i + kFar < b) {
                const Index ahead = order[i + kFar];
                prefetchWrite(slot + (ahead >> 1));
                prefetchRead(T + ahead);
            }
            const Index p = order[i], length = slot[p >> 1];
            const bool same = prev >= 0 && length == prevLength && p + length < n && prev + length < n &&
                              sameSymbols(T, n, p, prev, length);
            if (!same) ++names;
            prev = p;
            prevLength = length;
            slot[p >> 1] = names;
        }
        count[t] = names;
    });
    Index names = 0;
    for (unsigned t = 0; t < threads; ++t) {
        const Index slice = count[t];
        count[t] = names;  // the names of the slices before
        names += slice;
    }
    if (threads > 1)
        runSlices(threads, std::size_t(m), [&](unsigned t, std::size_t from, std::size_t to) {
            const Index offset = count[t];
            if (offset == 0) return;
            for (std::size_t i = from; i < to; ++i) {
                if (i + kFar < to) prefetchWrite(slot + (order[i + kFar] >> 1));
                slot[order[i] >> 1] += offset;
            }
        });
    return names;
}

// The suffixes of T, sorted into SA. `buckets` has the symbols' counts when
// there is room for them. Leaves the order (M = suffixes) or the transform
// codes (M = transform) in SA[0 ... n). n >= 2.
template <Mode M, typename Sym>
void sortLevel(Buckets<Sym> buckets, Index* SA, const ReducedSort* byDoubling = nullptr) {
    const Sym* const T = buckets.T;
    const Index n = buckets.n;
    Index* const B = buckets.B;
    const bool large = buckets.K > 1024;
    const unsigned team = byDoubling != nullptr ? byDoubling->threads : 1;
    // The array's first touch: its pages fault in on every thread at once.
    runSlices(n >= kPassTeamFrom ? team : 1, std::size_t(n),
              [SA](unsigned, std::size_t from, std::size_t to) { std::fill(SA + from, SA + to, 0); });

    // Sort the LMS substrings.
    buckets.bounds(true);
    const PositionSlices slices = placeLms(T, n, SA, B, buckets.K, n >= kPassTeamFrom ? team : 1);
    const Index m = slices.lmsBefore.back();
    if (m > 0) {
        buckets.bounds(false);
        induceL<Mode::substrings>(T, SA, n, B, large);
        buckets.bounds(true);
        const Index sorted = induceS<Mode::substrings>(T, SA, n, B, large);
        Q38_ASSERT(sorted == m);

        // Lengths (to the next LMS position, or to the end) at p / 2, in the
        // zeros before the sorted substrings: LMS positions are at least two
        // apart, and m <= (n - 1) / 2.
        slices.forEach([&](unsigned t) {
            Index next = slices.nextLms[t];
            slices.forEachLms(t, [&](Index p) {
                SA[p >> 1] = next - p;
                next = p;
            });
        });

        const Index names = nameSubstrings(T, SA + n - m, SA, n, m, team);

        // The reduced string (names from 0) in text order at the end, over
        // the sorted substrings. Without a branch: every entry is written at
        // the string's head, which moves on past a name only.
        Index* const reduced = SA + n - m;
        for (Index i = (n + 1) / 2 - 1, j = n; i >= 0; --i) {
            const Index v = SA[i];
            SA[j - 1] = v - 1;
            j -= v != 0;
        }
        if (n - m - 1 >= m) SA[n - m - 1] = 0;

        // Its order into SA[0 ... m).
        bool positions = false;  // SA[0 ... m) has the LMS positions sorted
        if (names < m && byDoubling != nullptr && reducedByDoubling(n, m, names, reduced)) {
            positions = sortReducedByDoubling(SA, n, m, names, *byDoubling, slices);
        } else if (names < m) {
            // Buckets in the free part between the order and the string,
            // with counts when they fit too.
            std::unique_ptr<Index[]> own;
            Index* const space = SA + m;
            const Index room = n - 2 * m;
            Buckets<Index> inner{reduced, m, names, nullptr, space};
            if (names > room) {
                own.reset(new Index[names]);
                inner.B = own.get();
            } else if (2 * names <= room) {
                countSymbols(reduced, m, names, space + names);
                inner.C = space + names;
            }
            sortLevel<Mode::suffixes>(inner, SA);
        } else {
            for (Index i = 0; i < m; ++i) SA[reduced[i]] = i;
        }

        // Ranks of the reduced string to LMS positions, placed at the tails
        // of their buckets in order.
        if (!positions) {
            Index j = n;
            for (unsigned t = slices.count(); t-- > 0;) slices.forEachLms(t, [&](Index p) { SA[--j] = p; });
            for (Index i = 0; i < m; ++i) {
                if (i + kFar < m) prefetchRead(reduced + SA[i + kFar]);
                SA[i] = reduced[SA[i]];
            }
        }
        std::fill(SA + m, SA + n, 0);
        buckets.bounds(true);
        for (Index i = m - 1; i >= 0; --i) {
            if (i >= kFar) prefetchRead(T + SA[i - kFar]);
            const Index p = SA[i];
            SA[i] = 0;
            SA[--B[T[p]]] = p;
        }
    }

    buckets.bounds(false);
    induceL<M>(T, SA, n, B, large);
    buckets.bounds(true);
    induceS<M>(T, SA, n, B, large);
}

}  // namespace

void inducedSuffixArray(const unsigned char* block, std::uint32_t n, std::uint32_t* sa, unsigned threads,
                        SpareCores* spare) {
    Q38_ASSERT(n < inducedSortLimit);
    if (n < 2) {
        if (n == 1) sa[0] = 0;
        return;
    }
    Index C[256], B[256];
    countBytes(block, n, reinterpret_cast<std::uint32_t*>(C));
    const ReducedSort reduced{threads, spare};
    sortLevel<Mode::suffixes>(Buckets<unsigned char>{block, Index(n), 256, C, B}, reinterpret_cast<Index*>(sa),
                              &reduced);
}

unsigned inducedTransform(unsigned char* block, std::uint32_t n, std::uint32_t* work, unsigned threads,
                          SpareCores* spare) {
    Q38_ASSERT(n < inducedSortLimit);
    if (n < 2) return 0;
    Index C[256], B[256];
    countBytes(block, n, reinterpret_cast<std::uint32_t*>(C));
    Index* const SA = reinterpret_cast<Index*>(work);
    const ReducedSort reduced{threads, spare};
    sortLevel<Mode::transform>(Buckets<unsigned char>{block, Index(n), 256, C, B}, SA, &reduced);
    const unsigned char last = block[n - 1];
    std::atomic<unsigned> primary{0};
    runSlices(n >= kPassTeamFrom ? threads : 1, n, [&](unsigned, std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r) {
            if (SA[r] == kPrimary) {
                primary.store(unsigned(r), std::memory_order_relaxed);
                block[r] = last;
            } else {
                block[r] = static_cast<unsigned char>(SA[r] - kDone);
            }
        }
    });
    return primary.load(std::memory_order_relaxed);
}
