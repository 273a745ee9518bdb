#include "crc32c.h"

#include <cstring>

#include "base.h"
#include "platform.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define Q38_CRC32C_X86 1
#include <nmmintrin.h>
#endif

namespace {

constexpr std::uint32_t polynomial = 0x82F63B78u;

// table[k][b]: the register after byte b followed by k zero bytes, so eight
// bytes fold into the register with eight independent lookups.
struct SliceTables {
    std::uint32_t table[8][256];
};

constexpr SliceTables makeSliceTables() {
    SliceTables s{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (polynomial & (0u - (c & 1u)));
        s.table[0][b] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (std::uint32_t b = 0; b < 256; ++b) {
            const std::uint32_t prev = s.table[k - 1][b];
            s.table[k][b] = (prev >> 8) ^ s.table[0][prev & 0xFFu];
        }
    return s;
}

constexpr SliceTables slice = makeSliceTables();

inline std::uint32_t load32le(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The register (already inverted) over n bytes.
std::uint32_t tableRegister(std::uint32_t c, const unsigned char* p, std::size_t n) {
    const auto& t = slice.table;
    while (n >= 8) {
        const std::uint32_t lo = load32le(p) ^ c;
        const std::uint32_t hi = load32le(p + 4);
        c = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFFu];
    return c;
}

#ifdef Q38_CRC32C_X86

// The instruction has a latency of three cycles but accepts one per cycle,
// so three streams over adjacent pieces run at once; their registers are then
// joined by advancing the first over the length of the next (a linear map on
// the register, applied through four lookup tables).
constexpr std::size_t longPiece = 8192;
constexpr std::size_t shortPiece = 256;

// A 32x32 matrix over GF(2), one column per register bit.
struct Gf2Matrix {
    std::uint32_t column[32];
};

std::uint32_t apply(const Gf2Matrix& m, std::uint32_t v) {
    std::uint32_t r = 0;
    for (int i = 0; v != 0; ++i, v >>= 1)
        if (v & 1u) r ^= m.column[i];
    return r;
}

Gf2Matrix compose(const Gf2Matrix& a, const Gf2Matrix& b) {
    Gf2Matrix r{};
    for (int i = 0; i < 32; ++i) r.column[i] = apply(a, b.column[i]);
    return r;
}

// The map "feed n zero bytes" on the register.
Gf2Matrix zeroBytes(std::size_t n) {
    Gf2Matrix bit{};  // one zero bit
    bit.column[0] = polynomial;
    for (int i = 1; i < 32; ++i) bit.column[i] = 1u << (i - 1);
    Gf2Matrix power = bit;
    for (int i = 0; i < 3; ++i) power = compose(power, power);  // one zero byte
    Gf2Matrix result{};
    for (int i = 0; i < 32; ++i) result.column[i] = 1u << i;
    for (; n != 0; n >>= 1) {
        if (n & 1u) result = compose(power, result);
        power = compose(power, power);
    }
    return result;
}

struct ShiftTable {
    std::uint32_t table[4][256];
    explicit ShiftTable(std::size_t bytes) {
        const Gf2Matrix m = zeroBytes(bytes);
        for (int k = 0; k < 4; ++k)
            for (std::uint32_t b = 0; b < 256; ++b) table[k][b] = apply(m, b << (8 * k));
    }
    std::uint32_t shift(std::uint32_t c) const {
        return table[0][c & 0xFFu] ^ table[1][(c >> 8) & 0xFFu] ^ table[2][(c >> 16) & 0xFFu] ^
               table[3][c >> 24];
    }
};

inline std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((target("sse4.2"))) std::uint64_t threeStreams(std::uint64_t c0, const unsigned char*& p,
                                                             std::size_t& n, std::size_t piece,
                                                             const ShiftTable& join) {
    while (n >= 3 * piece) {
        std::uint64_t c1 = 0, c2 = 0;
        const unsigned char* end = p + piece;
        do {
            c0 = _mm_crc32_u64(c0, load64(p));
            c1 = _mm_crc32_u64(c1, load64(p + piece));
            c2 = _mm_crc32_u64(c2, load64(p + 2 * piece));
            p += 8;
        } while (p < end);
        c0 = join.shift(static_cast<std::uint32_t>(c0)) ^ static_cast<std::uint32_t>(c1);
        c0 = join.shift(static_cast<std::uint32_t>(c0)) ^ static_cast<std::uint32_t>(c2);
        p += 2 * piece;
        n -= 3 * piece;
    }
    return c0;
}

__attribute__((target("sse4.2"))) std::uint32_t hardwareRegister(std::uint32_t c, const unsigned char* p,
                                                                 std::size_t n) {
    static const ShiftTable longJoin(longPiece);
    static const ShiftTable shortJoin(shortPiece);
    while (n != 0 && (reinterpret_cast<std::uintptr_t>(p) & 7u) != 0) {
        c = _mm_crc32_u8(c, *p++);
        --n;
    }
    std::uint64_t c64 = c;
    c64 = threeStreams(c64, p, n, longPiece, longJoin);
    c64 = threeStreams(c64, p, n, shortPiece, shortJoin);
    for (; n >= 8; n -= 8, p += 8) c64 = _mm_crc32_u64(c64, load64(p));
    c = static_cast<std::uint32_t>(c64);
    while (n--) c = _mm_crc32_u8(c, *p++);
    return c;
}

#endif

}  // namespace

std::uint32_t crc32cTable(std::uint32_t crc, const void* data, std::size_t n) {
    return ~tableRegister(~crc, static_cast<const unsigned char*>(data), n);
}

bool crc32cHardwareAvailable() {
#ifdef Q38_CRC32C_X86
    return cpuHasSse42();
#else
    return false;
#endif
}

std::uint32_t crc32cHardware(std::uint32_t crc, const void* data, std::size_t n) {
    Q38_ASSERT(crc32cHardwareAvailable());
#ifdef Q38_CRC32C_X86
    return ~hardwareRegister(~crc, static_cast<const unsigned char*>(data), n);
#else
    (void)data;
    (void)n;
    return crc;
#endif
}

std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t n) {
#ifdef Q38_CRC32C_X86
    if (crc32cHardwareAvailable())
        return ~hardwareRegister(~crc, static_cast<const unsigned char*>(data), n);
#endif
    return ~tableRegister(~crc, static_cast<const unsigned char*>(data), n);
}
