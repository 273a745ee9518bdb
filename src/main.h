// The program's main flow. It is a library function so that tests and
// fuzzers run the very code the executable runs; the process entry point
// (entry.cpp) only returns `runMain`.
#ifndef VEXAQ38_MAIN_H
#define VEXAQ38_MAIN_H

// Runs the whole program and returns the exit status: 0, or -1 after an
// error and in test mode when the restored file differs. Errors are written
// to standard error as "ERROR: " and the message. After every run that got
// past the parser it writes "Press any key to continue . . . " on the
// console and, only when standard input is a terminal that carries no data,
// waits for one key press.
int runMain(int argc, char** argv);

#endif
