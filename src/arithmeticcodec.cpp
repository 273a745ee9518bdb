#include "arithmeticcodec.h"

namespace {

// Built by the compiler into read-only data: nothing to compute or fault in
// page by page when the program starts.
struct DivisorTable {
    FixedDivisor entries[maxModelTotal + 1];
    constexpr DivisorTable() {
        for (unsigned d = 1; d <= maxModelTotal; ++d) entries[d] = FixedDivisor(d);
    }
};

constexpr DivisorTable divisorTable;  // total 0 never occurs: its entry divides by 1

}  // namespace

const FixedDivisor* const modelTotalDivisors = divisorTable.entries;

// The two precisions the codecs use, compiled once here so that a template
// error shows up in this module.
template class ArithmeticCoder<unsigned, unsigned, 16>;
template class ArithmeticDecoder<unsigned, unsigned, 16>;
template class ArithmeticCoder<unsigned, unsigned long long, 18>;
template class ArithmeticDecoder<unsigned, unsigned long long, 18>;
