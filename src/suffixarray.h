// Suffix sorting by prefix doubling (the Larsson-Sadakane method).
//
// The n + 1 suffixes of a block of n bytes (the empty suffix n included) are
// ordered lexicographically by unsigned byte value, a proper prefix before its
// extensions. Two tables carry the state:
//
//   I  positions 0 ... n of the sorted order. An entry is either a suffix
//      start (top bit clear) inside a group not yet sorted, or a sorted-run
//      marker: 0x80000000 + L at the first of L consecutive positions whose
//      suffixes are final (the other entries of the run are never read).
//   V  indexed by suffix start: the group number, one past the last position
//      of the suffix's group. Once sorted, V[x] - 1 is the position of suffix
//      x, the empty suffix has V[n] = 1, and V[x] - 2 is the rank of x among
//      the n non-empty suffixes. The transform reads exactly this.
//
// Use: makeTables2(b, e, 4) and suffixSort(4) for n > 4, makeTables(b, e) and
// suffixSort(1) for 1 <= n <= 4; then recoverBwt, or read V and release the
// buffers. One object sorts one block. n + 1 must stay below 2^31 (positions
// share an entry with the marker bit); larger blocks fail an assertion.
// Allocation failures propagate as std::bad_alloc with nothing leaked.
//
// Threads: a sorter made with threads > 1 runs the 4-byte grouping of
// makeTables2 and the passes of suffixSort on that many threads (started for
// the call, joined before it returns; see suffixsortparallel.h), or on as
// many as the system lets start, down to the calling one. The 4-byte
// grouping takes the same two-digit path on one thread, except for small
// blocks of spread bytes. Tables and order come out the same at every count.
//
// Memory: the two tables, and while suffixSort runs a split scratch of
// 12 * min(n + 1, 2^19) bytes (at most 6 MiB) on one thread, or one of at
// most 8 MiB shared by all threads, released when it returns; the 4-byte
// grouping adds 512 KiB of counters per thread, for at most eight, and with
// two to four threads 256 KiB per pair of threads (at most 4 MiB).
#ifndef VEXAQ38_SUFFIXARRAY_H
#define VEXAQ38_SUFFIXARRAY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform.h"

template <typename Index>
class Sadakane {
public:
    static constexpr Index sortedRun = Index(1) << 31;  // marker bit of I entries

    LargeArray<Index> Ibuf;  // owns I (n + 1 entries)
    LargeArray<Index> Vbuf;  // owns V (n + 1 entries)
    Index* I = nullptr;
    Index* V = nullptr;
    Index* Vh = nullptr;            // V + h during a pass: Vh[x] is the key of x
    Index numSuffixes = 0;          // n + 1 once built

    // threads: how many threads the grouping and the passes use (0 counts
    // as 1, more than 64 as 64; 1 starts none). hugePages: V, read at random
    // by the passes, asks for huge pages. They shorten the passes of very
    // repetitive blocks, but on a virtual machine each fresh one can take
    // milliseconds to fault in, which adds up when several blocks are
    // sorted at once.
    // spare: cores a sort on one thread may borrow (see SpareCores); it asks
    // before each pass and before the recovery of the transform, and once
    // lent some, finishes its passes on a team that includes them. Null:
    // none. The tables and the order come out the same either way.
    explicit Sadakane(unsigned threads = 1, bool hugePages = true, SpareCores* spare = nullptr)
        : threads_(threads < 1 ? 1 : threads > 64 ? 64 : threads), hugePages_(hugePages), spare_(spare) {}

    // Groups the suffixes of [begin, end) by their first byte. Nothing happens
    // for an empty block.
    void makeTables(const char* begin, const char* end);

    // Groups the suffixes of [begin, end) by their first k bytes (k >= 1,
    // end - begin > k) with a least-significant-digit radix sort, then numbers
    // the groups with makeVTable.
    void makeTables2(const char* begin, const char* end, unsigned k);

    // Numbers the groups of I (sorted by the first k bytes) into V and marks
    // singletons. k = 0 does nothing.
    void makeVTable(const char* begin, unsigned k);

    // makeVTable with k fixed at compile time, N = 1 ... 16.
    template <unsigned N>
    void makeVTableN(const char* begin);

    // Doubling passes until every suffix is alone; h is the number of leading
    // bytes by which the groups are already sorted.
    void suffixSort(unsigned h);

    // One doubling pass over every unsorted group with keys at offset h.
    void sortPass(unsigned h);

    // Sorts the group at positions [lo, hi) found by a pass.
    void sortNonEmpty(Index lo, Index hi);

    // The split of a group [lo, hi) at level h whose members mostly recur
    // d <= h places on inside the group (a tandem repeat of period d): one
    // pass orders it to depth 2h at least, and the repeating members far
    // deeper, reading the keys of the others only (splitTandemGroup in
    // suffixsortparallel.h). Returns false, having written nothing, when
    // no period is found or too few members repeat. Needs the split
    // scratch (reserveSplitKeys).
    bool splitTandem(Index lo, Index hi, unsigned h);

    // Sorts a part [lo, hi) produced by a split; it may be empty.
    void sort(Index lo, Index hi);

    // Three-way split on the keys of [lo, hi), hi - lo >= 5, then the smaller
    // part is sorted, the equal part numbered, the greater part sorted, in
    // that order. Uses a heap stack, never deep recursion.
    void ternaryQuickSort(Index lo, Index hi);

    // Lets splits of up to `count` positions gather their keys into a
    // scratch array first and split stably there (suffixSort reserves it for
    // its passes; count 0 releases it and splits in place). The order that
    // results is the same either way.
    void reserveSplitKeys(Index count);

    // Compare-exchange networks for groups of 2, 3 and 4 positions at lo.
    void sort2(Index lo);
    void sort3(Index lo);
    void sort4(Index lo);

    // Writes the transform of `block` (the block that was sorted) in place,
    // releases both tables and returns the primary index.
    unsigned recoverBwt(char* block);

private:
    struct Pending {  // a split waiting for its smaller part to finish
        Index equalBegin, equalEnd, greaterEnd;
    };
    unsigned threads_ = 1;
    bool hugePages_ = true;
    SpareCores* spare_ = nullptr;
    unsigned depth_ = 0;  // h of the pass under way, 0 outside passes
    std::vector<Pending> pending;
    std::unique_ptr<Index[]> splitKeys;  // scratch of the gathered splits
    Index splitKeyCount = 0;
    std::vector<Index> digitCounts;  // counters of the digit sorts
    // Group starts the last pass met, a few hundred apart: where a team
    // taking over the passes may cut the table.
    std::vector<Index> passStarts;

    void sortGathered(Index lo, Index hi);
    void numberGathered(const Index* T, Index a, Index b, Index number);
    void sortSmallGathered(Index lo, Index m, const Index* keys);

    void allocateTables(Index n);
    SpareCores* lender() const;  // where this sort may borrow cores; null: nowhere
    template <unsigned N>
    void numberGroups(const unsigned char* b, unsigned k);
    void numberEqual(Index a, Index b, Index current);
    void sortSmall(Index lo, Index hi);
    void finishRuns(Index lo, unsigned m, Index* x, Index* key);
};

extern template class Sadakane<std::uint32_t>;

#endif
