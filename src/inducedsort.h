// Suffix sorting by induced sorting (SA-IS, Nong, Zhang and Chan), and the
// transform read off its last inducing scans (Okanohara and Sadakane).
//
// The block is n bytes compared unsigned; the end of the block sorts below
// every byte, so the order is that of the n non-empty suffixes, a proper
// prefix before its extensions (the same order as Sadakane's, empty suffix
// left out).
//
// Method: the LMS positions (S-type suffixes after an L-type one) are placed
// at their bucket tails and the L- and S-type suffixes induced from them,
// which sorts the LMS substrings; equal substrings get one name and, unless
// every name is unique, the string of names is sorted: at the top level by
// prefix doubling (Sadakane, on up to `threads` threads or with cores
// borrowed from `spare`) unless its names are very few or long stretches
// of it repeat, otherwise the same way on 32-bit symbols; the sorted LMS suffixes then induce the whole
// order. The naming and the placing of the reduced order use the same
// threads; the inducing scans run on the calling one. The reduced string,
// its order and its buckets (or doubling's two tables) live in the one
// array of n entries.
//
// Memory: the block and `work`, n 32-bit entries, and a bit per position of
// each level for its types; a reduced level whose buckets or name counts do
// not fit in the array's free part allocates them (at most 2n bytes, and
// only when more than a third of the positions are LMS); prefix doubling
// adds its split scratch (at most 8 MiB). Positions share an entry with two
// flag bits, so n must stay below inducedSortLimit.
#ifndef VEXAQ38_INDUCEDSORT_H
#define VEXAQ38_INDUCEDSORT_H

#include <cstdint>

class SpareCores;

constexpr std::uint32_t inducedSortLimit = 1u << 30;

// Writes the order of the n non-empty suffixes of `block` to sa[0 ... n).
// REQUIRES: n < inducedSortLimit.
void inducedSuffixArray(const unsigned char* block, std::uint32_t n, std::uint32_t* sa, unsigned threads = 1,
                        SpareCores* spare = nullptr);

// Replaces `block` by its transform, L[r] = B[SA[r] - 1] (B[n - 1] where
// SA[r] = 0), and returns the primary index, the r where SA[r] = 0; 0 for an
// empty block. `work` is scratch of n entries. REQUIRES: n < inducedSortLimit.
unsigned inducedTransform(unsigned char* block, std::uint32_t n, std::uint32_t* work, unsigned threads = 1,
                          SpareCores* spare = nullptr);

#endif
