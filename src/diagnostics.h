// Text dumps of intermediate data and the timing lines. Every writer takes
// the stream it writes to; which streams exist is the driver's business.
#ifndef VEXAQ38_DIAGNOSTICS_H
#define VEXAQ38_DIAGNOSTICS_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>

// Writes `label`, then the elapsed seconds (stop - start) / 1000 with the
// stream's current precision and "s", or "-" when either reading is -1;
// ends the line and flushes.
void printTime(std::ostream& os, const std::string& label, long start, long stop);

// Each writer appends one record per call to `os`. A record is
// "[Block] ", "Block size = N", the title line, the body and two line ends.
// Histogram byte keys are ordered as signed 8-bit values (128..255 first,
// then 0..127) on every platform.
void printInputHistToFile(std::ostream& os, const char* data, unsigned size);  // keys as characters
void printBWTDataToFile(std::ostream& os, const char* data, unsigned size, unsigned first);  // raw bytes
void printMTFDataToFile(std::ostream& os, const char* data, unsigned size);  // "0 1 255"
void printMTFHistToFile(std::ostream& os, const char* data, unsigned size);  // keys 0..255
void printDCHistToFile(std::ostream& os, const unsigned* values, unsigned count);
// "Block size = " shows `count`, then "Data after DC:" and the values in
// decimal separated by one blank.
void printDCDataToFile(std::ostream& os, const unsigned* values, unsigned count);

// Key shown unchanged (a char key as the character itself).
template <class T>
std::remove_cv_t<T> histogramPassThrough(T value) {
    return value;
}

// A byte key shown as its value 0..255.
unsigned mtfHistPassValue(char c);

// Key order of the histograms: bytes as signed 8-bit values, other keys by <.
template <class K>
struct HistogramKeyLess {
    bool operator()(const K& a, const K& b) const { return a < b; }
};
template <>
struct HistogramKeyLess<char> {
    bool operator()(char a, char b) const {
        return static_cast<signed char>(a) < static_cast<signed char>(b);
    }
};

// Writes the histogram lines of the `n` items at `data`, one per distinct key
// in ascending order: pass(key), " - ", count, "     [", items with smaller
// keys, ", ", items with greater keys, "]". n = 0 writes nothing.
template <class T, class F>
void histogram(std::ostream& os, T* data, unsigned n, F pass) {
    using Key = std::remove_cv_t<T>;
    std::map<Key, std::uint32_t, HistogramKeyLess<Key>> counts;
    for (unsigned i = 0; i < n; ++i) ++counts[data[i]];
    std::uint32_t before = 0;
    for (const auto& kv : counts) {
        os << pass(kv.first) << " - " << kv.second << "     [" << before << ", "
           << (n - before - kv.second) << "]\n";
        before += kv.second;
    }
}

template <class T>
void histogram(std::ostream& os, T* data, unsigned n) {
    histogram(os, data, n, histogramPassThrough<T>);
}

#endif
