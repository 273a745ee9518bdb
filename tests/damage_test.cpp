// Damaged compressed files: every one is either restored or rejected with
// "ERROR: " and exit status 255; none crashes, asserts or hangs.
//
// The program is run for every truncation point and for a sample of random
// corruptions (under a time limit, so a hang fails instead of blocking); the
// bulk of the random corruptions goes through the library's extraction
// driver in-process, which is much faster than a process per file.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "globals.h"
#include "commandline.h"
#include "testutil.h"

namespace {

// Method flag sets under test; the same flags go to compression and
// extraction. Add a row per method.
const std::vector<std::vector<std::string>> methodFlags = {
    {},
    {"-p"},
    {"-m"},
    {"-m", "--norle0"},
    {"-m", "-s"},
    {"-m", "-s", "--norle0"},
};

// Small inputs: truncation runs the program once per byte of the output.
struct Input {
    const char* name;
    std::string data;
};
std::vector<Input> inputs() {
    std::string all;
    for (unsigned i = 0; i < 256; ++i) all += static_cast<char>(i * 97);
    return {{"text", testutil::textLike(900, 5)},
            {"binary", testutil::randomBytes(300, 7, 11) + all},
            {"byte", "Q"},
            {"blocks", testutil::textLike(500, 6)}};  // compressed with -b 128
}

std::vector<std::string> packArgs(const Input& in, const std::vector<std::string>& flags) {
    std::vector<std::string> a = {"-c", "in", "-o", "packed"};
    a.insert(a.end(), flags.begin(), flags.end());
    if (std::string(in.name) == "blocks") a.insert(a.end(), {"-b", "128"});
    return a;
}

// Extracts `file` in `dir` under a time limit (an alarm that the program
// inherits, so a hang ends by a signal). Returns the exit status, -1 when
// the program ended by a signal; fills `err` with standard error.
int extract(const std::filesystem::path& dir, const std::string& file, const std::vector<std::string>& flags,
            std::string& err) {
    std::vector<std::string> args = {Q38_EXE, "-e", (dir / file).string(), "-o", (dir / "restored").string()};
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string errName = (dir / ".err").string();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        const int errFd = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || errFd < 0) _exit(120);
        dup2(in, 0);
        dup2(out, 1);
        dup2(errFd, 2);
        alarm(20);
        execv(argv[0], argv.data());
        _exit(121);
    }
    int raw = 0;
    if (pid < 0 || waitpid(pid, &raw, 0) != pid) return -2;
    err = testutil::readFile(errName);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

void expectRejectedOrRestored(int status, const std::string& err, const std::string& what) {
    if (status == 0) return;
    EXPECT_EQ(status, 255) << what << ": " << err;
    EXPECT_EQ(err.rfind("ERROR: ", 0), 0u) << what << ": " << err;
    EXPECT_EQ(err.find("Assertion"), std::string::npos) << what << ": " << err;
}

// Runs the library's extraction driver with the method's flags, as the
// program does, with its progress lines kept out of the test log.
class InProcessExtractor {
public:
    InProcessExtractor(const std::vector<std::string>& flags, const std::string& in, const std::string& out)
        : args{"vexa-Q38", "-e", in, "-o", out}, old(std::cout.rdbuf(sink.rdbuf())) {
        args.insert(args.end(), flags.begin(), flags.end());
        for (auto& a : args) argv.push_back(a.data());
    }
    ~InProcessExtractor() { std::cout.rdbuf(old); }

    // The error message, or "" when the file was restored.
    std::string run() {
        resetSettings();
        sink.str("");
        try {
            parseCommandLineParams(static_cast<int>(argv.size()), argv.data());
            unpackFile(args[2], args[4], driverSettings());
            return "";
        } catch (const Exception& e) {
            return std::string(e.what()).empty() ? "(empty message)" : e.what();
        }
    }

private:
    testutil::SettingsGuard guard;
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::ostringstream sink;
    std::streambuf* old;
};

struct Packed {
    testutil::TempDir dir;
    std::string data;
};

// Compresses `in` with the program into dir/packed.
void pack(const Input& in, const std::vector<std::string>& flags, Packed& p) {
    testutil::writeFile(p.dir / "in", in.data);
    const testutil::RunResult r = testutil::runProgram(p.dir.path(), packArgs(in, flags));
    ASSERT_EQ(r.status, 0) << r.err;
    p.data = testutil::readFile(p.dir / "packed");
}

class Damage : public ::testing::TestWithParam<std::vector<std::string>> {};

// Every cut in-process; through the program a sample of cuts.
TEST_P(Damage, EveryTruncationIsRejected) {
    const auto& flags = GetParam();
    for (const Input& in : inputs()) {
        SCOPED_TRACE(in.name);
        Packed p;
        ASSERT_NO_FATAL_FAILURE(pack(in, flags, p));
        std::string err;
        ASSERT_EQ(extract(p.dir.path(), "packed", flags, err), 0) << err;
        ASSERT_EQ(testutil::readFile(p.dir / "restored"), in.data);
        const std::string cutName = (p.dir / "cut").string();
        {
            InProcessExtractor x(flags, cutName, (p.dir / "restored").string());
            for (std::size_t cut = 0; cut < p.data.size(); ++cut) {
                testutil::writeFile(cutName, p.data.substr(0, cut));
                EXPECT_NE(x.run(), "") << "cut at " << cut;
            }
        }
        // The program itself at the edges of the headers and the first
        // payload bytes, at a spread of later points and one byte short; every
        // other cut went through the same driver in-process above.
        std::vector<std::size_t> cuts = {0, 1, 7, 8, 11, 12, 13, 16, 29, 30, 31, 34};
        for (std::size_t k = 1; k <= 4; ++k) cuts.push_back(p.data.size() * k / 5);
        cuts.push_back(p.data.size() - 1);
        for (const std::size_t cut : cuts) {
            if (cut >= p.data.size()) continue;
            testutil::writeFile(cutName, p.data.substr(0, cut));
            const int status = extract(p.dir.path(), "cut", flags, err);
            EXPECT_EQ(status, 255) << "cut at " << cut << ": " << err;
            EXPECT_EQ(err.rfind("ERROR: ", 0), 0u) << "cut at " << cut << ": " << err;
        }
    }
}

// Random damage after the 12-byte file header: a few flipped bytes, or a
// stretch overwritten with random bytes.
std::string corrupt(const std::string& packed, std::mt19937& rng) {
    std::string d = packed;
    const std::size_t span = d.size() - 12;
    if (rng() % 4 == 0) {
        const std::size_t at = 12 + rng() % span;
        const std::size_t len = 1 + rng() % 16;
        for (std::size_t i = at; i < d.size() && i < at + len; ++i) d[i] = static_cast<char>(rng());
    } else {
        for (unsigned k = 1 + rng() % 3; k != 0; --k) d[12 + rng() % span] ^= static_cast<char>(1 + rng() % 255);
    }
    return d;
}

TEST_P(Damage, RandomCorruptionsInProcess) {
    const auto& flags = GetParam();
    std::mt19937 rng(2024);
    unsigned rejected = 0, restored = 0;
    for (const Input& in : inputs()) {
        SCOPED_TRACE(in.name);
        Packed p;
        ASSERT_NO_FATAL_FAILURE(pack(in, flags, p));
        const std::string damaged = (p.dir / "damaged").string();
        InProcessExtractor x(flags, damaged, (p.dir / "restored").string());
        for (int i = 0; i < 600; ++i) {
            testutil::writeFile(damaged, corrupt(p.data, rng));
            if (!x.run().empty()) {
                ++rejected;
                continue;
            }
            // A damaged file never passes for a good one.
            ++restored;
            ASSERT_TRUE(testutil::readFile(p.dir / "restored") == in.data) << "corruption " << i;
        }
    }
    std::printf("%u rejected, %u restored\n", rejected, restored);
    EXPECT_GT(rejected, 0u);
}

TEST_P(Damage, RandomCorruptionsThroughTheProgram) {
    const auto& flags = GetParam();
    std::mt19937 rng(77);
    for (const Input& in : inputs()) {
        SCOPED_TRACE(in.name);
        Packed p;
        ASSERT_NO_FATAL_FAILURE(pack(in, flags, p));
        std::string err;
        for (int i = 0; i < 12; ++i) {
            testutil::writeFile(p.dir / "damaged", corrupt(p.data, rng));
            expectRejectedOrRestored(extract(p.dir.path(), "damaged", flags, err), err,
                                     "corruption " + std::to_string(i));
        }
    }
}

// Reading a file with the other coder (-p on one side only) is a damaged
// payload too: the block checksums reject it.
TEST(Damage, MismatchedPassThruSettingFails) {
    for (const Input& in : inputs()) {
        for (const auto& [packFlags, unpackFlags] :
             {std::pair<std::vector<std::string>, std::vector<std::string>>{{"-p"}, {}}, {{}, {"-p"}}}) {
            testutil::TempDir dir;
            testutil::writeFile(dir / "in", in.data);
            ASSERT_EQ(testutil::runProgram(dir.path(), packArgs(in, packFlags)).status, 0);
            std::string err;
            EXPECT_EQ(extract(dir.path(), "packed", unpackFlags, err), 255) << in.name;
            EXPECT_EQ(err.rfind("ERROR: ", 0), 0u) << in.name << ": " << err;
            EXPECT_FALSE(std::filesystem::exists(dir / "restored")) << in.name;
        }
    }
}

// Every single-bit flip of a compressed file, in one block and in several:
// the file is either restored exactly or rejected, never restored wrong.
class BitFlipsLong : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BitFlipsLong, EveryFlipRestoresExactlyOrFails) {
    const auto& flags = GetParam();
    const Input smallInputs[] = {{"text", testutil::textLike(400, 9)}, {"blocks", testutil::textLike(500, 6)}};
    unsigned rejected = 0;
    for (const Input& in : smallInputs) {
        SCOPED_TRACE(in.name);
        Packed p;
        ASSERT_NO_FATAL_FAILURE(pack(in, flags, p));
        const std::string damaged = (p.dir / "damaged").string();
        InProcessExtractor x(flags, damaged, (p.dir / "restored").string());
        // Under the sanitizers, ten times slower, every seventh bit.
        const std::size_t step = std::getenv("Q38_SANITIZED") ? 7 : 1;
        for (std::size_t bit = 0; bit < 8 * p.data.size(); bit += step) {
            std::string d = p.data;
            d[bit / 8] = static_cast<char>(d[bit / 8] ^ (1 << (bit % 8)));
            testutil::writeFile(damaged, d);
            std::filesystem::remove(p.dir / "restored");
            if (!x.run().empty()) {
                ++rejected;
                continue;
            }
            ASSERT_TRUE(testutil::readFile(p.dir / "restored") == in.data) << "bit " << bit;
        }
    }
    EXPECT_GT(rejected, 0u);
}

std::string flagsName(const ::testing::TestParamInfo<std::vector<std::string>>& p) {
    std::string name;
    for (const std::string& f : p.param)
        for (char c : f)
            if (std::isalnum(static_cast<unsigned char>(c))) name += c;
    return name.empty() ? std::string("default") : name;
}

INSTANTIATE_TEST_SUITE_P(Methods, Damage, ::testing::ValuesIn(methodFlags), flagsName);
INSTANTIATE_TEST_SUITE_P(Methods, BitFlipsLong, ::testing::ValuesIn(methodFlags), flagsName);

}  // namespace
