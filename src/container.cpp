#include "container.h"

#include <algorithm>
#include <cstring>

#include "amtf.h"
#include "crc32c.h"
#include "dc.h"
#include "smtf.h"

namespace {

constexpr char fileMagic[8] = {'V', 'E', 'X', 'A', '_', 'Q', '3', '8'};
constexpr char blockMagic[4] = {'B', 'L', 'C', 'K'};

void putU32(char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t getU32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// The codecs' entry points in the table's shape: RLE0 comes from the row.
template <bool rle0>
void packAdaptive(std::ostream& os, char* d, unsigned n, const CodecOptions& o) {
    packBlockMTFAdaptive(os, d, n, rle0, o);
}
template <bool rle0>
void unpackAdaptive(std::istream& is, char* d, unsigned n, const CodecOptions& o) {
    unpackBlockMTFAdaptive(is, d, n, rle0, o);
}
template <bool rle0>
void packStatic(std::ostream& os, char* d, unsigned n, const CodecOptions& o) {
    packBlockMTFStatic(os, d, n, rle0, o);
}
template <bool rle0>
void unpackStatic(std::istream& is, char* d, unsigned n, const CodecOptions& o) {
    unpackBlockMTFStatic(is, d, n, rle0, o);
}

constexpr unsigned char dcCode = 5;

const MethodInfo methods[] = {
    {Method::dc, dcCode, 1, packBlockDCAdaptive, unpackBlockDCAdaptive},
    {Method::mtfAdaptive, 1, 1, packAdaptive<false>, unpackAdaptive<false>},
    {Method::mtfAdaptiveRle0, 2, 1, packAdaptive<true>, unpackAdaptive<true>},
    {Method::mtfStatic, 1, 0, packStatic<false>, unpackStatic<false>},
    {Method::mtfStaticRle0, 2, 0, packStatic<true>, unpackStatic<true>},
};

}  // namespace

const char* const unexpectedEndMessage = "Error in compressed file (unexpected end of file)";
const char* const emptyMemberMessage = "Error in compressed file (block after a member of size 0)";

const MethodInfo& methodInfo(Method m) {
    for (const MethodInfo& info : methods)
        if (info.method == m) return info;
    assertionFailed("every method has a row", __FILE__, __LINE__);
}

const MethodInfo& methodFromCodes(unsigned code, unsigned coderType) {
    for (const MethodInfo& info : methods)
        if (info.code == code && info.coderType == coderType) return info;
    if (code == dcCode) throw Exception("Unsupported compression method (DC can't use static coder).");
    throw Exception("Unsupported compression method.");
}

void writeFileHeader(char* out, std::uint32_t fileSize) {
    std::memcpy(out, fileMagic, 8);
    putU32(out + 8, fileSize);
}

std::uint32_t parseFileHeader(const char* bytes, std::size_t got) {
    if (got < 8 || std::memcmp(bytes, fileMagic, 8) != 0) throw Exception("Invalid file (header id does not match).");
    if (got < fileHeaderSize) throw Exception(unexpectedEndMessage);
    return getU32(bytes + 8);
}

void writeBlockHeader(char* out, const BlockHeader& h) {
    std::memcpy(out, blockMagic, 4);
    putU32(out + 4, h.packedSize);
    putU32(out + 8, h.dataSize);
    out[12] = static_cast<char>(h.methodCode);
    out[13] = static_cast<char>(h.coderType);
    putU32(out + 14, h.checksum);
}

BlockHeader parseBlockHeader(const char* bytes, std::size_t got) {
    if (got < 4 || std::memcmp(bytes, blockMagic, 4) != 0)
        throw Exception("Invalid block (header id does not match).");
    if (got < blockHeaderSize) throw Exception(unexpectedEndMessage);
    BlockHeader b;
    b.packedSize = getU32(bytes + 4);
    b.dataSize = getU32(bytes + 8);
    b.methodCode = static_cast<unsigned char>(bytes[12]);
    b.coderType = static_cast<unsigned char>(bytes[13]);
    b.checksum = getU32(bytes + 14);
    return b;
}

std::uint32_t blockChecksum(std::uint32_t fileSize, const char* data, std::size_t size) {
    char sizeBytes[4];
    putU32(sizeBytes, fileSize);
    return crc32c(crc32c(0, sizeBytes, 4), data, size);
}

void verifyBlockChecksum(std::uint32_t stored, std::uint32_t fileSize, const char* data, std::size_t size) {
    if (stored != 0 && stored != blockChecksum(fileSize, data, size))
        throw Exception("Error in compressed file (block checksum mismatch)");
}

bool isMemberStart(const char* bytes, std::size_t got) { return got >= 8 && std::memcmp(bytes, fileMagic, 8) == 0; }

bool isBlockStart(const char* bytes, std::size_t got) { return got >= 4 && std::memcmp(bytes, blockMagic, 4) == 0; }

void checkBlockHeader(const BlockHeader& h, std::uint32_t left) {
    if (h.coderType > 1) throw Exception("Invalid arithmetic coder type (maybe block is corrupted?)");
    if (h.dataSize == 0) throw Exception("Wrong block size in packed size. Block cannot have size of 0.");
    if (h.dataSize > left) throw Exception("Wrong block size in packed file (this may also mean some other error).");
}

std::size_t payloadBytesToRead(const BlockHeader& h) {
    const std::uint64_t useful = std::uint64_t(16) * h.dataSize + (1u << 20);
    return static_cast<std::size_t>(std::min<std::uint64_t>(h.packedSize, useful));
}
