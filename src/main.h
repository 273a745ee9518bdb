// The program's main flow, its command line and the two file drivers.
//
// The flow is a library function so that tests and fuzzers run the very code
// the executable runs; the process entry point only returns `runMain`.
#ifndef VEXAQ38_MAIN_H
#define VEXAQ38_MAIN_H

#include <cstdint>
#include <ostream>

#include "globals.h"

// Fills the settings from the arguments (argv[0], the program name, is
// skipped), opens the dump files it meets, applies the defaults, prints the
// warnings and, when asked, the help text on standard output. Returns false
// only when there are no arguments (the help has then been printed). Raises
// Exception for every unusable command line; dump files opened before the
// failing check stay created.
bool parseCommandLineParams(int argc, char** argv);

// The 42 lines of the help text, each ended by a newline and a flush.
void printHelp(std::ostream& os);

// Runs the whole program and returns the exit status: 0, or -1 after an
// error and in test mode when the restored file differs. Errors are written
// to standard error as "ERROR: " and the message. After every run that got
// past the parser it writes "Press any key to continue . . . " and, only when
// standard input is a terminal, waits for one key press.
int runMain(int argc, char** argv);

// Compresses `inputName` into the container file `outputName` with the
// method the settings select and returns the container's size. Raises
// Exception when a file cannot be opened, read or written, names the same
// file as the other (or, with `test`, as `testfilename`), is empty or is
// 4 GiB or larger, and passes on the block encoders' errors. The output
// appears only when the whole run succeeded (an existing file of that name
// is replaced then, and left as it was otherwise), with the input's
// permission bits and modification time. Sets `blockSize` to the block size
// used. Blocks are coded on up to `threadCount` threads; the output is the
// same.
std::uint32_t packFile(const char* inputName, const char* outputName);

// Restores the container `inputName` into `outputName`; always returns 0.
// Every header field is checked before it is used, so a truncated or damaged
// container raises Exception with a message naming the fault, and so does a
// block whose checksum does not match; nothing is left of a failed run, as
// for packFile. Blocks are decoded on up to `threadCount` threads; the
// output, the console lines and the first error reported are those of one
// thread.
int unpackFile(const char* inputName, const char* outputName);

// The statistics line of a compression: "Compressed data size: N (S%, bpc B)"
// with S and B at precision 3, which stays set on `os`. inputSize > 0.
void printCompressionStats(std::ostream& os, std::uint64_t inputSize, std::uint64_t compressedSize);


#endif
