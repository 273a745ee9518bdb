// An arbitrary block sorted by induced sorting and by prefix doubling: the
// suffix arrays, the transforms and the primary indices must agree. The
// whole input is the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bwt.h"
#include "inducedsort.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    const auto n = static_cast<std::uint32_t>(size);
    const char* const block = reinterpret_cast<const char*>(data);

    std::unique_ptr<std::uint32_t[]> sa(new std::uint32_t[n + 1]);
    inducedSuffixArray(data, n, sa.get());
    const std::unique_ptr<unsigned[]> reference =
        suffixArray(block, block + n, 1, false, nullptr, SortRoad::doubling);
    if (n > 0 && std::memcmp(sa.get(), reference.get(), std::size_t(n) * sizeof(std::uint32_t)) != 0) std::abort();

    std::string induced(block, n), doubled(block, n);
    const unsigned index = bwt(&doubled[0], n, SuffixDumps{}, 1, false, nullptr, SortRoad::doubling);
    if (inducedTransform(reinterpret_cast<unsigned char*>(&induced[0]), n, sa.get()) != index) std::abort();
    if (induced != doubled) std::abort();
    return 0;
}
