#include "base.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void assertionFailed(const char* expr, const char* file, int line) {
    // Report the module name only, as "bitstream" for src/bitstream.h.
    const char* base = std::strrchr(file, '/');
    base = base ? base + 1 : file;
    std::string source(base);
    const std::string::size_type dot = source.find('.');
    if (dot != std::string::npos) source.erase(dot);
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expr, source.c_str(), line);
    std::fflush(stderr);
    std::abort();
}
