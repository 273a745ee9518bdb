// Golden sums: the compressed files of fixed inputs must never change
// unnoticed, and each must restore to its input.
//
// tests/data/golden_sums.txt, one row per line (blank lines and lines
// starting with # are skipped):
//     <input> <flags...> <sha256 of the compressed file> <sha256 zeroed>
// The second sum is that of the same file with every block checksum set to
// 0: exactly the bytes writers produced before blocks carried checksums, and
// such a file must still restore.
// <input> is samples/NAME (under tests/data) or corpus/NAME (the shared
// corpus; skipped when it is missing). The flags are passed to compression
// as they stand; extraction gets -p again when the row has it, since the
// container does not record the pass-through coder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

struct Row {
    int line;
    std::string input;
    std::vector<std::string> flags;
    std::string sha;
    std::string zeroedSha;
};

void PrintTo(const Row& r, std::ostream* os) { *os << "line " << r.line << ": " << r.input; }

std::vector<Row> readRows() {
    std::vector<Row> rows;
    std::istringstream in(testutil::readFile(Q38_TEST_DATA "/golden_sums.txt"));
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;) w.push_back(s);
        if (w.empty() || w[0][0] == '#') continue;
        if (w.size() < 3) {
            rows.push_back(Row{lineNo, w.front(), {}, "", ""});  // reported as malformed
            continue;
        }
        rows.push_back(Row{lineNo, w.front(), std::vector<std::string>(w.begin() + 1, w.end() - 2), w[w.size() - 2],
                           w.back()});
    }
    return rows;
}

std::string sha256(const std::filesystem::path& p) {
    const std::string cmd = "sha256sum '" + p.string() + "'";
    FILE* f = popen(cmd.c_str(), "r");
    if (f == nullptr) return "";
    char buf[65] = {};
    const std::size_t got = fread(buf, 1, 64, f);
    pclose(f);
    return std::string(buf, got);
}

std::string resolve(const std::string& input) {
    if (input.rfind("samples/", 0) == 0) return std::string(Q38_TEST_DATA "/") + input;
    if (input.rfind("corpus/", 0) == 0) return std::string(Q38_CORPUS "/") + input.substr(7);
    return "";
}

// The file with every block's checksum field set to 0.
std::string zeroChecksums(std::string c) {
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(c[at + i]);
        return v;
    };
    std::uint64_t left = c.size() >= 12 ? u32(8) : 0;
    for (std::size_t at = 12; left > 0 && at + 18 <= c.size(); at += 18 + u32(at + 4)) {
        c.replace(at + 14, 4, 4, '\0');
        left -= std::min<std::uint64_t>(left, u32(at + 8));
    }
    return c;
}

// One test per row, so that ctest can spread them and a failure names it.
class GoldenSums : public ::testing::TestWithParam<Row> {};

TEST_P(GoldenSums, CompressedFileMatchesAndRestores) {
    const Row& row = GetParam();
    SCOPED_TRACE("golden_sums.txt line " + std::to_string(row.line) + ": " + row.input);
    const std::string input = resolve(row.input);
    ASSERT_FALSE(input.empty()) << "input must start with samples/ or corpus/";
    ASSERT_EQ(row.sha.size(), 64u) << "last two fields must be SHA-256 sums";
    ASSERT_EQ(row.zeroedSha.size(), 64u) << "last two fields must be SHA-256 sums";
    if (!std::filesystem::exists(input)) {
        ASSERT_EQ(row.input.rfind("corpus/", 0), 0u) << "missing sample";
        GTEST_SKIP() << "corpus missing";
    }
    testutil::TempDir dir;
    std::vector<std::string> args = {"-c", input, "-o", "packed"};
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    const testutil::RunResult c = testutil::runProgram(dir.path(), args);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(sha256(dir / "packed"), row.sha);

    std::vector<std::string> back = {"-e", "packed", "-o", "restored"};
    if (std::find(row.flags.begin(), row.flags.end(), "-p") != row.flags.end()) back.push_back("-p");
    const testutil::RunResult e = testutil::runProgram(dir.path(), back);
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_TRUE(testutil::readFile(dir / "restored") == testutil::readFile(input)) << "restored file differs";

    // Without checksums: the bytes of earlier writers, still restored.
    testutil::writeFile(dir / "zeroed", zeroChecksums(testutil::readFile(dir / "packed")));
    EXPECT_EQ(sha256(dir / "zeroed"), row.zeroedSha);
    back[1] = "zeroed";
    back[3] = "restored0";
    const testutil::RunResult z = testutil::runProgram(dir.path(), back);
    ASSERT_EQ(z.status, 0) << z.err;
    EXPECT_TRUE(testutil::readFile(dir / "restored0") == testutil::readFile(input)) << "zeroed file differs";
}

INSTANTIATE_TEST_SUITE_P(Rows, GoldenSums, ::testing::ValuesIn(readRows()), [](const auto& p) {
    std::string name = "line" + std::to_string(p.param.line) + "_" + p.param.input;
    for (const std::string& f : p.param.flags) name += "_" + f;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

}  // namespace
