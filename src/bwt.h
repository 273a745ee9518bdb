// Forward and inverse Burrows-Wheeler transform of one block.
//
// The transform is suffix-sorted, not rotation-sorted: with SA the order of
// the block's n non-empty suffixes, L[r] = B[SA[r] - 1] (B[n - 1] where
// SA[r] = 0), and the primary index is the rank r at which SA[r] = 0.
#ifndef VEXAQ38_BWT_H
#define VEXAQ38_BWT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>

#include "platform.h"

// The suffix dumps of the forward transform, one record per block; a null
// stream is not written.
struct SuffixDumps {
    std::ostream* listing = nullptr;  // every sorted suffix, one per line
    std::ostream* array = nullptr;    // the suffix array, indices only
    std::uint32_t maxSuffixSize = 4294967295u;  // symbols shown per suffix; all by default
};

// The suffix sorter a transform uses: the one chosen for the block (see
// bwt.cpp), or one forced by tests and benchmarks. Both give the same order.
enum class SortRoad { chosen, induced, doubling };

// Transforms `size` bytes at `block` in place and returns the primary index.
// Size 0 returns 0 and touches nothing. Writes the suffix dumps asked for.
// Prefix doubling may use up to `threads` threads, huge pages for its table
// read at random when `hugePages`, and cores borrowed from `spare` when it
// runs on one thread (see Sadakane); the result depends on none of them.
// `kept`, when given, is memory kept across blocks: the induced sorter takes
// its table from it; prefix doubling releases it first, so that the peak
// stays at doubling's own two tables.
unsigned bwt(char* block, unsigned size, const SuffixDumps& dumps = SuffixDumps{}, unsigned threads = 1,
             bool hugePages = true, SpareCores* spare = nullptr, SortRoad road = SortRoad::chosen,
             KeptBuffer<std::uint32_t>* kept = nullptr);

// The n ranked suffix starts of [begin, end), sorted on up to `threads`
// threads (an array of one unused entry when n = 0).
std::unique_ptr<unsigned[]> suffixArray(const char* begin, const char* end, unsigned threads = 1,
                                        bool hugePages = true, SpareCores* spare = nullptr,
                                        SortRoad road = SortRoad::chosen);

// Writes the transform of the `n` bytes at `block` in place from the ranks
// of its suffixes (V[x] - 2 is the rank of suffix x, as Sadakane leaves it)
// and returns the primary index; `copy` is scratch of n bytes. The writes
// run on up to `threads` threads, the caller included, fewer when the
// system refuses one.
unsigned transformFromRanks(char* block, const std::uint32_t* V, unsigned n, char* copy, unsigned threads);

// Restores into `out` the block whose transform is `in` (separate arrays of
// `size` bytes). REQUIRES: index < size when size > 0; the block decoders
// reject a damaged index before calling (a violation stops the program with
// an assertion). Any byte values in `in` are safe: a damaged transform gives
// the bytes of one walk from the primary row (which goes round its cycle
// again when the rows split into several), never an access outside the
// arrays. Runs on up to `threads` threads, the caller included (0 counts as
// 1, more than 64 as 64; 1 starts none, and blocks below 1 MiB use one); the
// output does not depend on it.
void ibwt(char* out, const char* in, unsigned size, unsigned index, unsigned threads = 1);

// Memory for the row table of the inverse of a block of `size` bytes, made
// before the block is decoded so that its pages can be touched in moments
// the decoder waits anyway: fresh pages must be zeroed by the kernel, which
// would otherwise hold up the inverse. Empty (nothing to prepare, and the
// inverse allocates as usual) for blocks of 2^24 bytes or more.
class InverseTable {
public:
    explicit InverseTable(unsigned size);

    // The same over `memory`, at least `size` entries that the caller keeps
    // (from one block to the next), whose first `residentBytes` bytes are
    // already touched and need no preparing.
    InverseTable(unsigned size, std::uint32_t* memory, std::size_t residentBytes);

    // Touches the next few pages (a write each); false once all are.
    bool prepareSome();

    unsigned size() const { return size_; }
    std::uint32_t* entries() const { return entries_; }

private:
    unsigned size_ = 0;
    LargeArray<std::uint32_t> own_;
    std::uint32_t* entries_ = nullptr;
    std::size_t touched_ = 0;  // bytes
};

// The inverse as above, with the transform `in` as scratch (overwritten):
// once the rows are known its memory keeps the walks' bytes, which keeps
// the peak at 6 x size (output included). A row table of the block's size,
// when given, is used instead of new memory. A core `late` lends while the
// walks run (a block of 1 MiB or more) walks too.
void ibwt(char* out, unsigned char* in, unsigned size, unsigned index, unsigned threads = 1,
          InverseTable* table = nullptr, SpareCores* late = nullptr);

// The same, taking the transform over.
void ibwt(char* out, std::unique_ptr<unsigned char[]> in, unsigned size, unsigned index,
          unsigned threads = 1, InverseTable* table = nullptr);

// How the inverse finds a row's successor: a table entry per row, or a list
// of the transform's runs (chosen when there are few of them).
enum class RowsChoice { either, table, runs };

// The first overload with the segment walks at any size and thread count,
// start rows 2^strideLog apart, bytes kept in chunks of `chunkBytes`,
// eight-byte table entries when `wideRows` (else only from 2^24 bytes), and
// the rows read as `rows` says, so that tests reach every path with small
// blocks.
void ibwtWithShape(char* out, const char* in, unsigned size, unsigned index, unsigned threads,
                   unsigned strideLog, unsigned chunkBytes, bool wideRows,
                   RowsChoice rows = RowsChoice::table);

#endif
