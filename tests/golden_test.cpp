// Golden sums: the compressed files of fixed inputs must never change
// unnoticed, and each must restore to its input.
//
// tests/data/golden_sums.txt, one row per line (blank lines and lines
// starting with # are skipped):
//     <input> <flags...> <sha256 of the compressed file>
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
        if (w.size() < 2) {
            rows.push_back(Row{lineNo, w.front(), {}, ""});  // reported as malformed
            continue;
        }
        rows.push_back(Row{lineNo, w.front(), std::vector<std::string>(w.begin() + 1, w.end() - 1), w.back()});
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

// One test per row, so that ctest can spread them and a failure names it.
class GoldenSums : public ::testing::TestWithParam<Row> {};

TEST_P(GoldenSums, CompressedFileMatchesAndRestores) {
    const Row& row = GetParam();
    SCOPED_TRACE("golden_sums.txt line " + std::to_string(row.line) + ": " + row.input);
    const std::string input = resolve(row.input);
    ASSERT_FALSE(input.empty()) << "input must start with samples/ or corpus/";
    ASSERT_EQ(row.sha.size(), 64u) << "last field must be a SHA-256";
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
}

INSTANTIATE_TEST_SUITE_P(Rows, GoldenSums, ::testing::ValuesIn(readRows()), [](const auto& p) {
    std::string name = "line" + std::to_string(p.param.line) + "_" + p.param.input;
    for (const std::string& f : p.param.flags) name += "_" + f;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

}  // namespace
