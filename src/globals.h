// Program-wide settings and the file comparison of the test mode.
//
// The settings are plain variables, written by the command-line parser and
// read only by the command line, which hands the drivers what they need as
// one DriverSettings value, and by the main flow. Neither the drivers nor
// anything below them includes this header.
#ifndef VEXAQ38_GLOBALS_H
#define VEXAQ38_GLOBALS_H

#include <cstdint>
#include <fstream>
#include <string>

#include "base.h"

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
extern std::ofstream suffixesFile;
extern std::ofstream suffixArrayFile;

// Suffix dumps of the forward transform (--suffixes_output,
// --suffix_array_output, --suffixes_output_max_size).
extern bool bwtPrintSuffixesToFile;
extern bool bwtPrintSuffixArrayToFile;
extern std::uint32_t bwtPrintSuffixesToFileMaxSuffixSize;  // 4294967295: no limit

// Threads a run may use (--threads): 0 means every core the process may run
// on; the command line caps it at 64.
extern std::uint32_t threadCount;

// Opens (or empties) a dump file for its option; a repeated option closes
// the earlier file, which stays created. Raises Exception(openError + name)
// when the file cannot be opened.
void openDump(std::ofstream& stream, const std::string& name, const char* openError);

// Writes "WARNING: writing dump file failed: " and the name for every dump
// stream that has failed since it was opened (a full disk).
void reportDumpFailures(std::ostream& os);

// Puts every setting back to its initial value and closes every dump
// stream. For tests and fuzzers.
void resetSettings();

// ---------------------------------------------------------------- test mode
// True when both files have the same length and bytes. On the first
// difference writes "ERROR at position: N" (0-based) to standard output.
// Different lengths, a file that cannot be opened, or a read that delivers
// less than the measured length give false without a message.
bool equalFiles(const std::string& name1, const std::string& name2);

#endif
