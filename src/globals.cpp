#include "globals.h"

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

bool bwtPrintSuffixesToFile = false;
bool bwtPrintSuffixArrayToFile = false;
std::uint32_t bwtPrintSuffixesToFileMaxSuffixSize = 4294967295u;
std::uint32_t threadCount = 0;

namespace {

// The name each dump stream was last opened on, for the failure report.
struct DumpName {
    std::ofstream* stream;
    std::string name;
};

DumpName dumpNames[] = {
    {&bwtOutFile, {}},    {&mtfOutFile, {}},    {&rle0OutFile, {}},   {&dcOutFile, {}},
    {&inputHistFile, {}}, {&mtfHistFile, {}},   {&rle0HistFile, {}},  {&dcHistFile, {}},
    {&suffixArrayFile, {}}, {&suffixesFile, {}},
};

}  // namespace

void openDump(std::ofstream& stream, const std::string& name, const char* openError) {
    // A repeated option replaces the earlier file; that one stays created.
    if (stream.is_open()) stream.close();
    stream.clear();
    stream.open(name, std::ios::out | std::ios::trunc);
    if (!stream.is_open()) throw Exception(openError + name);
    for (auto& d : dumpNames) {
        if (d.stream == &stream) d.name = name;
    }
}

void reportDumpFailures(std::ostream& os) {
    for (auto& d : dumpNames) {
        if (!d.stream->is_open()) continue;
        d.stream->flush();
        if (d.stream->fail()) os << "WARNING: writing dump file failed: " << d.name << std::endl;
    }
}

void resetSettings() {
    ifilename.clear();
    ofilename.clear();
    testfilename.clear();
    compress = decompress = test = help = verbose = false;
    useMTF0 = useMTF1 = useDC = useRLE0 = doNotUseRLE0 = false;
    adaptiveAC = staticAC = passThru = false;
    blockSize = 0;
    threadCount = 0;
    printInputHist = printBWTData = printMTFData = printMTFHist = false;
    printRLE0Data = printRLE0Hist = printDCData = printDCHist = false;
    bwtPrintSuffixesToFile = false;
    bwtPrintSuffixArrayToFile = false;
    bwtPrintSuffixesToFileMaxSuffixSize = 4294967295u;
    for (auto& d : dumpNames) {
        if (d.stream->is_open()) d.stream->close();
        d.stream->clear();
        d.name.clear();
    }
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
