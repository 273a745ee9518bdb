// Arbitrary payloads given straight to every block decoder. Byte 0 picks the
// decoder, bytes 1-3 the block size (at most 128 KiB: decoders fill the whole
// block whatever the payload, and larger blocks only make runs slow enough to
// pass for hangs); the rest is the payload. The only allowed
// outcomes are a restored block or an Exception.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const fuzz::Variant& variant = fuzz::variants[data[0] % fuzz::numVariants];
    const unsigned dataSize =
        1 + ((data[1] | static_cast<unsigned>(data[2]) << 8 | static_cast<unsigned>(data[3]) << 16) % (1u << 17));
    CodecOptions options;
    options.passThru = variant.passThru;
    std::istringstream is(std::string(reinterpret_cast<const char*>(data + 4), size - 4));
    // One guard byte after the block catches a decoder that writes past it
    // even without a sanitizer.
    std::vector<char> block(dataSize + 1, '\x5a');
    try {
        methodInfo(variant.method).unpack(is, block.data(), dataSize, options);
    } catch (const Exception&) {
    }
    if (block[dataSize] != '\x5a') __builtin_trap();
    return 0;
}
