// Forward and inverse Burrows-Wheeler transform of one block.
//
// The transform is suffix-sorted, not rotation-sorted: with SA the order of
// the block's n non-empty suffixes, L[r] = B[SA[r] - 1] (B[n - 1] where
// SA[r] = 0), and the primary index is the rank r at which SA[r] = 0.
#ifndef VEXAQ38_BWT_H
#define VEXAQ38_BWT_H

#include <cstdint>
#include <memory>
#include <ostream>

// Suffix dumps, written by the forward transform for every block when set.
extern bool bwtPrintSuffixesToFile;
extern bool bwtPrintSuffixArrayToFile;
extern std::ostream* bwtSuffixesFile;      // null when unset
extern std::ostream* bwtSuffixArrayFile;   // null when unset
extern std::uint32_t bwtPrintSuffixesToFileMaxSuffixSize;  // 4294967295: no limit

// Transforms `size` bytes at `block` in place and returns the primary index.
// Size 0 returns 0 and touches nothing. Writes the suffix dumps when asked.
unsigned bwt(char* block, unsigned size);

// The forward transform as every block encoder runs it: the verbose lines
// around it, the clock readings just before and after it (into t1 and t2),
// and the BWT data dump when asked for.
unsigned bwtForBlockCodec(char* data, unsigned dataSize, long& t1, long& t2);

// Rejects a primary index read from a compressed file that ibwt cannot use:
// raises Exception("Error in compressed file (first suffix index out of
// range)") unless index < size.
void checkPrimaryIndex(unsigned index, unsigned size);

// The same transform without dumps, straight from the sorter's rank table.
// `threads` sorter threads (1: the calling thread alone); the result is the
// same at any count.
unsigned bwtBySuffixArray(char* block, unsigned size, unsigned threads = 1);

// The n ranked suffix starts of [begin, end); the caller owns the result.
unsigned* suffixArray(const char* begin, const char* end, unsigned threads = 1);

// Restores into `out` the block whose transform is `in` (separate arrays of
// `size` bytes). REQUIRES: index < size when size > 0; the block decoders
// reject a damaged index before calling (a violation stops the program with
// an assertion). Any byte values in `in` are safe: a damaged transform gives
// wrong output, never an access outside the arrays.
void ibwt(char* out, const char* in, unsigned size, unsigned index);

// The same, taking the transform over: it is released as soon as the tables
// are built, which keeps the peak at 7 x size (output included) instead of 8.
void ibwt(char* out, std::unique_ptr<unsigned char[]> in, unsigned size, unsigned index);

#endif
