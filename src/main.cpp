#include "main.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string>

#include "amtf.h"
#include "bwt.h"
#include "dc.h"
#include "globals.h"
#include "smtf.h"

namespace {

// ---------------------------------------------------------------- dump files

struct DumpOption {
    const char* option;
    bool* sw;              // the switch the option sets
    std::ofstream* stream;
    const char* openError;
};

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

// ---------------------------------------------------------------- same file

// Existing files are the same when device and inode agree (links, other
// spellings); a name that does not exist yet is compared by normalised path.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    const bool ea = ::stat(a.c_str(), &sa) == 0;
    const bool eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea != eb) return false;
    std::error_code ec1;
    std::error_code ec2;
    const auto pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec1), ec1);
    const auto pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec2), ec2);
    if (ec1 || ec2) return a == b;
    return pa == pb;
}

// Opens `name` for reading; directories, devices and pipes are refused.
void openInput(std::ifstream& in, const char* name) {
    in.open(name, std::ios::in | std::ios::binary);
    struct stat st {};
    if (!in.is_open() || ::stat(name, &st) != 0 || !S_ISREG(st.st_mode))
        throw Exception(std::string("Unable to open input file: ") + name);
}

void openOutput(std::ofstream& out, const char* name) {
    out.open(name, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out.is_open()) throw Exception(std::string("Unable to open output file: ") + name);
}

void checkWritten(const std::ostream& out, const char* name) {
    if (!out) throw Exception(std::string("Unable to write output file: ") + name);
}

// ---------------------------------------------------------------- container

constexpr char fileMagic[8] = {'V', 'E', 'X', 'A', '_', 'Q', '3', '8'};
constexpr char blockMagic[4] = {'B', 'L', 'C', 'K'};
constexpr unsigned fileHeaderSize = 12;
constexpr unsigned blockHeaderSize = 18;

void putU32(char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t getU32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

void writeBlockHeader(std::ostream& os, std::uint32_t packedSize, std::uint32_t dataSize, unsigned char method,
                      unsigned char coderType) {
    char h[blockHeaderSize];
    std::memcpy(h, blockMagic, 4);
    putU32(h + 4, packedSize);
    putU32(h + 8, dataSize);
    h[12] = static_cast<char>(method);
    h[13] = static_cast<char>(coderType);
    putU32(h + 14, 0);
    os.write(h, blockHeaderSize);
}

const char* const unexpectedEnd = "Error in compressed file (unexpected end of file)";

// ---------------------------------------------------------------- waiting

// One key press without Enter, only on a terminal; pipes and files never
// block. The terminal's mode is restored before returning.
void waitForKey() {
    std::cout << "Press any key to continue . . . " << std::flush;
    if (::isatty(STDIN_FILENO)) {
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
    std::cout << std::endl;
}

// The end of every run past the parser.
void finishRun() {
    reportDumpFailures(std::cout);
    waitForKey();
}

}  // namespace

// ---------------------------------------------------------------- command line

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
            bwtSuffixArrayFile = &suffixArrayFile;
        } else if (arg == "--suffixes_output") {
            openDump(suffixesFile, value("Filename expected after --suffixes_output parameter"),
                     "Unable to open output suffixes file: ");
            bwtPrintSuffixesToFile = true;
            bwtSuffixesFile = &suffixesFile;
        } else if (arg == "--suffixes_output_max_size") {
            const std::string number =
                value("Number (max suffix size) expected after -suffixes_output_max_size parameter");
            bwtPrintSuffixesToFileMaxSuffixSize = static_cast<std::uint32_t>(std::atoi(number.c_str()));
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
                std::cout << "WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC coder."
                          << std::endl;
            if (doNotUseRLE0)
                std::cout << "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC coder."
                          << std::endl;
            if (staticAC)
                std::cout << "WARNING: static arithmetic coder is not unsupported when using DC coder."
                          << std::endl;
        } else if (!useRLE0 && !doNotUseRLE0) {
            useRLE0 = true;
        }
        if (!useMTF0 && !useMTF1 && !useDC) useDC = true;
        if (!adaptiveAC && !staticAC) adaptiveAC = true;
        if (ofilename.empty()) ofilename = ifilename + ".vexaQ38p";
    } else if (decompress) {
        if (ofilename.empty()) ofilename = ifilename + ".vexaQ38u";
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
            if (w.set) std::cout << w.text << std::endl;
        }
    }

    if (help) printHelp(std::cout);
    return true;
}

// ---------------------------------------------------------------- drivers

void printCompressionStats(std::ostream& os, std::uint64_t inputSize, std::uint64_t compressedSize) {
    const double saving =
        static_cast<double>(static_cast<std::int64_t>(inputSize) - static_cast<std::int64_t>(compressedSize)) *
        100 / static_cast<double>(inputSize);
    const double bpc = static_cast<double>(compressedSize) * 8 / static_cast<double>(inputSize);
    os << "Compressed data size: " << compressedSize << " (" << std::setprecision(3) << saving << "%, bpc "
       << std::setprecision(3) << bpc << ")" << std::endl;
}

std::uint32_t packFile(const char* inputName, const char* outputName) {
    const long start = readClock();
    if (verbose) std::cout << "Opening input file: " << inputName << std::endl;

    std::ifstream in;
    openInput(in, inputName);
    // Before the output is created or truncated: it may be the input itself.
    if (sameFile(inputName, outputName))
        throw Exception(std::string("Input and output are the same file: ") + outputName);
    if (test && (sameFile(testfilename, inputName) || sameFile(testfilename, outputName)))
        throw Exception("Test file is the same as the input or output file: " + testfilename);
    std::ofstream out;
    openOutput(out, outputName);

    in.seekg(0, std::ios::end);
    const std::streamoff measured = in.tellg();
    if (measured < 0) throw Exception(std::string("Unable to read input file: ") + inputName);
    if (measured == 0) throw Exception("Cannot compress empty file (file size is 0)");
    // The container's fileSize has 32 bits.
    if (measured > static_cast<std::streamoff>(0xFFFFFFFFu))
        throw Exception(std::string("Input file too large (4 GiB or more): ") + inputName);
    const std::uint32_t fileSize = static_cast<std::uint32_t>(measured);
    if (verbose) std::cout << "Input file size: " << fileSize << std::endl;
    in.seekg(0, std::ios::beg);

    char header[fileHeaderSize];
    std::memcpy(header, fileMagic, 8);
    putU32(header + 8, fileSize);
    out.write(header, fileHeaderSize);
    checkWritten(out, outputName);

    if (blockSize == 0) blockSize = fileSize;
    if (blockSize > maxBlockSize) blockSize = maxBlockSize;

    std::unique_ptr<char[]> buffer;
    std::uint32_t capacity = 0;
    for (std::uint32_t pos = 0; pos < fileSize;) {
        const std::uint32_t length = fileSize - pos < blockSize ? fileSize - pos : blockSize;
        if (verbose) std::cout << "Block size: " << length << std::endl;
        if (capacity < length) {
            buffer.reset();
            buffer.reset(new char[length]);
            capacity = length;
        }
        in.read(buffer.get(), length);
        if (static_cast<std::uint64_t>(in.gcount()) != length)
            throw Exception(std::string("Unable to read input file: ") + inputName);

        const std::streamoff headerPos = out.tellp();
        writeBlockHeader(out, 0, length, 0, 0);
        const std::streamoff payloadStart = out.tellp();
        checkWritten(out, outputName);

        unsigned char method = 0;
        unsigned char coderType = 0;
        if (useMTF0) {
            method = useRLE0 ? 2 : 1;
            if (adaptiveAC) {
                packBlockMTFAdaptive(out, buffer.get(), length);
                coderType = 1;
            } else {
                packBlockMTFStatic(out, buffer.get(), length);
                coderType = 0;
            }
        } else if (useDC) {
            method = 5;
            coderType = 1;
            packBlockDCAdaptive(out, buffer.get(), length);
        } else {
            throw Exception("Unsupported compression method");
        }

        const std::streamoff payloadEnd = out.tellp();
        checkWritten(out, outputName);
        out.seekp(headerPos);
        writeBlockHeader(out, static_cast<std::uint32_t>(payloadEnd - payloadStart), length, method, coderType);
        out.seekp(payloadEnd);
        checkWritten(out, outputName);
        pos += length;
    }

    const std::streamoff compressedSize = out.tellp();
    buffer.reset();
    in.close();
    out.close();
    // A full disk often shows only when the last buffer is written out.
    checkWritten(out, outputName);
    const long stop = readClock();

    printCompressionStats(std::cout, fileSize, static_cast<std::uint64_t>(compressedSize));
    printTime(std::cout, "Compression time: ", start, stop);
    return static_cast<std::uint32_t>(compressedSize);
}

int unpackFile(const char* inputName, const char* outputName) {
    const long start = readClock();
    if (verbose) std::cout << "Opening input file: " << inputName << std::endl;

    std::ifstream in;
    openInput(in, inputName);
    if (sameFile(inputName, outputName))
        throw Exception(std::string("Input and output are the same file: ") + outputName);
    std::ofstream out;
    openOutput(out, outputName);

    in.seekg(0, std::ios::end);
    const std::streamoff inputSize = in.tellg();
    if (inputSize < 0) throw Exception(std::string("Unable to read input file: ") + inputName);
    in.seekg(0, std::ios::beg);

    // Missing bytes never match an id: a short read leaves them zero, and
    // the comparison also demands the full count.
    char header[fileHeaderSize] = {};
    in.read(header, 8);
    if (in.gcount() != 8 || std::memcmp(header, fileMagic, 8) != 0)
        throw Exception("Invalid file (header id does not match).");
    in.read(header + 8, 4);
    if (in.gcount() != 4) throw Exception(unexpectedEnd);
    const std::uint32_t fileSize = getU32(header + 8);

    std::uint32_t restored = 0;
    while (restored < fileSize) {
        char h[blockHeaderSize] = {};
        in.read(h, 4);
        if (in.gcount() != 4 || std::memcmp(h, blockMagic, 4) != 0)
            throw Exception("Invalid block (header id does not match).");
        in.read(h + 4, blockHeaderSize - 4);
        if (in.gcount() != blockHeaderSize - 4) throw Exception(unexpectedEnd);
        const std::uint32_t packedSize = getU32(h + 4);
        const std::uint32_t dataSize = getU32(h + 8);
        const unsigned method = static_cast<unsigned char>(h[12]);
        const unsigned coderType = static_cast<unsigned char>(h[13]);

        if (coderType > 1) throw Exception("Invalid arithmetic coder type (maybe block is corrupted?)");
        if (dataSize == 0) throw Exception("Wrong block size in packed size. Block cannot have size of 0.");
        if (dataSize > fileSize - restored)
            throw Exception("Wrong block size in packed file (this may also mean some other error).");
        if (verbose) std::cout << "Block size: " << dataSize << std::endl;
        if (method == 5 && coderType == 0)
            throw Exception("Unsupported compression method (DC can't use static coder).");
        if (method != 1 && method != 2 && method != 5) throw Exception("Unsupported compression method.");
        // Before allocating: a forged header must not cost gigabytes.
        if (dataSize > maxBlockSize) throw Exception("Error in compressed file (block size above 10485760 bytes)");
        const std::streamoff payloadStart = in.tellg();
        if (payloadStart < 0 || static_cast<std::uint64_t>(payloadStart) + packedSize >
                                    static_cast<std::uint64_t>(inputSize))
            throw Exception(unexpectedEnd);

        std::unique_ptr<char[]> buffer(new char[dataSize]);
        if (method == 5) {
            unpackBlockDCAdaptive(in, buffer.get(), dataSize);
        } else {
            useRLE0 = method == 2;
            if (coderType == 1)
                unpackBlockMTFAdaptive(in, buffer.get(), dataSize);
            else
                unpackBlockMTFStatic(in, buffer.get(), dataSize);
        }

        // The decoder reads ahead and may have met the end of the file.
        in.clear();
        in.seekg(payloadStart + static_cast<std::streamoff>(packedSize));
        if (!in) throw Exception(std::string("Unable to read input file: ") + inputName);
        out.write(buffer.get(), dataSize);
        checkWritten(out, outputName);
        restored += dataSize;
    }

    const long stop = readClock();
    in.close();
    out.close();
    checkWritten(out, outputName);
    printTime(std::cout, "Decompression time: ", start, stop);
    return 0;
}

// ---------------------------------------------------------------- main flow

void reportDumpFailures(std::ostream& os) {
    for (auto& d : dumpNames) {
        if (!d.stream->is_open()) continue;
        d.stream->flush();
        if (d.stream->fail()) os << "WARNING: writing dump file failed: " << d.name << std::endl;
    }
}

int runMain(int argc, char** argv) {
#if defined(M_MMAP_THRESHOLD)
    // Block tables come and go block after block; a fixed threshold keeps
    // them mapped on their own, so that a freed table goes back to the system
    // instead of leaving a hole the next block's tables do not fit.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    try {
        if (!parseCommandLineParams(argc, argv)) return 0;
        // Help with an input name but no mode: nothing more to do.
        if (!compress && !decompress) return 0;
        bool filesEqual = true;
        if (compress) {
            packFile(ifilename.c_str(), ofilename.c_str());
            std::cout << std::endl;
            if (test) {
                std::cout << "Testing packed file correctness." << std::endl << std::endl;
                unpackFile(ofilename.c_str(), testfilename.c_str());
                std::cout << std::endl;
                filesEqual = equalFiles(ifilename, testfilename);
                if (filesEqual)
                    std::cout << "OK, Files are equal." << std::endl;
                else
                    std::cerr << "ERROR: Files are not equal!" << std::endl;
            }
        } else {
            unpackFile(ifilename.c_str(), ofilename.c_str());
        }
        std::cout << "End." << std::endl;
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

void resetSettings() {
    ifilename.clear();
    ofilename.clear();
    testfilename.clear();
    compress = decompress = test = help = verbose = false;
    useMTF0 = useMTF1 = useDC = useRLE0 = doNotUseRLE0 = false;
    adaptiveAC = staticAC = passThru = false;
    blockSize = 0;
    printInputHist = printBWTData = printMTFData = printMTFHist = false;
    printRLE0Data = printRLE0Hist = printDCData = printDCHist = false;
    bwtPrintSuffixesToFile = false;
    bwtPrintSuffixArrayToFile = false;
    bwtSuffixesFile = nullptr;
    bwtSuffixArrayFile = nullptr;
    bwtPrintSuffixesToFileMaxSuffixSize = 4294967295u;
    for (auto& d : dumpNames) {
        if (d.stream->is_open()) d.stream->close();
        d.stream->clear();
        d.name.clear();
    }
}
