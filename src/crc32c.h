// CRC-32C (Castagnoli): reflected polynomial 0x82F63B78, initial value and
// final xor 0xFFFFFFFF; the CRC of the nine bytes "123456789" is 0xE3069283.
//
// Every function continues a CRC over pieces the way the common zlib-style
// interface does: start with 0, pass the previous result back in, and
// crc32c(crc32c(0, a, na), b, nb) equals the CRC of a followed by b.
#ifndef VEXAQ38_CRC32C_H
#define VEXAQ38_CRC32C_H

#include <cstddef>
#include <cstdint>

// The CRC of `n` bytes at `data` continued from `crc`. Uses the processor's
// CRC32 instruction when it has one (decided once, at run time), the tables
// otherwise; both give the same value.
std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t n);

// The portable path: eight table lookups per eight bytes.
std::uint32_t crc32cTable(std::uint32_t crc, const void* data, std::size_t n);

// The instruction path (x86-64 SSE4.2). Call it only when
// crc32cHardwareAvailable() is true.
std::uint32_t crc32cHardware(std::uint32_t crc, const void* data, std::size_t n);

// Whether this processor has the CRC32 instruction; always false on builds
// for other architectures.
bool crc32cHardwareAvailable();

#endif
