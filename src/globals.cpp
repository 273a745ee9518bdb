#include "globals.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

std::string ifilename;
std::string ofilename;
std::string testfilename;
bool compress = false;
bool decompress = false;
bool test = false;
bool help = false;
bool verbose = false;

bool useMTF0 = false;
bool useMTF1 = false;
bool useDC = false;
bool useRLE0 = false;
bool doNotUseRLE0 = false;
bool adaptiveAC = false;
bool staticAC = false;
bool passThru = false;
std::uint32_t blockSize = 0;

bool printInputHist = false;
bool printBWTData = false;
bool printMTFData = false;
bool printMTFHist = false;
bool printRLE0Data = false;
bool printRLE0Hist = false;
bool printDCData = false;
bool printDCHist = false;
std::ofstream inputHistFile;
std::ofstream bwtOutFile;
std::ofstream mtfOutFile;
std::ofstream mtfHistFile;
std::ofstream rle0OutFile;
std::ofstream rle0HistFile;
std::ofstream dcOutFile;
std::ofstream dcHistFile;
std::ofstream suffixesFile;
std::ofstream suffixArrayFile;

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

long readClock() {
    const std::clock_t c = std::clock();
    if (c == static_cast<std::clock_t>(-1)) return -1;
    return static_cast<long>(static_cast<double>(c) * 1000.0 / CLOCKS_PER_SEC);
}

void printTime(std::ostream& os, const std::string& label, long start, long stop) {
    os << label;
    if (start == -1 || stop == -1) {
        os << "-";
    } else {
        const std::int32_t elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(stop) -
                                                               static_cast<std::uint32_t>(start));
        os << static_cast<double>(elapsed) / 1000 << "s";
    }
    os << std::endl;
}
