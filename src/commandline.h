// The command line: the help text, the parser that fills the settings, and
// what the settings make of a run (the drivers' settings, where the console
// lines go).
#ifndef VEXAQ38_COMMANDLINE_H
#define VEXAQ38_COMMANDLINE_H

#include <ostream>

#include "drivers.h"

// Fills the settings from the arguments (argv[0], the program name, is
// skipped), opens the dump files it meets, applies the defaults, prints the
// warnings and, when asked, the help text on the console (consoleStream).
// Returns false only when there are no arguments (the help has then been
// printed on standard output). Raises Exception for every unusable command
// line, and for --test with standard input or output when compressing;
// dump files opened before the failing check stay created.
bool parseCommandLineParams(int argc, char** argv);

// The 42 lines of the help text, each ended by a newline and a flush.
void printHelp(std::ostream& os);

// Where the program's lines go: standard error when standard output carries
// the data (output "-", or input "-" without -o), else standard output.
// Right at any point of parsing.
std::ostream& consoleStream();

// Whether standard input carries the data (input "-").
bool standardInputCarriesData();

// The drivers' settings the parsed command line gives: the method, the
// dumps, the threads (all cores for 0, at most 64), half of the memory
// available as the budget of the blocks in flight, the console.
DriverSettings driverSettings();

#endif
