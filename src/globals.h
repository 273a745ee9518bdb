// Program-wide settings, the error type, timing lines, diagnostic writers and
// the file comparison of the test mode.
//
// The settings are plain variables: the command-line parser writes them once,
// every stage reads what concerns it by name. Two are written later on
// purpose: the compression driver replaces `blockSize` by the size it uses,
// and the decompression driver sets `useRLE0` from each MTF block's method.
#ifndef VEXAQ38_GLOBALS_H
#define VEXAQ38_GLOBALS_H

#include <cstdint>
#include <exception>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>

// ---------------------------------------------------------------- settings
// File names and modes.
extern std::string ifilename;
extern std::string ofilename;
extern std::string testfilename;
extern bool compress;
extern bool decompress;
extern bool test;
extern bool help;
extern bool verbose;

// Method selection.
extern bool useMTF0;
extern bool useMTF1;
extern bool useDC;
extern bool useRLE0;
extern bool doNotUseRLE0;
extern bool adaptiveAC;
extern bool staticAC;
extern bool passThru;
extern std::uint32_t blockSize;  // 0: the whole input as one block (capped)

// Diagnostic switches and the text streams they write to.
extern bool printInputHist;
extern bool printBWTData;
extern bool printMTFData;
extern bool printMTFHist;
extern bool printRLE0Data;
extern bool printRLE0Hist;
extern bool printDCData;
extern bool printDCHist;
extern std::ofstream inputHistFile;
extern std::ofstream bwtOutFile;
extern std::ofstream mtfOutFile;
extern std::ofstream mtfHistFile;
extern std::ofstream rle0OutFile;
extern std::ofstream rle0HistFile;
extern std::ofstream dcOutFile;
extern std::ofstream dcHistFile;
// The suffix dump streams; the switches and the pointers the transform reads
// are declared in bwt.h.
extern std::ofstream suffixesFile;
extern std::ofstream suffixArrayFile;

// Largest block any compressor writes and any reader accepts.
constexpr std::uint32_t maxBlockSize = 10485760;

// ---------------------------------------------------------------- errors
// The one error type of the program. Raised by value, caught by reference;
// only the main flow catches it.
class Exception : public std::exception {
public:
    explicit Exception(const std::string& message) : message(message) {}
    ~Exception() override = default;
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

// Internal invariants. No input can break one; a failure prints the
// expression, the source name (file name without folder or extension) and
// the line, then aborts. Active in every build.
[[noreturn]] void assertionFailed(const char* expr, const char* file, int line);
#define Q38_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : assertionFailed(#expr, __FILE__, __LINE__))

// ---------------------------------------------------------------- timing
// Clock reading in milliseconds of processor time; -1 when unavailable.
long readClock();

// Writes `label`, then the elapsed seconds (stop - start) / 1000 with the
// stream's current precision and "s", or "-" when either reading is -1;
// ends the line and flushes.
void printTime(std::ostream& os, const std::string& label, long start, long stop);

// Writes `text` and an end of line to standard output when `verbose` is set:
// the progress lines of the drivers and codecs.
void verboseLine(const char* text);

// ---------------------------------------------------------------- diagnostics
// Each writer appends one record per call to its stream; callers test the
// switch. A record is "[Block] ", "Block size = N", the title line, the body
// and two line ends. Histogram byte keys are ordered as signed 8-bit values
// (128..255 first, then 0..127) on every platform.
void printInputHistToFile(char* data, unsigned size);   // inputHistFile, keys as characters
void printBWTDataToFile(char* data, unsigned size, unsigned first);  // bwtOutFile, raw bytes
void printMTFDataToFile(char* data, unsigned size);     // mtfOutFile, "0 1 255"
void printMTFHistToFile(char* data, unsigned size);     // mtfHistFile, keys 0..255
void printDCHistToFile(const unsigned* values, unsigned count);  // dcHistFile
// dcOutFile: "Block size = " shows `count`, then "Data after DC:" and the
// values in decimal separated by one blank.
void printDCDataToFile(const unsigned* values, unsigned count);

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

// ---------------------------------------------------------------- test mode
// True when both files have the same length and bytes. On the first
// difference writes "ERROR at position: N" (0-based) to standard output.
// Different lengths, a file that cannot be opened, or a read that delivers
// less than the measured length give false without a message.
bool equalFiles(const std::string& name1, const std::string& name2);

#endif
