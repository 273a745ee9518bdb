// Shared set-up of the fuzz targets: settings from a selector byte, console
// output swallowed (the drivers print statistics and timings).
#ifndef VEXAQ38_FUZZ_COMMON_H
#define VEXAQ38_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <streambuf>

#include "container.h"
#include "globals.h"
#include "main.h"

namespace fuzz {

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Silences standard output for the lifetime of the object.
class QuietStdout {
public:
    QuietStdout() : old(std::cout.rdbuf(&null)) {}
    ~QuietStdout() { std::cout.rdbuf(old); }

private:
    NullBuffer null;
    std::streambuf* old;
};

// The six block variants a selector byte picks (seeds depend on the order):
// the stored methods, DC also with its pass-through value coder.
struct Variant {
    Method method;
    bool passThru;
};
constexpr Variant variants[] = {
    {Method::dc, false},          {Method::dc, true},        {Method::mtfAdaptive, false},
    {Method::mtfAdaptiveRle0, false}, {Method::mtfStatic, false}, {Method::mtfStaticRle0, false},
};
constexpr unsigned numVariants = sizeof(variants) / sizeof(variants[0]);

// Sets the compression settings of a variant, as the parser would.
inline void selectVariant(const Variant& v) {
    resetSettings();
    compress = true;
    passThru = v.passThru;
    switch (v.method) {
        case Method::dc: useDC = true; adaptiveAC = true; break;
        case Method::mtfAdaptive: useMTF0 = true; adaptiveAC = true; doNotUseRLE0 = true; break;
        case Method::mtfAdaptiveRle0: useMTF0 = true; adaptiveAC = true; useRLE0 = true; break;
        case Method::mtfStatic: useMTF0 = true; staticAC = true; doNotUseRLE0 = true; break;
        case Method::mtfStaticRle0: useMTF0 = true; staticAC = true; useRLE0 = true; break;
    }
}

}  // namespace fuzz

#endif
