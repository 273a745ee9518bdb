#include "globals.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>

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

// ---------------------------------------------------------------- diagnostics

namespace {

void beginRecord(std::ostream& os, unsigned size) {
    os << "[Block] \n" << "Block size = " << size << "\n";
}

// Closes the body's line and leaves the blank separator line(s).
void endRecord(std::ostream& os) { os << "\n\n"; }

}  // namespace

unsigned mtfHistPassValue(char c) { return static_cast<unsigned char>(c); }

void printInputHistToFile(char* data, unsigned size) {
    beginRecord(inputHistFile, size);
    inputHistFile << "Data histogram:\n";
    histogram(inputHistFile, data, size);
    endRecord(inputHistFile);
}

void printBWTDataToFile(char* data, unsigned size, unsigned first) {
    beginRecord(bwtOutFile, size);
    bwtOutFile << "First suffix position: " << first << "\n" << "Data after BWT:\n";
    bwtOutFile.write(data, static_cast<std::streamsize>(size));
    endRecord(bwtOutFile);
}

void printMTFDataToFile(char* data, unsigned size) {
    beginRecord(mtfOutFile, size);
    mtfOutFile << "Data after MTF:\n";
    for (unsigned i = 0; i < size; ++i) {
        if (i != 0) mtfOutFile << ' ';
        mtfOutFile << static_cast<unsigned>(static_cast<unsigned char>(data[i]));
    }
    endRecord(mtfOutFile);
}

void printMTFHistToFile(char* data, unsigned size) {
    beginRecord(mtfHistFile, size);
    mtfHistFile << "Data MTF histogram:\n";
    histogram(mtfHistFile, data, size, mtfHistPassValue);
    endRecord(mtfHistFile);
}

void printDCHistToFile(const unsigned* values, unsigned count) {
    beginRecord(dcHistFile, count);
    dcHistFile << "Data DC histogram:\n";
    histogram(dcHistFile, values, count);
    endRecord(dcHistFile);
}

void printDCDataToFile(const unsigned* values, unsigned count) {
    beginRecord(dcOutFile, count);
    dcOutFile << "Data after DC:\n";
    for (unsigned i = 0; i < count; ++i) {
        if (i != 0) dcOutFile << ' ';
        dcOutFile << values[i];
    }
    endRecord(dcOutFile);
}

// ---------------------------------------------------------------- test mode

bool equalFiles(const std::string& name1, const std::string& name2) {
    std::ifstream f1(name1, std::ios::binary);
    std::ifstream f2(name2, std::ios::binary);
    // A file that cannot be opened or measured is never equal to anything;
    // this also keeps the buffers below from being compared unread.
    if (!f1.is_open() || !f2.is_open()) return false;
    f1.seekg(0, std::ios::end);
    f2.seekg(0, std::ios::end);
    const std::streamoff size1 = f1.tellg();
    const std::streamoff size2 = f2.tellg();
    if (size1 < 0 || size2 < 0 || size1 != size2) return false;
    f1.seekg(0, std::ios::beg);
    f2.seekg(0, std::ios::beg);

    constexpr std::streamoff chunk = 32768;
    std::unique_ptr<char[]> buf1(new char[chunk]);
    std::unique_ptr<char[]> buf2(new char[chunk]);
    std::streamoff a = 0;
    for (;;) {
        const std::streamoff n = size1 - a > chunk ? chunk : size1 - a;
        f1.read(buf1.get(), n);
        f2.read(buf2.get(), n);
        // A file that shrank or failed under us is not the file we measured.
        if (f1.gcount() != n || f2.gcount() != n) return false;
        for (std::streamoff i = 0; i < n; ++i) {
            if (buf1[i] != buf2[i]) {
                std::cout << "ERROR at position: " << (a + i) << std::endl;
                return false;
            }
        }
        a += n;
        if (a >= size1) return true;
    }
}

void verboseLine(const char* text) {
    if (verbose) std::cout << text << std::endl;
}
