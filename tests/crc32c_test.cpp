#include "crc32c.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using CrcFunction = std::function<std::uint32_t(std::uint32_t, const void*, std::size_t)>;

// One bit at a time, straight from the definition: the reference both fast
// paths are held to.
std::uint32_t bitwiseCrc(std::uint32_t crc, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t c = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    }
    return ~c;
}

// Every path this build can run, with its name for the failure messages.
std::vector<std::pair<std::string, CrcFunction>> paths() {
    std::vector<std::pair<std::string, CrcFunction>> v = {{"crc32c", crc32c},
                                                          {"table", crc32cTable}};
    if (crc32cHardwareAvailable()) v.emplace_back("hardware", crc32cHardware);
    return v;
}

std::vector<unsigned char> randomBuffer(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

TEST(Crc32c, KnownAnswers) {
    std::vector<unsigned char> ascending(32), zeros(32, 0), ones(32, 0xFF);
    for (unsigned i = 0; i < 32; ++i) ascending[i] = static_cast<unsigned char>(i);
    // The block checksum's own example: fileSize 3 as four little-endian
    // bytes, then "abc"; stored little-endian the field reads F8 83 14 55.
    const unsigned char abcBlock[] = {3, 0, 0, 0, 'a', 'b', 'c'};
    struct Case {
        const char* name;
        const void* data;
        std::size_t n;
        std::uint32_t crc;
    } cases[] = {
        {"check string", "123456789", 9, 0xE3069283u},
        {"empty", "", 0, 0u},
        {"32 zero bytes", zeros.data(), 32, 0x8A9136AAu},
        {"32 bytes 0xFF", ones.data(), 32, 0x62A8AB43u},
        {"bytes 0..31", ascending.data(), 32, 0x46DD794Eu},
        {"abc block", abcBlock, sizeof abcBlock, 0x551483F8u},
    };
    for (const auto& [pathName, f] : paths())
        for (const auto& c : cases) EXPECT_EQ(f(0, c.data, c.n), c.crc) << pathName << ": " << c.name;

    const std::uint32_t v = crc32c(0, abcBlock, sizeof abcBlock);
    const unsigned char stored[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                     static_cast<unsigned char>(v >> 16),
                                     static_cast<unsigned char>(v >> 24)};
    EXPECT_EQ(std::vector<unsigned char>(stored, stored + 4),
              (std::vector<unsigned char>{0xF8, 0x83, 0x14, 0x55}));
}

// Every length 0..300 at every start alignment 0..7, then lengths around the
// piece sizes where the instruction path switches between its three-stream
// and single-stream loops; each from a zero and a non-zero starting CRC.
TEST(Crc32c, PathsAgreeWithTheDefinition) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (std::size_t piece : {256u, 8192u})
        for (std::size_t n : {3 * piece - 9, 3 * piece - 1, 3 * piece, 3 * piece + 1, 3 * piece + 7,
                              6 * piece + 3 * 256 + 13})
            lengths.push_back(n);
    lengths.push_back(200000);
    const auto buffer = randomBuffer(200000 + 8, 7);
    for (std::size_t n : lengths)
        for (std::size_t align = 0; align < 8; ++align)
            for (std::uint32_t start : {0u, 0x9ABCDEF0u}) {
                const unsigned char* p = buffer.data() + align;
                const std::uint32_t expected = bitwiseCrc(start, p, n);
                for (const auto& [name, f] : paths())
                    ASSERT_EQ(f(start, p, n), expected)
                        << name << " length " << n << " align " << align << " start " << start;
            }
}

TEST(Crc32c, ContinuesOverAnySplit) {
    const auto buffer = randomBuffer(1000, 11);
    for (const auto& [name, f] : paths()) {
        const std::uint32_t whole = f(0, buffer.data(), buffer.size());
        for (std::size_t split = 0; split <= buffer.size(); ++split) {
            const std::uint32_t first = f(0, buffer.data(), split);
            ASSERT_EQ(f(first, buffer.data() + split, buffer.size() - split), whole)
                << name << " split " << split;
        }
        // Three pieces, the middle one long enough for the three-stream loop.
        const auto big = randomBuffer(30000, 12);
        std::uint32_t c = f(0, big.data(), 5);
        c = f(c, big.data() + 5, 29000);
        c = f(c, big.data() + 29005, 995);
        EXPECT_EQ(c, f(0, big.data(), big.size())) << name;
    }
}

}  // namespace
