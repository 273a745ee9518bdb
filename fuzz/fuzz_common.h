// Shared set-up of the fuzz targets: settings from a selector byte, console
// output swallowed (the drivers print statistics and timings).
#ifndef VEXAQ38_FUZZ_COMMON_H
#define VEXAQ38_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <streambuf>

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

// The six block methods: DC with its two value coders, MTF adaptive and
// static, each with and without RLE0.
enum class Method { dc, dcPassThru, mtfAdaptive, mtfAdaptiveRle0, mtfStatic, mtfStaticRle0 };
constexpr unsigned numMethods = 6;

// Sets the compression settings of a method, as the parser would.
inline void selectMethod(Method m) {
    resetSettings();
    compress = true;
    switch (m) {
        case Method::dc: useDC = true; adaptiveAC = true; break;
        case Method::dcPassThru: useDC = true; adaptiveAC = true; passThru = true; break;
        case Method::mtfAdaptive: useMTF0 = true; adaptiveAC = true; doNotUseRLE0 = true; break;
        case Method::mtfAdaptiveRle0: useMTF0 = true; adaptiveAC = true; useRLE0 = true; break;
        case Method::mtfStatic: useMTF0 = true; staticAC = true; doNotUseRLE0 = true; break;
        case Method::mtfStaticRle0: useMTF0 = true; staticAC = true; useRLE0 = true; break;
    }
}

}  // namespace fuzz

#endif
