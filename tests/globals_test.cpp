// The file comparison of the test mode.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "globals.h"
#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::SettingsGuard;
using testutil::TempDir;
using testutil::writeFile;

// ---------------------------------------------------------------- equalFiles

// Captures standard output around one comparison.
struct Compared {
    bool equal;
    std::string out;
};

Compared compare(const std::string& a, const std::string& b) {
    std::ostringstream buffer;
    std::streambuf* old = std::cout.rdbuf(buffer.rdbuf());
    const bool equal = equalFiles(a, b);
    std::cout.rdbuf(old);
    return {equal, buffer.str()};
}

struct EqualCase {
    const char* name;
    std::string first, second;
    bool equal;
    const char* message;
};

class EqualFiles : public ::testing::TestWithParam<EqualCase> {};

TEST_P(EqualFiles, ComparesLengthThenBytes) {
    TempDir dir;
    writeFile(dir / "1", GetParam().first);
    writeFile(dir / "2", GetParam().second);
    const Compared c = compare((dir / "1").string(), (dir / "2").string());
    EXPECT_EQ(c.equal, GetParam().equal);
    EXPECT_EQ(c.out, GetParam().message);
}

std::string flipped(std::string s, std::size_t at) {
    s[at] = static_cast<char>(s[at] ^ 1);
    return s;
}

const std::string data40000 = testutil::randomBytes(40000, 256, 11);

INSTANTIATE_TEST_SUITE_P(
    Cases, EqualFiles,
    ::testing::Values(EqualCase{"BothEmpty", "", "", true, ""},
                      EqualCase{"OneChunk", data40000.substr(0, 32768), data40000.substr(0, 32768), true, ""},
                      EqualCase{"ChunkPlusOne", data40000.substr(0, 32769), data40000.substr(0, 32769), true, ""},
                      EqualCase{"LastByteOfOneChunk", data40000.substr(0, 32768),
                                flipped(data40000.substr(0, 32768), 32767), false, "ERROR at position: 32767\n"},
                      EqualCase{"ByteAfterFirstChunk", data40000.substr(0, 32769),
                                flipped(data40000.substr(0, 32769), 32768), false, "ERROR at position: 32768\n"},
                      EqualCase{"LastByteOf40000", data40000, flipped(data40000, 39999), false,
                                "ERROR at position: 39999\n"},
                      EqualCase{"FirstByte", data40000, flipped(data40000, 0), false, "ERROR at position: 0\n"},
                      EqualCase{"FirstOfTwoDifferences", data40000, flipped(flipped(data40000, 100), 35000), false,
                                "ERROR at position: 100\n"},
                      EqualCase{"PrefixIsNotEqual", data40000.substr(0, 39999), data40000, false, ""},
                      EqualCase{"EmptyVersusOne", "", "x", false, ""}),
    [](const ::testing::TestParamInfo<EqualCase>& p) { return std::string(p.param.name); });

TEST(EqualFilesUnreadable, MissingOrUnreadableFilesAreNotEqual) {
    TempDir dir;
    writeFile(dir / "empty", "");
    const std::string missing = (dir / "missing").string();
    const std::string empty = (dir / "empty").string();
    const struct {
        std::string a, b;
    } rows[] = {{missing, empty}, {empty, missing}, {missing, missing}, {missing, (dir / "other").string()},
                {dir.path().string(), dir.path().string()}, {dir.path().string(), empty}};
    for (const auto& row : rows) {
        const Compared c = compare(row.a, row.b);
        EXPECT_FALSE(c.equal) << row.a << " " << row.b;
        EXPECT_EQ(c.out, "");
    }
}

}  // namespace
