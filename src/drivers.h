// The two file drivers: compression of a file or of standard input into
// members of the container, and their restoration. The drivers read no
// program-wide settings: the command line builds a DriverSettings value.
#ifndef VEXAQ38_DRIVERS_H
#define VEXAQ38_DRIVERS_H

#include <cstdint>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>

#include "blockstage.h"
#include "container.h"

struct DriverSettings {
    bool verbose = false;
    std::uint32_t blockSize = 0;    // 0: the whole input; never above maxBlockSize
    std::optional<Method> method;   // compression; none: "Unsupported compression method"
    CodecOptions codec;             // passThru and the dumps; the drivers set the rest
    unsigned threads = 1;           // 1 to 64; the output is the same at every count
    std::uint64_t memoryBudget = 0; // bytes the blocks in flight may take; 0: no bound
    std::ostream* console = &std::cout;  // verbose, statistics and time lines
    std::string testName;           // compression: the test's restored file, kept apart
    // The most bytes a member of a named input may hold; members are cut at
    // whole blocks. Its fileSize field has 32 bits.
    std::uint32_t memberLimit = 0xFFFFFFFFu;
};

// The name that stands for standard input or output.
inline bool isStandardStream(const std::string& name) { return name == "-"; }

// Compresses `inputName` ("-": standard input) into `outputName` ("-":
// standard output) and returns the compressed size. A named input under
// 4 GiB gives one member; a larger one members of as many whole blocks as
// fit in memberLimit; standard input one member per block, each written
// as soon as it is coded. Raises Exception when a file cannot be opened,
// read or written, names the same file as the other (or as the test file),
// is empty, when compressed data would go to a terminal, and passes on the
// block encoders' errors. A named output appears only when the whole run
// succeeded, with a named input's permission bits and modification time.
std::uint64_t packFile(const std::string& inputName, const std::string& outputName, const DriverSettings& settings);

// Restores every member of `inputName` ("-": standard input) into
// `outputName` ("-": standard output); always returns 0. Bytes after a
// member that do not begin another are ignored. Every header field is
// checked before it is used, and every block against its checksum before
// its bytes are written, so damage raises Exception with a message naming
// the fault; a named output is then left as it was, while the blocks
// already sent to standard output stay sent. Compressed data is never read
// from a terminal.
int unpackFile(const std::string& inputName, const std::string& outputName, const DriverSettings& settings);

// The statistics line of a compression: "Compressed data size: N (S%, bpc B)"
// with S and B at precision 3, which stays set on `os`. inputSize > 0.
void printCompressionStats(std::ostream& os, std::uint64_t inputSize, std::uint64_t compressedSize);

#endif
