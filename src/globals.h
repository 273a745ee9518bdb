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
#include <ostream>
#include <string>

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

// ---------------------------------------------------------------- diagnostics
// Each writer appends one record per call to its stream; callers test the
// switch. Byte keys of histograms are ordered as signed 8-bit values.
void printInputHistToFile(char* data, unsigned size);
void printBWTDataToFile(char* data, unsigned size, unsigned first);
void printMTFDataToFile(char* data, unsigned size);
void printMTFHistToFile(char* data, unsigned size);
void printDCHistToFile(const unsigned* values, unsigned count);

// ---------------------------------------------------------------- test mode
// True when both files have the same length and bytes. On the first
// difference writes "ERROR at position: N" to standard output. A file that
// cannot be opened or read makes the result false.
bool equalFiles(const std::string& name1, const std::string& name2);

#endif
