// Shared set-up of the fuzz targets: settings from a selector byte, console
// output swallowed (the drivers print statistics and timings).
#ifndef VEXAQ38_FUZZ_COMMON_H
#define VEXAQ38_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <streambuf>

#include "container.h"
#include "drivers.h"

namespace fuzz {

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A stream that swallows what is written to it (its buffer is a base, so
// it is built before the stream).
class NullStream : private NullBuffer, public std::ostream {
public:
    NullStream() : std::ostream(static_cast<NullBuffer*>(this)) {}
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

// The drivers' settings of a variant, their console silenced.
inline DriverSettings settingsFor(const Variant& v, std::ostream& console) {
    DriverSettings s;
    s.method = v.method;
    s.codec.passThru = v.passThru;
    s.console = &console;
    return s;
}

}  // namespace fuzz

#endif
