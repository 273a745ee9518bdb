// The command line, the container and both file drivers, called in-process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <iostream>
#include <sstream>

#include "amtf.h"
#include "bwt.h"
#include "globals.h"
#include "commandline.h"
#include "container.h"
#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::SettingsGuard;
using testutil::TempDir;
using testutil::writeFile;

// Collects what is written to std::cout while it lives.
class CoutCapture {
public:
    CoutCapture() : old(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old); }
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* old;
};

struct Parsed {
    bool result = false;
    std::string error;  // the Exception's message, empty when none
    std::string out;    // what went to standard output
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "vexa-Q38");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    CoutCapture capture;
    try {
        p.result = parseCommandLineParams(static_cast<int>(args.size()), argv.data());
    } catch (const Exception& e) {
        p.error = e.what();
    }
    p.out = capture.text();
    return p;
}

std::string helpText() {
    std::ostringstream os;
    printHelp(os);
    return os.str();
}

// ---------------------------------------------------------------- parser errors

struct ErrorCase {
    std::vector<std::string> args;
    std::string message;
};

class ParserError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParserError, RaisesItsMessage) {
    SettingsGuard guard;
    const Parsed p = parse(GetParam().args);
    EXPECT_EQ(p.error, GetParam().message);
    EXPECT_EQ(p.out, "");
}

const char* const bothModes = "Cannot do both compression (-c) and decompression (-e) at the same time!";
const char* const noMode = "You must either choose to compress (-c) or to extract (-e)!";
const char* const rleBoth = "Cannot both use (-r,--rle0) and not use (--norle0) RLE0 coding at the same time!";
const char* const coderBoth = "Cannot use adaptive (-a) and static (-s) arithmetic coding at he same time!";
const char* const methodBoth =
    "Cannot use MTF0 (-m, --mtf0), MTF1 (--mtf1) or DC (-d, --dc) coding at he same time! Chose only one of the "
    "above.";

INSTANTIATE_TEST_SUITE_P(
    Checks, ParserError,
    ::testing::Values(
        ErrorCase{{"-h"}, "Input filename missing!"},
        ErrorCase{{"-c"}, "Input filename missing!"},
        ErrorCase{{"a"}, noMode},
        ErrorCase{{"-c", "a", "b"}, "Invalid parameter: b"},
        ErrorCase{{"-C", "a"}, "Invalid parameter: a"},
        // Checks stop at the first failure, in their order.
        ErrorCase{{"-c", "-e", "a", "-r", "--norle0"}, bothModes},
        ErrorCase{{"-c", "-e"}, bothModes},
        ErrorCase{{"-v", "-p"}, noMode},
        ErrorCase{{"-c", "a", "-r", "--norle0", "-a", "-s", "-m", "-d"}, rleBoth},
        ErrorCase{{"-c", "a", "-a", "-s", "-m", "-d"}, coderBoth},
        ErrorCase{{"-c", "a", "-m", "--mtf1"}, methodBoth},
        ErrorCase{{"-c", "a", "-d", "-m"}, methodBoth},
        ErrorCase{{"-c", "a", "--dc", "--mtf1"}, methodBoth},
        // A value option consumes the next argument, so the file name comes
        // too late here.
        ErrorCase{{"-c", "-o", "a"}, "Input filename missing!"},
        // Each of the 14 value options as the last argument.
        ErrorCase{{"-c", "a", "-o"}, "Filename expected after -o parameter"},
        ErrorCase{{"-c", "a", "--test"}, "Filename expected after --test parameter"},
        ErrorCase{{"-c", "a", "-b"}, "Number (block size) expected after -b parameter"},
        ErrorCase{{"-c", "a", "--threads"}, "Number (threads) expected after --threads parameter"},
        ErrorCase{{"-c", "a", "--bwt_output"}, "Filename expected after --bwt_output parameter"},
        ErrorCase{{"-c", "a", "--mtf_output"}, "Filename expected after --mtf_output parameter"},
        ErrorCase{{"-c", "a", "--rle0_output"}, "Filename expected after --rle0_output parameter"},
        ErrorCase{{"-c", "a", "--dc_output"}, "Filename expected after --dc_output parameter"},
        ErrorCase{{"-c", "a", "--input_histogram"}, "Filename expected after --input_histogram parameter"},
        ErrorCase{{"-c", "a", "--mtf_histogram"}, "Filename expected after --mtf_histogram parameter"},
        ErrorCase{{"-c", "a", "--rle0_histogram"}, "Filename expected after --rle0_histogram parameter"},
        ErrorCase{{"-c", "a", "--dc_histogram"}, "Filename expected after --dc_histogram parameter"},
        ErrorCase{{"-c", "a", "--suffix_array_output"}, "Filename expected after --suffix_array_output parameter"},
        ErrorCase{{"-c", "a", "--suffixes_output"}, "Filename expected after --suffixes_output parameter"},
        ErrorCase{{"-c", "a", "--suffixes_output_max_size"},
                  "Number (max suffix size) expected after -suffixes_output_max_size parameter"},
        // The missing value is found before the later checks run.
        ErrorCase{{"-c", "-e", "-b"}, "Number (block size) expected after -b parameter"}));

// ---------------------------------------------------------------- dump files

struct DumpCase {
    const char* option;
    const char* openError;
};

class ParserDump : public ::testing::TestWithParam<DumpCase> {};

TEST_P(ParserDump, UnopenableFileNamesTheOptionsMessage) {
    SettingsGuard guard;
    TempDir dir;
    const std::string bad = (dir / "missing-folder" / "x.txt").string();
    const Parsed p = parse({"-c", "a", GetParam().option, bad});
    EXPECT_EQ(p.error, GetParam().openError + bad);
}

TEST_P(ParserDump, CreatesAndEmptiesItsFileEvenWhenExtracting) {
    SettingsGuard guard;
    TempDir dir;
    const auto file = dir / "dump.txt";
    writeFile(file, "old contents");
    const Parsed p = parse({"-e", "a", GetParam().option, file.string()});
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.result);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

TEST_P(ParserDump, RepeatedOptionReopensOnTheLastName) {
    SettingsGuard guard;
    TempDir dir;
    const auto first = dir / "first.txt";
    const auto second = dir / "second.txt";
    const Parsed p = parse({"-c", "a", GetParam().option, first.string(), GetParam().option, second.string()});
    ASSERT_EQ(p.error, "");
    // Writing to every dump stream reaches only the second file.
    for (std::ofstream* s : {&bwtOutFile, &mtfOutFile, &rle0OutFile, &dcOutFile, &inputHistFile, &mtfHistFile,
                             &rle0HistFile, &dcHistFile, &suffixArrayFile, &suffixesFile}) {
        if (s->is_open()) *s << "x" << std::flush;
    }
    EXPECT_EQ(readFile(first), "");
    EXPECT_EQ(readFile(second), "x");
}

INSTANTIATE_TEST_SUITE_P(
    Options, ParserDump,
    ::testing::Values(DumpCase{"--bwt_output", "Unable to open BWT output file: "},
                      DumpCase{"--mtf_output", "Unable to open MTF output file: "},
                      DumpCase{"--rle0_output", "Unable to open RLE0 output file: "},
                      DumpCase{"--dc_output", "Unable to open DC output file: "},
                      DumpCase{"--input_histogram", "Unable to open output histogram file: "},
                      DumpCase{"--mtf_histogram", "Unable to open output histogram file: "},
                      DumpCase{"--rle0_histogram", "Unable to open output histogram file: "},
                      DumpCase{"--dc_histogram", "Unable to open output histogram file: "},
                      DumpCase{"--suffix_array_output", "Unable to open output suffix array file: "},
                      DumpCase{"--suffixes_output", "Unable to open output suffixes file: "}));

TEST(Parser, DumpOptionsSetTheirSwitchesAndSuffixPointers) {
    SettingsGuard guard;
    TempDir dir;
    auto f = [&](const char* n) { return (dir / n).string(); };
    const Parsed p = parse({"-c", "a", "--bwt_output", f("1"), "--mtf_output", f("2"), "--rle0_output", f("3"),
                            "--dc_output", f("4"), "--input_histogram", f("5"), "--mtf_histogram", f("6"),
                            "--rle0_histogram", f("7"), "--dc_histogram", f("8"), "--suffix_array_output", f("9"),
                            "--suffixes_output", f("10"), "--suffixes_output_max_size", "7"});
    ASSERT_EQ(p.error, "");
    EXPECT_TRUE(printBWTData && printMTFData && printRLE0Data && printDCData && printInputHist && printMTFHist &&
                printRLE0Hist && printDCHist);
    EXPECT_TRUE(bwtPrintSuffixArrayToFile);
    EXPECT_TRUE(bwtPrintSuffixesToFile);
    EXPECT_EQ(bwtPrintSuffixesToFileMaxSuffixSize, 7u);
    for (int i = 1; i <= 10; ++i) EXPECT_TRUE(std::filesystem::exists(dir / std::to_string(i))) << i;

    // resetSettings undoes all of it.
    resetSettings();
    EXPECT_FALSE(printBWTData || printDCHist || bwtPrintSuffixesToFile || bwtPrintSuffixArrayToFile);
    EXPECT_EQ(bwtPrintSuffixesToFileMaxSuffixSize, 4294967295u);
    EXPECT_FALSE(bwtOutFile.is_open());
    EXPECT_FALSE(suffixesFile.is_open());
}

TEST(Parser, FailureKeepsDumpFilesOpenedBeforeIt) {
    SettingsGuard guard;
    TempDir dir;
    const auto file = dir / "early.txt";
    const Parsed p = parse({"--bwt_output", file.string(), "-c", "-e", "a"});
    EXPECT_EQ(p.error, bothModes);
    EXPECT_TRUE(std::filesystem::exists(file));
}

// ---------------------------------------------------------------- defaults and warnings

struct Settings {
    bool compress, decompress, useDC, useMTF0, useMTF1, useRLE0, adaptiveAC, staticAC;
    std::string ifilename, ofilename;
};

Settings current() {
    return {compress, decompress, useDC, useMTF0, useMTF1, useRLE0, adaptiveAC, staticAC, ifilename, ofilename};
}

struct DefaultCase {
    std::vector<std::string> args;
    Settings expected;
    std::string out;  // warnings, in order
};

class ParserDefaults : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(ParserDefaults, FillsSettingsAndWarnsInOrder) {
    SettingsGuard guard;
    const Parsed p = parse(GetParam().args);
    ASSERT_EQ(p.error, "");
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.out, GetParam().out);
    const Settings s = current();
    const Settings& e = GetParam().expected;
    EXPECT_EQ(s.compress, e.compress);
    EXPECT_EQ(s.decompress, e.decompress);
    EXPECT_EQ(s.useDC, e.useDC);
    EXPECT_EQ(s.useMTF0, e.useMTF0);
    EXPECT_EQ(s.useMTF1, e.useMTF1);
    EXPECT_EQ(s.useRLE0, e.useRLE0);
    EXPECT_EQ(s.adaptiveAC, e.adaptiveAC);
    EXPECT_EQ(s.staticAC, e.staticAC);
    EXPECT_EQ(s.ifilename, e.ifilename);
    EXPECT_EQ(s.ofilename, e.ofilename);
}

const std::string dcRle = "WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC coder.\n";
const std::string dcNoRle = "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC coder.\n";
const std::string dcStatic = "WARNING: static arithmetic coder is not unsupported when using DC coder.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParserDefaults,
    ::testing::Values(
        // DC by default, and useRLE0 set before DC is chosen.
        DefaultCase{{"-c", "a"}, {true, false, true, false, false, true, true, false, "a", "a.vexaQ38p"}, ""},
        DefaultCase{{"-e", "a"}, {false, true, false, false, false, false, false, false, "a", "a.vexaQ38u"}, ""},
        DefaultCase{{"a", "-c", "-o", "-b"}, {true, false, true, false, false, true, true, false, "a", "-b"}, ""},
        DefaultCase{{"-x", "-c"}, {true, false, true, false, false, true, true, false, "-x", "-x.vexaQ38p"}, ""},
        DefaultCase{{"-c", "a", "-d", "-r", "-s"},
                    {true, false, true, false, false, true, false, true, "a", "a.vexaQ38p"},
                    dcRle + dcStatic},
        // The warnings look at an explicit -d only: DC becomes the default later.
        DefaultCase{{"-c", "a", "--norle0"},
                    {true, false, true, false, false, false, true, false, "a", "a.vexaQ38p"},
                    ""},
        DefaultCase{{"-c", "a", "--norle0", "-d", "-s"},
                    {true, false, true, false, false, false, false, true, "a", "a.vexaQ38p"},
                    dcNoRle + dcStatic},
        DefaultCase{{"-c", "a", "-m"}, {true, false, false, true, false, true, true, false, "a", "a.vexaQ38p"}, ""},
        DefaultCase{{"-c", "a", "--mtf0", "--norle0", "-s"},
                    {true, false, false, true, false, false, false, true, "a", "a.vexaQ38p"},
                    ""},
        DefaultCase{{"-c", "a", "--mtf1"}, {true, false, false, false, true, true, true, false, "a", "a.vexaQ38p"},
                    ""},
        DefaultCase{{"-c", "a", "-m", "-m", "-o", "x", "-o", "y"},
                    {true, false, false, true, false, true, true, false, "a", "y"},
                    ""},
        // Extraction does not validate methods; it only warns.
        DefaultCase{{"-e", "a", "-m", "-s", "-a", "-d"},
                    {false, true, true, true, false, false, true, true, "a", "a.vexaQ38u"},
                    "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
                    "WARNING: DC compression flag (-d, --dc) ignored when decompressing.\n"
                    "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing.\n"
                    "WARNING: static arithmetic coder flag (-a) ignored when decompressing.\n"},
        DefaultCase{{"-e", "a", "-p", "-b", "5", "--test", "t", "-v"},
                    {false, true, false, false, false, false, false, false, "a", "a.vexaQ38u"},
                    ""}));

TEST(Parser, ExtractionWarnsAboutEveryIgnoredFlagInOrder) {
    SettingsGuard guard;
    TempDir dir;
    auto f = [&](const char* n) { return (dir / n).string(); };
    const Parsed p = parse({"-e", "a", "--rle0_histogram", f("7"), "--mtf_histogram", f("6"), "--input_histogram",
                            f("5"), "--rle0_output", f("3"), "--mtf_output", f("2"), "--bwt_output", f("1"), "-s",
                            "-a", "--norle0", "-r", "-d", "--mtf1", "-m", "--dc_output", f("8"), "--dc_histogram",
                            f("9"), "--suffixes_output", f("10"), "--suffix_array_output", f("11"),
                            "--suffixes_output_max_size", "3", "-p", "-b", "9", "--test", f("12")});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.out,
              "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
              "WARNING: MTF1 compression flag (--mtf1) ignored when decompressing.\n"
              "WARNING: DC compression flag (-d, --dc) ignored when decompressing.\n"
              "WARNING: RLE0 compression flag (-r, --rle0) ignored when decompressing.\n"
              "WARNING: no RLE0 compression flag (--norle0) ignored when decompressing.\n"
              "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing.\n"
              "WARNING: static arithmetic coder flag (-a) ignored when decompressing.\n"
              "WARNING: flag (--bwt_output) ignored when decompressing.\n"
              "WARNING: flag (--mtf_output) ignored when decompressing.\n"
              "WARNING: flag (--rle0_output) ignored when decompressing.\n"
              "WARNING: flag (--input_histogram) ignored when decompressing.\n"
              "WARNING: flag (--mtf_histogram) ignored when decompressing.\n"
              "WARNING: flag (--rle0_histogram) ignored when decompressing.\n");
}

TEST(Parser, ExtractionWarnsBeforeTheHelpText) {
    SettingsGuard guard;
    const Parsed p = parse({"-e", "a", "-m", "-s", "-h"});
    EXPECT_EQ(p.out,
              "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
              "WARNING: static arithmetic coder flag (-a) ignored when decompressing.\n" +
                  helpText());
}

// ---------------------------------------------------------------- numbers

struct NumberCase {
    const char* text;
    std::uint32_t value;
};

class ParserNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParserNumber, ReadLikeAtoiInto32Bits) {
    SettingsGuard guard;
    ASSERT_EQ(parse({"-c", "a", "-b", GetParam().text}).error, "");
    EXPECT_EQ(blockSize, GetParam().value);
    resetSettings();
    ASSERT_EQ(parse({"-c", "a", "--suffixes_output_max_size", GetParam().text}).error, "");
    EXPECT_EQ(bwtPrintSuffixesToFileMaxSuffixSize, GetParam().value);
    resetSettings();
    ASSERT_EQ(parse({"-e", "a", "--threads", GetParam().text}).error, "");
    EXPECT_EQ(threadCount, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Values, ParserNumber,
                         ::testing::Values(NumberCase{"1000", 1000}, NumberCase{"word", 0},
                                           NumberCase{"-1", 4294967295u}, NumberCase{"  12xyz", 12},
                                           NumberCase{"+7", 7}, NumberCase{"4294968296", 1000},
                                           NumberCase{"", 0}, NumberCase{"-b", 0}));

// ---------------------------------------------------------------- help

TEST(Parser, NoArgumentsPrintsHelpAndReturnsFalse) {
    SettingsGuard guard;
    const Parsed p = parse({});
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.out, helpText());
}

TEST(Parser, HelpWithInputNameButNoModePassesWithoutOutputName) {
    SettingsGuard guard;
    const Parsed p = parse({"--help", "a"});
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.out, helpText());
    EXPECT_FALSE(compress || decompress);
    EXPECT_EQ(ofilename, "");
}

TEST(Parser, HelpComesAfterCompressionWarnings) {
    SettingsGuard guard;
    const Parsed p = parse({"-h", "-c", "a", "-r", "-d"});
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.out, dcRle + helpText());
    EXPECT_TRUE(compress);
}

TEST(Help, IsTheFortyTwoLinesByteForByte) {
    const std::string expected =
        "This program is an implementation of project Q38 for VEXA.\n"
        "Version: 0.27\n"
        "Date of release: 2005.11.09\n"
        "\n"
        "You can use the following options:\n"
        "-c                 - compress\n"
        "-e                 - extract\n"
        "-v, --verbose      - trigger additional messages\n"
        "-o filename        - output filename (when not supplied xoutput is chosen)\n"
        "-b blocksize       - set fixed block size\n"
        "-m, --mtf0         - use MTF transform\n"
        "-r, --rle0         - use RLE0 coding\n"
        "--norle0           - force compressor not to use rle0\n"
        "-d, --dc           - use DC transform\n"
        "-a                 - use adaptive arithmetic coding\n"
        "-s                 - use static arithmetic coding\n"
        "--bwt_output filaname   - print data after BWT transform to file\n"
        "--mtf_output filename   - print data after MTF transform to file\n"
        "--rle0_output           - print data after RLE0 coding to file\n"
        "--dc_output             - print data after DC coding to file\n"
        "--input_histogram       - generate file with input symbols histogram\n"
        "--mtf_histogram         - generate file with histogram of symbols after\n"
        "                          MTF transform\n"
        "--rle0_histogram        - generate file with histogram of symbols after\n"
        "                          RLE0 coding\n"
        "--dc_histogram          - generate file with histogram of symbols after\n"
        "                          DC coding\n"
        "--suffixes_output filename     - print sorted list of suffixes to file\n"
        "--suffixes_output_max_size num - limit printed suffix length (print \n"
        "                                 only num first symbols). this option\n"
        "                                 should be used only in combination \n"
        "                                 with --suffixes_output.\n"
        "--suffix_array_output filename - print suffix array (only indices) to \n"
        "                                 a file\n"
        "--test filename                - option to be used when compressing. forces\n"
        "                                 compressor to automaticly decompress file\n"
        "                                 and check for file contents equality\n"
        "\n"
        "Examples of use:\n"
        "vexa-Q38 -c file1 -o compressedfile1 -m -r -b 10000\n"
        "vexa-Q38 -e compressedfile1 -o file1 --verbose\n"
        "vexa-Q38 -c --dc file1 --dc_histogram dchist.txt\n";
    const std::string text = helpText();
    EXPECT_EQ(text, expected);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 42);
}

// ---------------------------------------------------------------- statistics line

struct StatsCase {
    std::uint64_t input, compressed;
    const char* line;
};

class StatsLine : public ::testing::TestWithParam<StatsCase> {};

TEST_P(StatsLine, UsesThreeSignificantDigitsThatStayInForce) {
    std::ostringstream os;
    printCompressionStats(os, GetParam().input, GetParam().compressed);
    EXPECT_EQ(os.str(), std::string(GetParam().line) + "\n");
    os.str("");
    os << 1.2345;
    EXPECT_EQ(os.str(), "1.23");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StatsLine,
    ::testing::Values(StatsCase{10000, 2919, "Compressed data size: 2919 (70.8%, bpc 2.34)"},
                      StatsCase{1, 39, "Compressed data size: 39 (-3.8e+03%, bpc 312)"},
                      StatsCase{100, 100, "Compressed data size: 100 (0%, bpc 8)"},
                      StatsCase{3, 1, "Compressed data size: 1 (66.7%, bpc 2.67)"},
                      // Sizes beyond 32 bits do not wrap.
                      StatsCase{4294967295u, 5000000000u, "Compressed data size: 5000000000 (-16.4%, bpc 9.31)"}));


// ---------------------------------------------------------------- container helpers

std::string u32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string bytesOf(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

std::uint32_t readU32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

// "VEXA_Q38" (8 bytes) + fileSize (4 bytes, little-endian).
std::string fileHeader(std::uint32_t fileSize) { return "VEXA_Q38" + u32(fileSize); }

// "BLCK" + packedSize + dataSize + method (1) + coderType (1) + checksum (4).
std::string blockHeader(std::uint32_t packedSize, std::uint32_t dataSize, unsigned method, unsigned coderType,
                        std::uint32_t checksum = 0) {
    return "BLCK" + u32(packedSize) + u32(dataSize) + std::string(1, static_cast<char>(method)) +
           std::string(1, static_cast<char>(coderType)) + u32(checksum);
}

struct BlockInfo {
    std::uint32_t packedSize, dataSize;
    unsigned method, coderType;
};

// Walks the block headers of a well-formed container; every block carries
// the checksum of its bytes.
std::vector<BlockInfo> blocksOf(const std::string& c) {
    std::vector<BlockInfo> blocks;
    std::size_t at = 12;
    while (at + 18 <= c.size()) {
        EXPECT_EQ(c.substr(at, 4), "BLCK");
        EXPECT_NE(readU32(c, at + 14), 0u) << "checksum";
        BlockInfo b{readU32(c, at + 4), readU32(c, at + 8), static_cast<unsigned char>(c[at + 12]),
                    static_cast<unsigned char>(c[at + 13])};
        blocks.push_back(b);
        at += 18 + b.packedSize;
    }
    EXPECT_EQ(at, c.size());
    return blocks;
}

// Runs a driver with console output captured; returns the error message.
template <class F>
std::string runDriver(F&& f, std::string* out = nullptr) {
    CoutCapture capture;
    std::string error;
    try {
        f();
    } catch (const Exception& e) {
        error = e.what();
    }
    if (out) *out = capture.text();
    return error;
}

std::string unpackBytes(const TempDir& dir, const std::string& container, std::string* restored = nullptr) {
    const auto in = dir / "c.bin";
    const auto out = dir / "restored.bin";
    writeFile(in, container);
    std::filesystem::remove(out);  // what a failed run leaves is nothing
    const std::string error = runDriver([&] { unpackFile(in, out, driverSettings()); });
    if (restored) *restored = readFile(out);
    return error;
}

// Compresses `data` with the options (input and output names are added)
// and returns the container; `error` receives the driver's message.
std::string packBytes(const TempDir& dir, const std::string& data, std::vector<std::string> options,
                      std::string* error = nullptr, std::string* out = nullptr) {
    const auto in = dir / "input.bin";
    const auto packed = dir / "packed.bin";
    writeFile(in, data);
    std::vector<std::string> args = {"-c", in.string(), "-o", packed.string()};
    args.insert(args.end(), options.begin(), options.end());
    resetSettings();
    const Parsed p = parse(args);
    EXPECT_EQ(p.error, "");
    const std::string e = runDriver([&] { packFile(ifilename, ofilename, driverSettings()); }, out);
    if (error) *error = e; else EXPECT_EQ(e, "");
    return readFile(packed);
}

// ---------------------------------------------------------------- reader checks

struct ReaderCase {
    const char* name;
    std::string bytes;
    const char* message;
};

class ContainerReader : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ContainerReader, RejectsWithItsMessage) {
    SettingsGuard guard;
    TempDir dir;
    EXPECT_EQ(unpackBytes(dir, GetParam().bytes), GetParam().message);
}

const char* const badFile = "Invalid file (header id does not match).";
const char* const badBlock = "Invalid block (header id does not match).";
const char* const badCoder = "Invalid arithmetic coder type (maybe block is corrupted?)";
const char* const zeroBlock = "Wrong block size in packed size. Block cannot have size of 0.";
const char* const bigBlock = "Wrong block size in packed file (this may also mean some other error).";
const char* const dcStaticMsg = "Unsupported compression method (DC can't use static coder).";
const char* const badMethod = "Unsupported compression method.";
const char* const cutShort = "Error in compressed file (unexpected end of file)";
const char* const overCap = "Error in compressed file (block size above 10485760 bytes)";

INSTANTIATE_TEST_SUITE_P(
    Checks, ContainerReader,
    ::testing::Values(
        // The file id: compared with whatever arrived.
        ReaderCase{"Empty", "", badFile},
        ReaderCase{"SevenIdBytes", "VEXA_Q3", badFile},
        ReaderCase{"WrongLastIdByte", "VEXA_Q39" + u32(1), badFile},
        ReaderCase{"LowerCaseId", "vexa_q38" + u32(1), badFile},
        ReaderCase{"IdOnly", "VEXA_Q38", cutShort},
        ReaderCase{"CutFileSize", "VEXA_Q38\x01\x00", cutShort},
        // The block id.
        ReaderCase{"NoBlock", fileHeader(5), badBlock},
        ReaderCase{"CutBlockId", fileHeader(5) + "BLC", badBlock},
        ReaderCase{"WrongBlockId", fileHeader(5) + "BLCX" + blockHeader(0, 5, 5, 1).substr(4), badBlock},
        ReaderCase{"CutBlockHeader", fileHeader(5) + blockHeader(0, 5, 5, 1).substr(0, 17), cutShort},
        // The six checks in their order: each row also breaks every later check.
        ReaderCase{"CoderTypeFirst", fileHeader(5) + blockHeader(0, 0, 9, 2), badCoder},
        ReaderCase{"CoderType255", fileHeader(5) + blockHeader(0, 5, 5, 255), badCoder},
        ReaderCase{"ZeroDataSize", fileHeader(5) + blockHeader(0, 0, 9, 0), zeroBlock},
        ReaderCase{"DataSizeOneTooMany", fileHeader(5) + blockHeader(0, 6, 9, 0), bigBlock},
        ReaderCase{"DataSizeNoOverflow", fileHeader(0xFFFFFFFFu) + blockHeader(0, 0xFFFFFFFFu, 5, 0), dcStaticMsg},
        ReaderCase{"DcStatic", fileHeader(5) + blockHeader(0, 5, 5, 0), dcStaticMsg},
        ReaderCase{"Method0", fileHeader(5) + blockHeader(0, 5, 0, 1), badMethod},
        ReaderCase{"Method3", fileHeader(5) + blockHeader(0, 5, 3, 1), badMethod},
        ReaderCase{"Method255", fileHeader(5) + blockHeader(0, 5, 255, 0), badMethod},
        // Then the two checks before the buffer is allocated.
        ReaderCase{"DataSizeAboveCap", fileHeader(0xFFFFFFFFu) + blockHeader(0, 0xFFFFFFFFu, 5, 1), overCap},
        ReaderCase{"CapPlusOne", fileHeader(10485761) + blockHeader(4, 10485761, 2, 0) + "xxxx", overCap},
        ReaderCase{"PayloadPastEnd", fileHeader(5) + blockHeader(5, 5, 5, 1) + "1234", cutShort},
        ReaderCase{"PayloadMissing", fileHeader(5) + blockHeader(1, 5, 1, 0), cutShort},
        ReaderCase{"HugePackedSize", fileHeader(5) + blockHeader(0xFFFFFFFFu, 5, 2, 1) + "12345", cutShort}),
    [](const ::testing::TestParamInfo<ReaderCase>& p) { return std::string(p.param.name); });

TEST(ContainerReader, BadFileIdLeavesNoOutput) {
    SettingsGuard guard;
    TempDir dir;
    std::string restored = "unset";
    EXPECT_EQ(unpackBytes(dir, "NOT A CONTAINER", &restored), badFile);
    EXPECT_FALSE(std::filesystem::exists(dir / "restored.bin"));
    EXPECT_EQ(restored, "");
}

TEST(ContainerReader, FileSizeZeroIsAnEmptyFileAndIgnoresTrailingBytes) {
    SettingsGuard guard;
    TempDir dir;
    // A block after a member of size 0 means its fileSize was damaged.
    const struct {
        std::string tail;
        std::string error;
    } rows[] = {{"", ""}, {"garbage that is never read", ""}, {"BLCK and more", emptyMemberMessage}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tail);
        std::string out;
        const auto in = dir / "c.bin";
        std::filesystem::remove(dir / "r.bin");
        writeFile(in, fileHeader(0) + row.tail);
        const std::string error = runDriver([&] { unpackFile(in, (dir / "r.bin"), driverSettings()); }, &out);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(std::filesystem::exists(dir / "r.bin"), row.error.empty());
        EXPECT_EQ(readFile(dir / "r.bin"), "");
        if (row.error.empty()) {
            EXPECT_EQ(out.rfind("Decompression time: ", 0), 0u) << out;
        }
    }
}

// ---------------------------------------------------------------- compression driver

TEST(PackFile, EmptyInputIsRefusedAndLeavesNoOutput) {
    SettingsGuard guard;
    TempDir dir;
    std::string error;
    const std::string c = packBytes(dir, "", {}, &error);
    EXPECT_EQ(error, "Cannot compress empty file (file size is 0)");
    EXPECT_FALSE(std::filesystem::exists(dir / "packed.bin"));
    EXPECT_EQ(c, "");
}

TEST(PackFile, Mtf1FailsAndLeavesNoOutput) {
    SettingsGuard guard;
    TempDir dir;
    std::string error;
    const std::string c = packBytes(dir, "abcdefgh", {"--mtf1"}, &error);
    EXPECT_EQ(error, "Unsupported compression method");
    EXPECT_FALSE(std::filesystem::exists(dir / "packed.bin"));
    EXPECT_EQ(c, "");
}

TEST(PackFile, OneByteInputGivesThe30BytePrefix) {
    SettingsGuard guard;
    TempDir dir;
    const struct {
        std::vector<std::string> options;
        unsigned method, coderType;
    } rows[] = {{{"-m"}, 2, 1},         {{"-m", "--norle0"}, 1, 1}, {{"-m", "-s"}, 2, 0},
                {{"-m", "-s", "--norle0"}, 1, 0}, {{}, 5, 1}, {{"-d", "-s"}, 5, 1},
                {{"-p"}, 5, 1}};
    for (const auto& row : rows) {
        const std::string c = packBytes(dir, "x", row.options);
        ASSERT_GT(c.size(), 30u);
        EXPECT_EQ(c.substr(0, 30), fileHeader(1) + blockHeader(static_cast<std::uint32_t>(c.size() - 30), 1,
                                                                 row.method, row.coderType,
                                                                 blockChecksum(1, "x", 1)));
    }
}

struct CutCase {
    std::size_t inputSize;
    std::vector<std::string> options;
    std::vector<std::uint32_t> blocks;
};

class BlockCutting : public ::testing::TestWithParam<CutCase> {};

TEST_P(BlockCutting, GivesTheBlockSizesAndRoundTrips) {
    SettingsGuard guard;
    TempDir dir;
    const std::string data = testutil::textLike(GetParam().inputSize, 7);
    std::vector<std::string> options = {"-m"};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    const std::string c = packBytes(dir, data, options);
    EXPECT_EQ(readU32(c, 8), GetParam().inputSize);
    std::vector<std::uint32_t> sizes;
    for (const BlockInfo& b : blocksOf(c)) {
        sizes.push_back(b.dataSize);
        EXPECT_EQ(b.method, 2u);
        EXPECT_EQ(b.coderType, 1u);
    }
    EXPECT_EQ(sizes, GetParam().blocks);

    std::string restored;
    EXPECT_EQ(unpackBytes(dir, c, &restored), "");
    EXPECT_TRUE(restored == data);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlockCutting,
    ::testing::Values(CutCase{2500, {"-b", "1000"}, {1000, 1000, 500}},
                      CutCase{2500, {"-b", "5000"}, {2500}},
                      CutCase{2500, {"-b", "word"}, {2500}},
                      CutCase{3, {"-b", "1"}, {1, 1, 1}},
                      CutCase{10485760, {}, {10485760}},
                      CutCase{10485761, {}, {10485760, 1}}),
    [](const ::testing::TestParamInfo<CutCase>& p) {
        std::string name = "Input" + std::to_string(p.param.inputSize);
        for (const auto& o : p.param.options) {
            for (char ch : o) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

TEST(PackFile, LeavesTheBlockSizeSettingAlone) {
    SettingsGuard guard;
    TempDir dir;
    for (const char* b : {"0", "-1"}) {
        const std::string c = packBytes(dir, "hello", {"-m", "-b", b});
        EXPECT_EQ(blockSize, static_cast<std::uint32_t>(std::atoi(b)));
        ASSERT_EQ(blocksOf(c).size(), 1u);
        EXPECT_EQ(blocksOf(c)[0].dataSize, 5u);
    }
}

TEST(PackFile, VerboseLinesAndStatistics) {
    SettingsGuard guard;
    TempDir dir;
    std::string out;
    const std::string c = packBytes(dir, std::string(2500, 'a'), {"-m", "-b", "2000", "-v"}, nullptr, &out);
    const std::string in = (dir / "input.bin").string();
    EXPECT_EQ(out.rfind("Opening input file: " + in + "\nInput file size: 2500\nBlock size: 2000\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nBlock size: 500\n"), std::string::npos);
    std::ostringstream stats;
    printCompressionStats(stats, 2500, c.size());
    EXPECT_NE(out.find(stats.str() + "Compression time: "), std::string::npos) << out;
}

// ---------------------------------------------------------------- decompression driver

TEST(UnpackFile, DecodesEveryMethodWhateverTheRle0Setting) {
    SettingsGuard guard;
    TempDir dir;
    const std::string data = testutil::textLike(5000, 3) + std::string(3000, '\0');
    const std::vector<std::string> rows[] = {{"-m"}, {"-m", "--norle0"}, {"-m", "-s"}, {"-m", "-s", "--norle0"}};
    for (const auto& options : rows) {
        std::vector<std::string> withBlocks = options;
        withBlocks.insert(withBlocks.end(), {"-b", "3000"});
        const std::string c = packBytes(dir, data, withBlocks);
        ASSERT_EQ(blocksOf(c).size(), 3u);
        for (const bool before : {false, true}) {
            resetSettings();
            useRLE0 = before;  // the file decides, not the setting
            std::string restored;
            EXPECT_EQ(unpackBytes(dir, c, &restored), "");
            EXPECT_TRUE(restored == data) << options.size();
            EXPECT_EQ(useRLE0, before);  // no setting is rewritten per block
        }
    }
}

TEST(UnpackFile, DistanceCodingRoundTripsAndPassThruMustBeRepeated) {
    SettingsGuard guard;
    TempDir dir;
    const std::string data = testutil::textLike(9000, 8) + testutil::randomBytes(2000, 256, 2);
    for (const bool pass : {false, true}) {
        std::vector<std::string> options = {"-b", "4000"};
        if (pass) options.push_back("-p");
        const std::string c = packBytes(dir, data, options);
        ASSERT_EQ(blocksOf(c).size(), 3u);
        for (const BlockInfo& b : blocksOf(c)) EXPECT_EQ(b.method * 10 + b.coderType, 51u);
        resetSettings();
        passThru = pass;
        std::string restored;
        EXPECT_EQ(unpackBytes(dir, c, &restored), "");
        EXPECT_TRUE(restored == data) << pass;
    }
}

TEST(PackFile, ThreeByteInputMatchesTheDocumentedLayout) {
    SettingsGuard guard;
    TempDir dir;
    const std::string c = packBytes(dir, "abc", {});
    ASSERT_GT(c.size(), 30u);
    const std::string expected = bytesOf({0x56, 0x45, 0x58, 0x41, 0x5F, 0x51, 0x33, 0x38,  // "VEXA_Q38"
                                          0x03, 0x00, 0x00, 0x00,                          // fileSize 3
                                          0x42, 0x4C, 0x43, 0x4B}) +                       // "BLCK"
                                 u32(static_cast<std::uint32_t>(c.size() - 30)) +          // packedSize
                                 bytesOf({0x03, 0x00, 0x00, 0x00,                          // dataSize 3
                                          0x05, 0x01,                                      // method, coderType
                                          0xF8, 0x83, 0x14, 0x55});                        // checksum
    EXPECT_EQ(c.substr(0, 30), expected);
}

TEST(UnpackFile, TrailingBytesAreIgnoredUnlessTheyStartAMember) {
    SettingsGuard guard;
    TempDir dir;
    const std::string data = testutil::randomBytes(3000, 16, 5);
    const std::string c = packBytes(dir, data, {"-m", "-b", "1000"});
    const struct {
        std::string tail;
        const char* error;
    } rows[] = {{"trailing junk", ""},
                {"VEXA_Q3", ""},  // too short to be a member's id
                {"BLCK", ""},
                {"VEXA_Q38 trailing junk", "Invalid block (header id does not match)."},
                {"VEXA_Q38\x01", unexpectedEndMessage}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tail);
        std::string restored;
        EXPECT_EQ(unpackBytes(dir, c + row.tail, &restored), row.error);
        if (*row.error == '\0') {
            EXPECT_TRUE(restored == data);
        }
    }
}

TEST(UnpackFile, DamageInALaterBlockLeavesNoOutput) {
    SettingsGuard guard;
    TempDir dir;
    const std::string data = testutil::textLike(2500, 9);
    const std::string c = packBytes(dir, data, {"-m", "-b", "1000"});
    const std::vector<BlockInfo> blocks = blocksOf(c);
    ASSERT_EQ(blocks.size(), 3u);
    const std::size_t second = 12 + 18 + blocks[0].packedSize;
    const std::size_t third = second + 18 + blocks[1].packedSize;
    const struct {
        std::string bytes;
        const char* message;
        std::size_t kept;
    } rows[] = {
        {c.substr(0, second), badBlock, 1000},                      // file ends before block 2
        {c.substr(0, second + 2), badBlock, 1000},                  // cut inside its id
        {c.substr(0, second + 10), cutShort, 1000},                 // cut inside its header
        {c.substr(0, third - 1), cutShort, 1000},                   // its payload one byte short
        {c.substr(0, third) + "BLCK", cutShort, 2000},              // block 3 header cut
        {c.substr(0, c.size() - 1), cutShort, 2000},                // last payload one byte short
        {c.substr(0, second) + "XLCK" + c.substr(second + 4), badBlock, 1000},
    };
    for (const auto& row : rows) {
        std::string restored;
        EXPECT_EQ(unpackBytes(dir, row.bytes, &restored), row.message);
        // The blocks before the damage were restored, but are not left behind.
        EXPECT_GT(row.kept, 0u);
        EXPECT_EQ(restored, "");
    }
}

TEST(UnpackFile, VerboseLines) {
    SettingsGuard guard;
    TempDir dir;
    const std::string c = packBytes(dir, std::string(1500, 'q'), {"-m", "-b", "1000"});
    resetSettings();
    verbose = true;
    const auto in = dir / "c.bin";
    writeFile(in, c);
    std::string out;
    EXPECT_EQ(runDriver([&] { unpackFile(in, (dir / "r"), driverSettings()); }, &out), "");
    EXPECT_EQ(out.rfind("Opening input file: " + in.string() + "\nBlock size: 1000\n", 0), 0u) << out;
    EXPECT_NE(out.find("\nBlock size: 500\n"), std::string::npos);
    EXPECT_NE(out.find("Decompression time: "), std::string::npos);
}


TEST(UnpackFile, DamagedContainersFailCleanly) {
    // Every outcome is allowed except a crash, an assertion or a hang; a
    // decoder that reports no error must still fill exactly fileSize bytes.
    SettingsGuard guard;
    TempDir dir;
    const std::string data = testutil::textLike(3000, 12);
    const std::vector<std::string> rows[] = {{}, {"-m"}, {"-m", "-s", "--norle0"}, {"-m", "-s"}, {"-p"}};
    std::mt19937 rng(2024);
    for (const auto& options : rows) {
        std::vector<std::string> withBlocks = options;
        withBlocks.insert(withBlocks.end(), {"-b", "1200"});
        const std::string c = packBytes(dir, data, withBlocks);
        const bool pass = !options.empty() && options[0] == "-p";
        for (int round = 0; round < 60; ++round) {
            std::string bad = c;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] = static_cast<char>(rng());
            if (round % 5 == 0) bad.resize(rng() % bad.size());
            resetSettings();
            passThru = pass;
            std::string restored;
            const std::string error = unpackBytes(dir, bad, &restored);
            if (error.empty()) {
                ASSERT_GE(bad.size(), 12u);
                EXPECT_EQ(restored.size(), readU32(bad, 8));
            }
        }
    }
}

// ---------------------------------------------------------------- mended faults

TEST(SameFile, IsRefusedBeforeTheOutputIsTouched) {
    SettingsGuard guard;
    TempDir dir;
    const std::string data = "precious data";
    const auto a = dir / "a";
    writeFile(a, data);
    std::filesystem::create_symlink(a, dir / "link");
    std::filesystem::create_hard_link(a, dir / "hard");
    std::filesystem::create_directory(dir / "sub");
    const std::string spellings[] = {a.string(), (dir / "link").string(), (dir / "hard").string(),
                                     (dir / "sub" / ".." / "a").string(), (dir / "." / "a").string()};
    for (const std::string& out : spellings) {
        resetSettings();
        EXPECT_EQ(runDriver([&] { packFile(a, out, driverSettings()); }), "Input and output are the same file: " + out);
        EXPECT_EQ(runDriver([&] { unpackFile(a, out, driverSettings()); }),
                  "Input and output are the same file: " + out);
        EXPECT_EQ(readFile(a), data);
    }
}

TEST(SameFile, MissingInputIsReportedFirst) {
    SettingsGuard guard;
    TempDir dir;
    const std::string missing = (dir / "missing").string();
    EXPECT_EQ(runDriver([&] { packFile(missing, missing, driverSettings()); }), "Unable to open input file: " + missing);
    EXPECT_EQ(runDriver([&] { unpackFile(missing, missing, driverSettings()); }),
              "Unable to open input file: " + missing);
}

TEST(SameFile, TestFileNamingInputOrOutputIsRefused) {
    SettingsGuard guard;
    TempDir dir;
    const auto a = dir / "a";
    writeFile(a, "data");
    const auto out = dir / "out";  // not created yet: compared by path
    for (const std::string& t : {a.string(), (dir / "sub" / ".." / "a").string(), out.string(),
                                (dir / "." / "out").string()}) {
        resetSettings();
        std::filesystem::create_directories(dir / "sub");
        test = true;
        testfilename = t;
        useMTF0 = useRLE0 = adaptiveAC = true;
        EXPECT_EQ(runDriver([&] { packFile(a, out, driverSettings()); }),
                  "Test file is the same as the input or output file: " + t);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_EQ(readFile(a), "data");
    }
    // A different test file passes.
    resetSettings();
    test = true;
    testfilename = (dir / "t").string();
    useMTF0 = useRLE0 = adaptiveAC = true;
    EXPECT_EQ(runDriver([&] { packFile(a, out, driverSettings()); }), "");
}

TEST(InputFile, NonRegularInputsAreRefused) {
    SettingsGuard guard;
    TempDir dir;
    for (const std::string& in : {dir.path().string(), std::string("/dev/null"), std::string("/dev/zero")}) {
        const std::string out = (dir / "o").string();
        EXPECT_EQ(runDriver([&] { packFile(in, out, driverSettings()); }), "Unable to open input file: " + in);
        EXPECT_EQ(runDriver([&] { unpackFile(in, out, driverSettings()); }), "Unable to open input file: " + in);
    }
}

TEST(InputFile, ShortReadIsReported) {
    // sysfs files claim a size of one page but hold fewer bytes: the input
    // delivers less than it measured, as a file that shrank would.
    SettingsGuard guard;
    TempDir dir;
    std::string shortFile;
    for (const char* f : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
                          "/sys/kernel/profiling"}) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f, ec);
        if (!ec && size > readFile(f).size() && !readFile(f).empty()) {
            shortFile = f;
            break;
        }
    }
    if (shortFile.empty()) GTEST_SKIP() << "no file here reads shorter than its size";
    useMTF0 = useRLE0 = adaptiveAC = true;
    EXPECT_EQ(runDriver([&] { packFile(shortFile, (dir / "o"), driverSettings()); }),
              "Unable to read input file: " + shortFile);
}

TEST(OutputFile, WriteFailuresAreReported) {
    SettingsGuard guard;
    TempDir dir;
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string data = testutil::textLike(100000, 4);
    const std::string c = packBytes(dir, data, {"-m"});
    const auto in = dir / "input.bin";
    const auto packed = dir / "c.bin";
    writeFile(packed, c);
    resetSettings();
    useMTF0 = useRLE0 = adaptiveAC = true;
    EXPECT_EQ(runDriver([&] { packFile(in, "/dev/full", driverSettings()); }), "Unable to write output file: /dev/full");
    EXPECT_EQ(runDriver([&] { unpackFile(packed, "/dev/full", driverSettings()); }), "Unable to write output file: /dev/full");
    // A one-byte input: the failure shows only when the output is closed.
    writeFile(in, "z");
    EXPECT_EQ(runDriver([&] { packFile(in, "/dev/full", driverSettings()); }), "Unable to write output file: /dev/full");
}

TEST(DumpFailure, IsReportedByName) {
    SettingsGuard guard;
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    ASSERT_EQ(parse({"-c", "a", "--mtf_output", (dir / "ok").string(), "--bwt_output", "/dev/full"}).error, "");
    std::ostringstream os;
    reportDumpFailures(os);
    EXPECT_EQ(os.str(), "");  // nothing written yet
    bwtOutFile << std::string(100000, 'x');
    mtfOutFile << "fine";
    reportDumpFailures(os);
    EXPECT_EQ(os.str(), "WARNING: writing dump file failed: /dev/full\n");
}

}  // namespace
