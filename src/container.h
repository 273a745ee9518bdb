// The compressed file's container: the file header, the block headers and
// the table of block methods. Only this module knows the stored method and
// coder type codes; drivers, tests and fuzzers name methods by the enum.
//
// A compressed file is one or more members. A member: the file header, 12
// bytes: "VEXA_Q38", then fileSize (4 bytes); then one block after another,
// their dataSize adding up to fileSize: an 18-byte header ("BLCK",
// packedSize, dataSize, method code, coder type, checksum) and its payload
// of packedSize bytes. Integers are unsigned little-endian. After a member,
// bytes that begin with "VEXA_Q38" are the next member; any others are
// ignored. The checksum field was reserved and written as 0 by earlier
// writers; 0 still means "no checksum".
#ifndef VEXAQ38_CONTAINER_H
#define VEXAQ38_CONTAINER_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include "blockstage.h"

// Largest block any compressor writes and any reader accepts.
constexpr std::uint32_t maxBlockSize = 10485760;

constexpr unsigned fileHeaderSize = 12;
constexpr unsigned blockHeaderSize = 18;

// The stored block methods. Pass-through coding of the DC values is an
// option of the DC codec (nothing in the file records it), not a method.
enum class Method { dc, mtfAdaptive, mtfAdaptiveRle0, mtfStatic, mtfStaticRle0 };

// One row of the method table.
struct MethodInfo {
    Method method;
    unsigned char code;       // stored method code
    unsigned char coderType;  // stored coder type: 0 static, 1 adaptive
    void (*pack)(std::ostream& os, char* data, unsigned dataSize, const CodecOptions& options);
    void (*unpack)(std::istream& is, char* data, unsigned dataSize, const CodecOptions& options);
};

const MethodInfo& methodInfo(Method m);

// The method stored as (code, coderType). Raises Exception("Unsupported
// compression method (DC can't use static coder).") for the DC code with the
// static coder type and Exception("Unsupported compression method.") for
// any other unknown pair; the coder type itself is checked before (see
// BlockHeader).
const MethodInfo& methodFromCodes(unsigned code, unsigned coderType);

// The file header's bytes.
void writeFileHeader(char* out, std::uint32_t fileSize);

// The fileSize of the file header in the `got` (at most 12) bytes that were
// there to read. Raises Exception("Invalid file (header id does not
// match).") when the 8 id bytes are missing or wrong, and Exception("Error in
// compressed file (unexpected end of file)") when fileSize is cut short.
std::uint32_t parseFileHeader(const char* bytes, std::size_t got);

struct BlockHeader {
    std::uint32_t packedSize = 0;
    std::uint32_t dataSize = 0;
    unsigned char methodCode = 0;
    unsigned char coderType = 0;
    std::uint32_t checksum = 0;  // 0: none (files of earlier writers)
};

void writeBlockHeader(char* out, const BlockHeader& h);

// Whether the `got` bytes at hand begin a member (the 8 id bytes) or a block
// ("BLCK").
bool isMemberStart(const char* bytes, std::size_t got);
bool isBlockStart(const char* bytes, std::size_t got);

// The checks of a block header against the `left` bytes its member still
// needs, in this order: Exception("Invalid arithmetic coder type (maybe
// block is corrupted?)") for a coder type above 1, Exception("Wrong block
// size in packed size. Block cannot have size of 0.") for dataSize 0, and
// Exception("Wrong block size in packed file (this may also mean some other
// error).") for dataSize above `left`.
void checkBlockHeader(const BlockHeader& h, std::uint32_t left);

// The payload bytes worth reading: no decoder reads more than 16 bytes per
// block byte and 1 MiB, and past what is read it reads zeros, so a forged
// packedSize costs no more memory than that.
std::size_t payloadBytesToRead(const BlockHeader& h);

// The block header in the `got` (at most 18) bytes that were there to read.
// Raises Exception("Invalid block (header id does not match).") when "BLCK"
// is missing or wrong, and Exception("Error in compressed file (unexpected
// end of file)") when the rest is cut short. The fields are returned
// unchecked.
BlockHeader parseBlockHeader(const char* bytes, std::size_t got);

// The checksum of a block: CRC-32C over the 4 little-endian bytes of the
// file's fileSize, then the block's original bytes, so that a damaged
// fileSize is caught too. Never 0 in a header: a block whose CRC is 0
// stores 0 and goes unchecked (one in four billion).
std::uint32_t blockChecksum(std::uint32_t fileSize, const char* data, std::size_t size);

// Raises Exception("Error in compressed file (block checksum mismatch)")
// when `stored` is not 0 and differs from the restored block's checksum.
void verifyBlockChecksum(std::uint32_t stored, std::uint32_t fileSize, const char* data, std::size_t size);

// The message of a truncated container.
extern const char* const unexpectedEndMessage;

// The message of a member of size 0 followed by a block: the writer never
// makes one, so its fileSize is damaged.
extern const char* const emptyMemberMessage;

#endif
