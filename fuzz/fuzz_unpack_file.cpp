// Arbitrary bytes given to the container reader as a compressed file. Byte 0
// sets the pass-through switch; the rest is the file. The only allowed
// outcomes are a restored file or an Exception. Each member's fileSize is
// cut to 18 bits: the decoders fill every block whatever its payload, so a large
// fileSize only makes runs slow enough to pass for hangs (the reader's size
// checks have their own tests).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_common.h"

namespace {

std::string tempName(const char* what) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/q38fuzz-" + std::to_string(getpid()) + "-" + what;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const std::string in = tempName("in"), out = tempName("out");
    std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
    // Every member's fileSize, the first one's and those of the members
    // after it.
    for (std::size_t at = 0; at + 12 <= file.size(); ++at) {
        if (file.compare(at, 8, "VEXA_Q38") != 0) continue;
        file[at + 10] = static_cast<char>(file[at + 10] & 3);
        file[at + 11] = 0;
    }
    {
        std::ofstream f(in, std::ios::binary | std::ios::trunc);
        f.write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    fuzz::NullStream quiet;
    DriverSettings settings;
    settings.codec.passThru = (data[0] & 1) != 0;
    settings.console = &quiet;
    try {
        unpackFile(in, out, settings);
    } catch (const Exception&) {
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    return 0;
}
