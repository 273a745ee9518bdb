// The doubling passes and the 4-byte grouping of Sadakane on a team of
// threads. Internal to the suffix sorter.
//
// A pass runs in rounds. In a round's read phase every thread takes chunks of
// the order table (fixed ranges whose ends are group ends, so they stay group
// ends for good), merges the sorted-run markers in them and splits each
// group it meets on a private copy of the keys, recording the new group
// numbers in its share of one scratch budget; nothing is written to V. After
// a barrier, the write phase stores the recorded numbers and markers. A group
// larger than a thread's share is split three ways by all threads together:
// each partitions a slice in place, one thread fixes up the layout, and all
// number the equal part after another barrier; the other parts come back as
// work for the next round. A thread whose share is full stops; the round
// ends when all have stopped, and the pass when nothing is left. The numbers
// a split gives depend only on the keys it reads, and a key read in any
// round is consistent with the final order, so the order that results is the
// unique one whatever the scheduling.
//
// The scratch and the counters are allocated before any thread starts, so
// std::bad_alloc reaches the caller from there; the few small lists that
// grow while the team runs would end the program if memory ran out then.
#ifndef VEXAQ38_SUFFIXSORTPARALLEL_H
#define VEXAQ38_SUFFIXSORTPARALLEL_H

#include <cstdint>

// Doubling passes from h on `threads` threads over the tables I and V of
// n1 = n + 1 suffixes, grouped (by makeTables/makeTables2) but not yet
// merged into runs. Ends with I[0] = marker + n1 like the one-thread sort.
void parallelSuffixSort(std::uint32_t* I, std::uint32_t* V, std::uint32_t n1, unsigned h, unsigned threads);

// The 4-byte grouping of a block of n > 4 bytes on `threads` threads: I and
// V (n + 1 entries each) come out as makeTables2(b, b + n, 4) leaves them.
void parallelGroup4(const unsigned char* b, std::uint32_t n, std::uint32_t* I, std::uint32_t* V, unsigned threads);

#endif
