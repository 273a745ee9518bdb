#include "commandline.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "globals.h"
#include "pipeline.h"
#include "platform.h"

namespace {

struct DumpOption {
    const char* option;
    bool* sw;              // the switch the option sets
    std::ofstream* stream;
    const char* openError;
};

// The method the settings choose for compression; none for --mtf1 alone.
std::optional<Method> chosenMethod() {
    if (useMTF0) {
        if (adaptiveAC) return useRLE0 ? Method::mtfAdaptiveRle0 : Method::mtfAdaptive;
        return useRLE0 ? Method::mtfStaticRle0 : Method::mtfStatic;
    }
    if (useDC) return Method::dc;
    return std::nullopt;
}

}  // namespace

void printHelp(std::ostream& os) {
    static const char* const lines[] = {
        "This program is an implementation of project Q38 for VEXA.",
        "Version: 0.27",
        "Date of release: 2005.11.09",
        "",
        "You can use the following options:",
        "-c                 - compress",
        "-e                 - extract",
        "-v, --verbose      - trigger additional messages",
        "-o filename        - output filename (when not supplied xoutput is chosen)",
        "-b blocksize       - set fixed block size",
        "-m, --mtf0         - use MTF transform",
        "-r, --rle0         - use RLE0 coding",
        "--norle0           - force compressor not to use rle0",
        "-d, --dc           - use DC transform",
        "-a                 - use adaptive arithmetic coding",
        "-s                 - use static arithmetic coding",
        "--bwt_output filaname   - print data after BWT transform to file",
        "--mtf_output filename   - print data after MTF transform to file",
        "--rle0_output           - print data after RLE0 coding to file",
        "--dc_output             - print data after DC coding to file",
        "--input_histogram       - generate file with input symbols histogram",
        "--mtf_histogram         - generate file with histogram of symbols after",
        "                          MTF transform",
        "--rle0_histogram        - generate file with histogram of symbols after",
        "                          RLE0 coding",
        "--dc_histogram          - generate file with histogram of symbols after",
        "                          DC coding",
        "--suffixes_output filename     - print sorted list of suffixes to file",
        "--suffixes_output_max_size num - limit printed suffix length (print ",
        "                                 only num first symbols). this option",
        "                                 should be used only in combination ",
        "                                 with --suffixes_output.",
        "--suffix_array_output filename - print suffix array (only indices) to ",
        "                                 a file",
        "--test filename                - option to be used when compressing. forces",
        "                                 compressor to automaticly decompress file",
        "                                 and check for file contents equality",
        "",
        "Examples of use:",
        "vexa-Q38 -c file1 -o compressedfile1 -m -r -b 10000",
        "vexa-Q38 -e compressedfile1 -o file1 --verbose",
        "vexa-Q38 -c --dc file1 --dc_histogram dchist.txt",
    };
    for (const char* line : lines) os << line << std::endl;
}

bool parseCommandLineParams(int argc, char** argv) {
    if (argc <= 1) {
        printHelp(std::cout);
        return false;
    }

    static const DumpOption dumps[] = {
        {"--bwt_output", &printBWTData, &bwtOutFile, "Unable to open BWT output file: "},
        {"--mtf_output", &printMTFData, &mtfOutFile, "Unable to open MTF output file: "},
        {"--rle0_output", &printRLE0Data, &rle0OutFile, "Unable to open RLE0 output file: "},
        {"--dc_output", &printDCData, &dcOutFile, "Unable to open DC output file: "},
        {"--input_histogram", &printInputHist, &inputHistFile, "Unable to open output histogram file: "},
        {"--mtf_histogram", &printMTFHist, &mtfHistFile, "Unable to open output histogram file: "},
        {"--rle0_histogram", &printRLE0Hist, &rle0HistFile, "Unable to open output histogram file: "},
        {"--dc_histogram", &printDCHist, &dcHistFile, "Unable to open output histogram file: "},
    };
    struct Flag {
        const char* option;
        bool* sw;
    };
    static const Flag flags[] = {
        {"-c", &compress},     {"-e", &decompress},      {"-v", &verbose},   {"--verbose", &verbose},
        {"-d", &useDC},        {"--dc", &useDC},         {"-m", &useMTF0},   {"--mtf0", &useMTF0},
        {"--mtf1", &useMTF1},  {"-r", &useRLE0},         {"--rle0", &useRLE0}, {"--norle0", &doNotUseRLE0},
        {"-a", &adaptiveAC},   {"-s", &staticAC},        {"-p", &passThru},  {"-h", &help},
        {"--help", &help},
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // The value of an option is the next argument, whatever it looks like.
        auto value = [&](const char* missing) -> std::string {
            if (i + 1 >= argc) throw Exception(missing);
            return argv[++i];
        };

        bool matched = false;
        for (const Flag& f : flags) {
            if (arg == f.option) {
                *f.sw = true;
                matched = true;
                break;
            }
        }
        if (matched) continue;
        for (const DumpOption& d : dumps) {
            if (arg == d.option) {
                const std::string name = value(
                    (std::string("Filename expected after ") + d.option + " parameter").c_str());
                *d.sw = true;
                openDump(*d.stream, name, d.openError);
                matched = true;
                break;
            }
        }
        if (matched) continue;

        if (arg == "-o") {
            ofilename = value("Filename expected after -o parameter");
        } else if (arg == "--test") {
            test = true;
            testfilename = value("Filename expected after --test parameter");
        } else if (arg == "-b") {
            // atoi, stored into 32 bits: -1 wraps to 4294967295, a word is 0.
            const std::string number = value("Number (block size) expected after -b parameter");
            blockSize = static_cast<std::uint32_t>(std::atoi(number.c_str()));
        } else if (arg == "--suffix_array_output") {
            openDump(suffixArrayFile, value("Filename expected after --suffix_array_output parameter"),
                     "Unable to open output suffix array file: ");
            bwtPrintSuffixArrayToFile = true;
        } else if (arg == "--suffixes_output") {
            openDump(suffixesFile, value("Filename expected after --suffixes_output parameter"),
                     "Unable to open output suffixes file: ");
            bwtPrintSuffixesToFile = true;
        } else if (arg == "--suffixes_output_max_size") {
            const std::string number =
                value("Number (max suffix size) expected after -suffixes_output_max_size parameter");
            bwtPrintSuffixesToFileMaxSuffixSize = static_cast<std::uint32_t>(std::atoi(number.c_str()));
        } else if (arg == "--threads") {
            const std::string number = value("Number (threads) expected after --threads parameter");
            threadCount = static_cast<std::uint32_t>(std::atoi(number.c_str()));
        } else if (ifilename.empty()) {
            ifilename = arg;
        } else {
            throw Exception("Invalid parameter: " + arg);
        }
    }

    if (compress && decompress)
        throw Exception("Cannot do both compression (-c) and decompression (-e) at the same time!");
    if (!compress && !decompress && !help)
        throw Exception("You must either choose to compress (-c) or to extract (-e)!");
    if (ifilename.empty()) throw Exception("Input filename missing!");

    if (compress) {
        if (useRLE0 && doNotUseRLE0)
            throw Exception("Cannot both use (-r,--rle0) and not use (--norle0) RLE0 coding at the same time!");
        if (adaptiveAC && staticAC)
            throw Exception("Cannot use adaptive (-a) and static (-s) arithmetic coding at he same time!");
        if ((useMTF0 && useMTF1) || (useDC && (useMTF0 || useMTF1)))
            throw Exception(
                "Cannot use MTF0 (-m, --mtf0), MTF1 (--mtf1) or DC (-d, --dc) coding at he same time! Chose only "
                "one of the above.");
        if (useDC) {
            if (useRLE0)
                consoleStream() << "WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC coder."
                          << std::endl;
            if (doNotUseRLE0)
                consoleStream() << "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC coder."
                          << std::endl;
            if (staticAC)
                consoleStream() << "WARNING: static arithmetic coder is not unsupported when using DC coder."
                          << std::endl;
        } else if (!useRLE0 && !doNotUseRLE0) {
            useRLE0 = true;
        }
        if (!useMTF0 && !useMTF1 && !useDC) useDC = true;
        if (!adaptiveAC && !staticAC) adaptiveAC = true;
        if (ofilename.empty()) ofilename = ifilename == "-" ? "-" : ifilename + ".vexaQ38p";
        // The test restores and compares files by name.
        if (test && (ifilename == "-" || ofilename == "-"))
            throw Exception("--test needs named input and output files, not standard input or output (-)");
    } else if (decompress) {
        if (ofilename.empty()) ofilename = ifilename == "-" ? "-" : ifilename + ".vexaQ38u";
        const struct {
            bool set;
            const char* text;
        } warnings[] = {
            {useMTF0, "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing."},
            {useMTF1, "WARNING: MTF1 compression flag (--mtf1) ignored when decompressing."},
            {useDC, "WARNING: DC compression flag (-d, --dc) ignored when decompressing."},
            {useRLE0, "WARNING: RLE0 compression flag (-r, --rle0) ignored when decompressing."},
            {doNotUseRLE0, "WARNING: no RLE0 compression flag (--norle0) ignored when decompressing."},
            {adaptiveAC, "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing."},
            {staticAC, "WARNING: static arithmetic coder flag (-a) ignored when decompressing."},
            {printBWTData, "WARNING: flag (--bwt_output) ignored when decompressing."},
            {printMTFData, "WARNING: flag (--mtf_output) ignored when decompressing."},
            {printRLE0Data, "WARNING: flag (--rle0_output) ignored when decompressing."},
            {printInputHist, "WARNING: flag (--input_histogram) ignored when decompressing."},
            {printMTFHist, "WARNING: flag (--mtf_histogram) ignored when decompressing."},
            {printRLE0Hist, "WARNING: flag (--rle0_histogram) ignored when decompressing."},
        };
        for (const auto& w : warnings) {
            if (w.set) consoleStream() << w.text << std::endl;
        }
    }

    if (help) printHelp(consoleStream());
    return true;
}

std::ostream& consoleStream() {
    const bool dataOut = ofilename == "-" || (ofilename.empty() && ifilename == "-");
    return dataOut ? std::cerr : std::cout;
}

bool standardInputCarriesData() { return ifilename == "-"; }

DriverSettings driverSettings() {
    DriverSettings s;
    s.verbose = verbose;
    s.blockSize = blockSize;
    s.method = chosenMethod();
    CodecOptions& o = s.codec;
    o.passThru = passThru;
    DumpSinks& d = o.dumps;
    if (printInputHist) d.inputHist = &inputHistFile;
    if (printBWTData) d.bwtData = &bwtOutFile;
    if (printMTFData) d.mtfData = &mtfOutFile;
    if (printMTFHist) d.mtfHist = &mtfHistFile;
    if (printRLE0Data) d.rle0Data = &rle0OutFile;
    if (printRLE0Hist) d.rle0Hist = &rle0HistFile;
    if (printDCData) d.dcData = &dcOutFile;
    if (printDCHist) d.dcHist = &dcHistFile;
    if (bwtPrintSuffixesToFile) d.suffixes.listing = &suffixesFile;
    if (bwtPrintSuffixArrayToFile) d.suffixes.array = &suffixArrayFile;
    d.suffixes.maxSuffixSize = bwtPrintSuffixesToFileMaxSuffixSize;
    s.threads = std::min(threadCount == 0 ? availableCores() : threadCount, 64u);
    s.memoryBudget = availableMemory() / 2;
    s.console = &consoleStream();
    if (test) s.testName = testfilename;
    return s;
}
