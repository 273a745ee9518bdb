// The output of a run does not depend on the thread count: compressed bytes,
// console lines (times masked), dumps, and on damaged input the first error
// with exactly the lines before it.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::runProgram;
using testutil::TempDir;
using testutil::writeFile;

const std::vector<std::vector<std::string>> variants = {
    {}, {"-p"}, {"-m"}, {"-m", "--norle0"}, {"-m", "-s"}, {"-m", "-s", "--norle0"},
};
const char* const threadCounts[] = {"1", "2", "3", "8"};

// Times are the only thing allowed to differ.
std::string masked(const std::string& console) {
    static const std::regex time("[-0-9.e]+s\n");
    return std::regex_replace(console, time, "Ts\n");
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

struct Outcome {
    std::string out, err, file;
    int status;
};

Outcome run(const TempDir& dir, const std::vector<std::string>& args, const std::string& product) {
    const testutil::RunResult r = runProgram(dir.path(), args);
    return {masked(r.out), r.err, readFile(dir / product), r.status};
}

// `input` compressed in blocks of `blockSize` with the variant's options and
// extracted, with progress lines, at each thread count: the bytes and lines
// of one thread.
void expectSameAtEveryCount(const std::string& input, const char* blockSize, const std::vector<std::string>& variant) {
    TempDir dir;
    writeFile(dir / "in", input);
    const std::vector<std::string> pass = variant == std::vector<std::string>{"-p"} ? variant
                                                                                  : std::vector<std::string>{};
    Outcome packed1, unpacked1;
    for (const char* t : threadCounts) {
        SCOPED_TRACE((variant.empty() ? std::string("default") : variant[0]) + " threads " + t);
        const Outcome packed =
            run(dir, with({"-c", "in", "-o", "packed", "-v", "-b", blockSize, "--threads", t}, variant), "packed");
        const Outcome unpacked =
            run(dir, with({"-e", "packed", "-o", "restored", "-v", "--threads", t}, pass), "restored");
        ASSERT_EQ(packed.status, 0) << packed.err;
        ASSERT_EQ(unpacked.status, 0) << unpacked.err;
        EXPECT_EQ(unpacked.file, input);
        if (std::string(t) == "1") {
            packed1 = packed;
            unpacked1 = unpacked;
            continue;
        }
        EXPECT_EQ(packed.file, packed1.file);
        EXPECT_EQ(packed.out, packed1.out);
        EXPECT_EQ(unpacked.out, unpacked1.out);
    }
}

// Every variant, seven blocks of mixed data.
TEST(Threads, SameBytesAndLinesAtEveryCount) {
    const std::string input = testutil::textLike(30000, 1) + testutil::randomBytes(9000, 256, 2) +
                              testutil::randomBytes(10000, 3, 3);
    for (const auto& variant : variants) expectSameAtEveryCount(input, "7000", variant);
}

// A long block and a short last one: the long one's sort, coding, decoding
// and inverse borrow the core the short one leaves, and nothing of the
// output moves.
TEST(Threads, BorrowedCoresLeaveOutputAlone) {
    const std::string input = testutil::textLike(400000, 21) + testutil::randomBytes(30000, 256, 22);
    for (const auto& variant : {std::vector<std::string>{}, std::vector<std::string>{"-m"}})
        expectSameAtEveryCount(input, "400000", variant);
}

// With dumps the blocks are coded one after another: the same dump files.
TEST(Threads, SameDumpsAtEveryCount) {
    TempDir dir;
    writeFile(dir / "in", testutil::textLike(20000, 5));
    const std::vector<std::string> dumps = {"--bwt_output", "bwt", "--mtf_output", "mtf", "--rle0_output", "rle0",
                                            "--input_histogram", "ih", "--mtf_histogram", "mh",
                                            "--rle0_histogram", "rh", "--suffix_array_output", "sa"};
    std::vector<std::string> first;
    for (const char* t : threadCounts) {
        SCOPED_TRACE(t);
        const Outcome r = run(dir, with({"-c", "in", "-o", "packed", "-m", "-b", "6000", "--threads", t}, dumps), "packed");
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> got = {r.file, r.out};
        for (std::size_t i = 1; i < dumps.size(); i += 2) got.push_back(readFile(dir / dumps[i]));
        if (first.empty())
            first = got;
        else
            EXPECT_EQ(got, first);
    }
}

// A damaged block in the middle: the error of the first bad block, after
// exactly the lines of the blocks before it, at every count.
TEST(Threads, FirstErrorAndItsLinesAtEveryCount) {
    TempDir dir;
    writeFile(dir / "in", testutil::textLike(40000, 7));
    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed", "-b", "5000"}).status, 0);
    const std::string original = readFile(dir / "packed");
    std::string packed = original;
    // The fourth block's primary index (first payload bytes) out of range,
    // the sixth block's header id broken.
    std::size_t at = 12;
    std::vector<std::size_t> starts;
    while (at + 18 <= packed.size()) {
        starts.push_back(at);
        const unsigned packedSize = static_cast<unsigned char>(packed[at + 4]) |
                                    static_cast<unsigned char>(packed[at + 5]) << 8 |
                                    static_cast<unsigned char>(packed[at + 6]) << 16;
        at += 18 + packedSize;
    }
    ASSERT_GE(starts.size(), 8u);
    for (int i = 0; i < 4; ++i) packed[starts[3] + 18 + i] = '\xff';
    packed[starts[5]] = 'X';
    writeFile(dir / "damaged", packed);
    Outcome first;
    for (const char* t : threadCounts) {
        SCOPED_TRACE(t);
        const Outcome r = run(dir, {"-e", "damaged", "-o", "restored", "-v", "--threads", t}, "restored");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "ERROR: Error in compressed file (first suffix index out of range)\n");
        if (std::string(t) == "1") {
            first = r;
            continue;
        }
        EXPECT_EQ(r.out, first.out);
    }
    // The header error alone is reported after the blocks before it.
    for (int i = 0; i < 4; ++i) packed[starts[3] + 18 + i] = original[starts[3] + 18 + i];
    writeFile(dir / "damaged", packed);
    for (const char* t : threadCounts) {
        const Outcome r = run(dir, {"-e", "damaged", "-o", "restored", "-v", "--threads", t}, "restored");
        EXPECT_EQ(r.err, "ERROR: Invalid block (header id does not match).\n") << t;
        EXPECT_NE(r.out.find("Block size: 5000"), std::string::npos);
    }
}

}  // namespace
