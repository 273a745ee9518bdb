// Diagnostic writers, the histogram routine and timing lines.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "diagnostics.h"
#include "globals.h"
#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::SettingsGuard;
using testutil::TempDir;
using testutil::writeFile;

// Opens `stream` on a fresh file, runs `write`, closes it and returns the
// file's bytes.
template <class F>
std::string dumpOf(std::ofstream& stream, F&& write) {
    TempDir dir;
    stream.open(dir / "dump.txt");
    write();
    stream.close();
    return readFile(dir / "dump.txt");
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// ---------------------------------------------------------------- writers

TEST(Diagnostics, InputHistogram) {
    SettingsGuard guard;
    std::string data = "aba";
    EXPECT_EQ(dumpOf(inputHistFile, [&] { printInputHistToFile(inputHistFile, data.data(), 3); }),
              "[Block] \nBlock size = 3\nData histogram:\n"
              "a - 2     [0, 1]\n"
              "b - 1     [2, 0]\n\n\n");
}

TEST(Diagnostics, InputHistogramOrdersBytesAsSigned) {
    SettingsGuard guard;
    std::string data = bytes({'A', 0xFF, 0x80, '\n', 0xFF});
    EXPECT_EQ(dumpOf(inputHistFile, [&] { printInputHistToFile(inputHistFile, data.data(), 5); }),
              "[Block] \nBlock size = 5\nData histogram:\n" + bytes({0x80}) + " - 1     [0, 4]\n" + bytes({0xFF}) +
                  " - 2     [1, 2]\n"
                  "\n - 1     [3, 1]\n"
                  "A - 1     [4, 0]\n\n\n");
}

TEST(Diagnostics, MtfHistogramShowsValuesInSignedOrder) {
    SettingsGuard guard;
    std::string data = bytes({0, 200, 1});
    EXPECT_EQ(dumpOf(mtfHistFile, [&] { printMTFHistToFile(mtfHistFile, data.data(), 3); }),
              "[Block] \nBlock size = 3\nData MTF histogram:\n"
              "200 - 1     [0, 2]\n"
              "0 - 1     [1, 1]\n"
              "1 - 1     [2, 0]\n\n\n");
}

TEST(Diagnostics, DcHistogramCountsValues) {
    SettingsGuard guard;
    const unsigned values[] = {5, 1, 5, 4294967295u};
    EXPECT_EQ(dumpOf(dcHistFile, [&] { printDCHistToFile(dcHistFile, values, 3); }),
              "[Block] \nBlock size = 3\nData DC histogram:\n"
              "1 - 1     [0, 2]\n"
              "5 - 2     [1, 0]\n\n\n");
    EXPECT_EQ(dumpOf(dcHistFile, [&] { printDCHistToFile(dcHistFile, values + 3, 1); }),
              "[Block] \nBlock size = 1\nData DC histogram:\n4294967295 - 1     [0, 0]\n\n\n");
}

TEST(Diagnostics, EmptyHistogramHasNoLines) {
    SettingsGuard guard;
    EXPECT_EQ(dumpOf(dcHistFile, [&] { printDCHistToFile(dcHistFile, nullptr, 0); }),
              "[Block] \nBlock size = 0\nData DC histogram:\n\n\n");
    EXPECT_EQ(dumpOf(inputHistFile, [&] { printInputHistToFile(inputHistFile, nullptr, 0); }),
              "[Block] \nBlock size = 0\nData histogram:\n\n\n");
}

TEST(Diagnostics, MtfDataAsNumbers) {
    SettingsGuard guard;
    std::string data = bytes({0, 1, 255});
    EXPECT_EQ(dumpOf(mtfOutFile, [&] { printMTFDataToFile(mtfOutFile, data.data(), 3); }),
              "[Block] \nBlock size = 3\nData after MTF:\n0 1 255\n\n");
    EXPECT_EQ(dumpOf(mtfOutFile, [&] { printMTFDataToFile(mtfOutFile, data.data(), 0); }),
              "[Block] \nBlock size = 0\nData after MTF:\n\n\n");
}

TEST(Diagnostics, BwtDataIsWrittenUnchanged) {
    SettingsGuard guard;
    std::string data = bytes({'a', '\n', 0, '\r', 0xFF, 'z'});
    EXPECT_EQ(dumpOf(bwtOutFile, [&] { printBWTDataToFile(bwtOutFile, data.data(), 6, 4); }),
              "[Block] \nBlock size = 6\nFirst suffix position: 4\nData after BWT:\n" + data + "\n\n");
}

TEST(Diagnostics, DcData) {
    SettingsGuard guard;
    const unsigned values[] = {7, 0, 4294967295u};
    EXPECT_EQ(dumpOf(dcOutFile, [&] { printDCDataToFile(dcOutFile, values, 3); }),
              "[Block] \nBlock size = 3\nData after DC:\n7 0 4294967295\n\n");
}

TEST(Diagnostics, RecordsAppendPerBlock) {
    SettingsGuard guard;
    std::string data = bytes({3, 3});
    EXPECT_EQ(dumpOf(mtfOutFile,
                     [&] {
                         printMTFDataToFile(mtfOutFile, data.data(), 2);
                         printMTFDataToFile(mtfOutFile, data.data(), 1);
                     }),
              "[Block] \nBlock size = 2\nData after MTF:\n3 3\n\n"
              "[Block] \nBlock size = 1\nData after MTF:\n3\n\n");
}

TEST(Diagnostics, ClosedStreamSwallowsOutput) {
    SettingsGuard guard;
    std::string data = "abc";
    printMTFDataToFile(mtfOutFile, data.data(), 3);  // no stream open: nothing happens
    printBWTDataToFile(bwtOutFile, data.data(), 3, 0);
    EXPECT_FALSE(mtfOutFile.is_open());
}

TEST(Histogram, PassFunctionShowsKeys) {
    const unsigned values[] = {2, 9, 2};
    std::ostringstream os;
    histogram(os, values, 3, [](unsigned v) { return "k" + std::to_string(v); });
    EXPECT_EQ(os.str(), "k2 - 2     [0, 1]\nk9 - 1     [2, 0]\n");
    EXPECT_EQ(mtfHistPassValue(static_cast<char>(0xC8)), 200u);
    EXPECT_EQ(histogramPassThrough<const unsigned>(7u), 7u);
}

// ---------------------------------------------------------------- timing

struct TimeCase {
    long start, stop;
    int precision;
    const char* line;
};

class TimeLine : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeLine, UsesTheStreamsPrecision) {
    std::ostringstream os;
    os.precision(GetParam().precision);
    printTime(os, "Compression time: ", GetParam().start, GetParam().stop);
    EXPECT_EQ(os.str(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Lines, TimeLine,
                         ::testing::Values(TimeCase{0, 1234, 6, "Compression time: 1.234s\n"},
                                           TimeCase{1000, 2234, 3, "Compression time: 1.23s\n"},
                                           TimeCase{5, 5, 6, "Compression time: 0s\n"},
                                           TimeCase{-1, 5, 6, "Compression time: -\n"},
                                           TimeCase{5, -1, 3, "Compression time: -\n"}));


}  // namespace
