// Arbitrary data compressed with every method, RLE0 and coder choice and a
// few block sizes, then restored and compared. Byte 0 picks the method,
// byte 1 the block size; the rest is the file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_common.h"

namespace {

std::string tempName(const char* what) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/q38fuzz-" + std::to_string(getpid()) + "-" + what;
}

std::string slurp(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;  // an empty file is refused by design
    static const std::string in = tempName("in"), packed = tempName("packed"), out = tempName("out");
    const std::string original(reinterpret_cast<const char*>(data + 2), size - 2);
    {
        std::ofstream f(in, std::ios::binary | std::ios::trunc);
        f.write(original.data(), static_cast<std::streamsize>(original.size()));
    }
    const fuzz::Variant& variant = fuzz::variants[data[0] % fuzz::numVariants];
    static const std::uint32_t blockSizes[] = {0, 1, 2, 5, 64, 1000, 4096};
    fuzz::NullStream quiet;
    DriverSettings settings = fuzz::settingsFor(variant, quiet);
    settings.blockSize = blockSizes[data[1] % (sizeof(blockSizes) / sizeof(blockSizes[0]))];
    packFile(in, packed, settings);
    const std::string first = slurp(packed);
    // Compressing the same input again must give the same bytes.
    packFile(in, packed, settings);
    if (slurp(packed) != first) __builtin_trap();
    unpackFile(packed, out, settings);
    if (slurp(out) != original) __builtin_trap();
    // Replays run under ctest: leave nothing behind in the temporary folder.
    std::remove(in.c_str());
    std::remove(packed.c_str());
    std::remove(out.c_str());
    return 0;
}
