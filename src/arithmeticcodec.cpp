#include "arithmeticcodec.h"

#include <vector>

namespace {

const std::vector<FixedDivisor>& modelTotalDivisorTable() {
    static const std::vector<FixedDivisor> table = [] {
        std::vector<FixedDivisor> t;
        t.reserve(maxModelTotal + 1);
        t.emplace_back(1);  // total 0 never occurs
        for (unsigned d = 1; d <= maxModelTotal; ++d) t.emplace_back(d);
        return t;
    }();
    return table;
}

}  // namespace

const FixedDivisor* const modelTotalDivisors = modelTotalDivisorTable().data();

// The two precisions the codecs use, compiled once here so that a template
// error shows up in this module.
template class ArithmeticCoder<unsigned, unsigned, 16>;
template class ArithmeticDecoder<unsigned, unsigned, 16>;
template class ArithmeticCoder<unsigned, unsigned long long, 18>;
template class ArithmeticDecoder<unsigned, unsigned long long, 18>;
