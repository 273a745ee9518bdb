#include "main.h"

#include <termios.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <iostream>

#include "commandline.h"
#include "drivers.h"
#include "fileio.h"
#include "globals.h"

namespace {

// One key press without Enter, only on a terminal that carries no data;
// pipes and files never block. The terminal's mode is restored before
// returning.
void waitForKey(std::ostream& console) {
    console << "Press any key to continue . . . " << std::flush;
    if (!standardInputCarriesData() && ::isatty(STDIN_FILENO)) {
        termios saved {};
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            char c;
            while (::read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
            }
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
    }
    console << std::endl;
}

// The end of every run past the parser.
void finishRun() {
    std::ostream& console = consoleStream();
    reportDumpFailures(console);
    waitForKey(console);
}

}  // namespace

int runMain(int argc, char** argv) {
#if defined(M_MMAP_THRESHOLD)
    // Block tables come and go block after block; a fixed threshold keeps
    // them mapped on their own, so that a freed table goes back to the system
    // instead of leaving a hole the next block's tables do not fit.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    // Before any thread starts: an interrupted run leaves no temporary file.
    installSignalCleanup();
    try {
        if (!parseCommandLineParams(argc, argv)) return 0;
        // Help with an input name but no mode: nothing more to do.
        if (!compress && !decompress) return 0;
        const DriverSettings settings = driverSettings();
        std::ostream& console = *settings.console;
        bool filesEqual = true;
        if (compress) {
            packFile(ifilename, ofilename, settings);
            console << std::endl;
            if (test) {
                console << "Testing packed file correctness." << std::endl << std::endl;
                unpackFile(ofilename, testfilename, settings);
                console << std::endl;
                filesEqual = equalFiles(ifilename, testfilename);
                if (filesEqual)
                    console << "OK, Files are equal." << std::endl;
                else
                    std::cerr << "ERROR: Files are not equal!" << std::endl;
            }
        } else {
            unpackFile(ifilename, ofilename, settings);
        }
        console << "End." << std::endl;
        finishRun();
        // A failed check must not pass for success.
        return filesEqual ? 0 : -1;
    } catch (const Exception& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
        finishRun();
        return -1;
    } catch (const std::exception& e) {
        std::cerr << "ERROR: std::exception catched: " << e.what() << std::endl;
        finishRun();
        return -1;
    } catch (...) {
        std::cerr << "ERROR: unknown error!" << std::endl;
        finishRun();
        throw;
    }
}
