// Environment faults and large inputs, end to end through the built program:
// every fault ends with "ERROR: " and the reason on standard error and exit
// status 255, and never costs the input; a multi-block file round-trips with
// peak memory set by the block size, not the file size.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "globals.h"
#include "container.h"
#include "testutil.h"

namespace fs = std::filesystem;
using testutil::readFile;
using testutil::RunResult;
using testutil::TempDir;
using testutil::writeFile;

namespace {

const std::string prompt = "Press any key to continue . . . ";

bool sanitized() { return std::getenv("Q38_SANITIZED") != nullptr; }

struct Measured {
    RunResult run;
    long maxRssKiB = -1;  // the child's peak resident set
};

// Runs argv (argv[0] a path) in `dir` with standard input from /dev/null and
// returns its output, exit status and peak memory.
Measured runMeasured(const fs::path& dir, const std::vector<std::string>& argv) {
    const testutil::ChildRun c = testutil::runChild(dir, argv);
    Measured m;
    m.run.out = c.out;
    m.run.err = c.err;
    m.run.status = c.status;
    m.maxRssKiB = c.maxRssKiB;
    return m;
}

RunResult runProgram(const fs::path& dir, std::vector<std::string> args) {
    args.insert(args.begin(), Q38_EXE);
    return runMeasured(dir, args).run;
}

// Expects the run to have failed with exactly this error and nothing else on
// standard error.
void expectError(const RunResult& r, const std::string& message) {
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERROR: " + message + "\n");
    EXPECT_EQ(r.out.find("End."), std::string::npos) << r.out;
}

// Mixed data from a seeded generator: text-like stretches, random bytes and
// runs, so every stage sees its typical and its worst inputs.
std::string mixedData(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(n + 70000);
    while (s.size() < n) {
        const unsigned len = 1000 + rng() % 60000;
        switch (rng() % 4) {
            case 0: s += testutil::randomBytes(len, 256, rng()); break;
            case 1: s += std::string(len, static_cast<char>(rng())); break;
            default: s += testutil::textLike(len, rng()); break;
        }
    }
    s.resize(n);
    return s;
}

// A small tmpfs mounted for the life of the object; mounted() false where
// mounting is not permitted.
class TinyTmpfs {
public:
    TinyTmpfs(const fs::path& where, const char* size) : path_(where) {
        fs::create_directory(path_);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~TinyTmpfs() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    TinyTmpfs(const TinyTmpfs&) = delete;
    TinyTmpfs& operator=(const TinyTmpfs&) = delete;
    bool mounted() const { return mounted_; }

private:
    fs::path path_;
    bool mounted_ = false;
};

// ---------------------------------------------------------------- full device

struct FullCase {
    const char* name;
    std::vector<std::string> args;  // "in" and "packed" exist in the folder
};

class FullDevice : public ::testing::TestWithParam<FullCase> {};

TEST_P(FullDevice, WriteFailureIsAnError) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    const std::string input = mixedData(300000, 1);
    writeFile(dir / "in", input);
    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed", "-m"}).status, 0);
    const std::string packed = readFile(dir / "packed");
    expectError(runProgram(dir.path(), GetParam().args), "Unable to write output file: /dev/full");
    EXPECT_EQ(readFile(dir / "in"), input);
    EXPECT_EQ(readFile(dir / "packed"), packed);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FullDevice,
    ::testing::Values(FullCase{"Compress", {"-c", "in", "-o", "/dev/full"}},
                      FullCase{"CompressMtfStatic", {"-c", "in", "-o", "/dev/full", "-m", "-s"}},
                      FullCase{"Extract", {"-e", "packed", "-o", "/dev/full"}},
                      FullCase{"TestModeRestoredFile", {"-c", "in", "-o", "packed", "-m", "--test", "/dev/full"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TinyDevice, OutputThatDoesNotFitIsAnError) {
    TempDir dir;
    TinyTmpfs small(dir / "small", "64k");
    if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    // Random bytes do not shrink: 300000 bytes cannot fit in 64 KiB.
    const std::string input = testutil::randomBytes(300000, 256, 7);
    writeFile(dir / "in", input);
    expectError(runProgram(dir.path(), {"-c", "in", "-o", "small/packed"}),
                "Unable to write output file: small/packed");
    EXPECT_EQ(readFile(dir / "in"), input);

    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed"}).status, 0);
    fs::remove(dir / "small/packed");
    expectError(runProgram(dir.path(), {"-e", "packed", "-o", "small/restored"}),
                "Unable to write output file: small/restored");
    fs::remove(dir / "small/restored");
    const RunResult r = runProgram(dir.path(), {"-c", "in", "-o", "packed2", "--test", "small/restored"});
    expectError(r, "Unable to write output file: small/restored");
    EXPECT_EQ(r.out.find("OK, Files are equal."), std::string::npos);
}

// ---------------------------------------------------------------- files that cannot be used

TEST(UnreadableInput, IsRefusedBeforeAnyOutputIsMade) {
    TempDir dir;
    writeFile(dir / "in", "some bytes");
    fs::permissions(dir / "in", fs::perms::none);
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        // Root reads any file: drop to an unprivileged user, who may enter
        // the folder but not read the file.
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "running as root without setpriv";
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        fs::permissions(dir.path(), fs::perms::all);
    }
    for (const char* mode : {"-c", "-e"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {Q38_EXE, mode, "in", "-o", "out"});
        const Measured m = runMeasured(dir.path(), argv);
        if (m.run.status == 126 || m.run.status == 127) GTEST_SKIP() << "cannot run as an unprivileged user";
        expectError(m.run, "Unable to open input file: in");
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

struct PathCase {
    const char* name;
    std::vector<std::string> args;  // the folder holds file "in", compressed "packed", folder "d"
    std::string message;
};

class UnusablePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(UnusablePath, IsRefusedWithItsMessage) {
    TempDir dir;
    const std::string input = mixedData(5000, 2);
    writeFile(dir / "in", input);
    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed"}).status, 0);
    const std::string packed = readFile(dir / "packed");
    fs::create_directory(dir / "d");
    fs::create_symlink("in", dir / "link");
    fs::create_symlink("packed", dir / "plink");
    expectError(runProgram(dir.path(), GetParam().args), GetParam().message);
    // Nothing is lost or replaced.
    EXPECT_EQ(readFile(dir / "in"), input);
    EXPECT_EQ(readFile(dir / "packed"), packed);
    EXPECT_TRUE(fs::is_directory(dir / "d"));
    EXPECT_TRUE(fs::is_empty(dir / "d"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusablePath,
    ::testing::Values(
        PathCase{"DirectoryAsInput", {"-c", "d", "-o", "out"}, "Unable to open input file: d"},
        PathCase{"DirectoryAsCompressedInput", {"-e", "d", "-o", "out"}, "Unable to open input file: d"},
        PathCase{"DirectoryAsOutput", {"-c", "in", "-o", "d"}, "Unable to open output file: d"},
        PathCase{"DirectoryAsRestoredOutput", {"-e", "packed", "-o", "d"}, "Unable to open output file: d"},
        PathCase{"OutputFolderMissing", {"-c", "in", "-o", "missing/out"}, "Unable to open output file: missing/out"},
        PathCase{"RestoredFolderMissing", {"-e", "packed", "-o", "missing/out"},
                 "Unable to open output file: missing/out"},
        PathCase{"SameName", {"-c", "in", "-o", "in"}, "Input and output are the same file: in"},
        PathCase{"SameNameOtherSpelling", {"-c", "in", "-o", "./d/../in"},
                 "Input and output are the same file: ./d/../in"},
        PathCase{"SameFileThroughLink", {"-c", "in", "-o", "link"}, "Input and output are the same file: link"},
        PathCase{"LinkAsInput", {"-c", "link", "-o", "in", "-m", "-s"}, "Input and output are the same file: in"},
        PathCase{"ExtractOntoItself", {"-e", "packed", "-o", "./packed"},
                 "Input and output are the same file: ./packed"},
        PathCase{"ExtractOntoItselfThroughLink", {"-e", "plink", "-o", "packed"},
                 "Input and output are the same file: packed"},
        PathCase{"TestFileIsTheInput", {"-c", "in", "-o", "out", "--test", "./in"},
                 "Test file is the same as the input or output file: ./in"},
        PathCase{"TestFileIsTheOutput", {"-c", "in", "-o", "packed", "--test", "d/../packed"},
                 "Test file is the same as the input or output file: d/../packed"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- memory

TEST(MemoryLimit, AllocationFailureIsReported) {
    if (sanitized()) GTEST_SKIP() << "sanitizers reserve more address space than the limit";
    TempDir dir;
    const std::string input = mixedData(maxBlockSize, 3);
    writeFile(dir / "in", input);
    // 40 MB of address space: the program starts, a 10 MiB block does not fit.
    const std::string limited = "ulimit -v 40000 && exec \"$0\" \"$@\"";
    const std::vector<std::vector<std::string>> runs = {
        {"-c", "in", "-o", "out"}, {"-c", "in", "-o", "out", "-m"}, {"-c", "in", "-o", "out", "-m", "-s"}};
    for (const auto& args : runs) {
        std::vector<std::string> argv = {"/bin/sh", "-c", limited, Q38_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult r = runMeasured(dir.path(), argv).run;
        expectError(r, "std::exception catched: std::bad_alloc");
        EXPECT_EQ(r.out, prompt + "\n");
    }
    // Extraction of a 10 MiB block (in one block, so it needs its buffer).
    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed"}).status, 0);
    const RunResult r = runMeasured(dir.path(), {"/bin/sh", "-c", limited, Q38_EXE, "-e", "packed", "-o", "out"}).run;
    expectError(r, "std::exception catched: std::bad_alloc");
    EXPECT_EQ(readFile(dir / "in"), input);
}

// ---------------------------------------------------------------- large inputs

struct LargeCase {
    const char* name;
    std::vector<std::string> method;
};

class LargeInputLong : public ::testing::TestWithParam<LargeCase> {};

TEST_P(LargeInputLong, RoundTripsInBlockSizedMemory) {
    // Four blocks at the largest block size (35 MiB: 10, 10, 10 and 5 MiB).
    // Under the sanitizer, ten times slower, the same shape at a tenth of the
    // size with -b 1000000.
    const bool small = sanitized();
    const std::size_t size = small ? 3500000 : 35u << 20;
    TempDir dir;
    writeFile(dir / "in", mixedData(size, 4));
    // One thread holds one block at a time; two hold at most two.
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        std::vector<std::string> pack = {Q38_EXE, "-c", "in", "-o", "packed", "--threads", threads};
        pack.insert(pack.end(), GetParam().method.begin(), GetParam().method.end());
        if (small) pack.insert(pack.end(), {"-b", "1000000"});
        const Measured c = runMeasured(dir.path(), pack);
        ASSERT_EQ(c.run.status, 0) << c.run.err;
        const Measured d = runMeasured(dir.path(), {Q38_EXE, "-e", "packed", "-o", "out", "--threads", threads});
        ASSERT_EQ(d.run.status, 0) << d.run.err;
        EXPECT_EQ(fs::file_size(dir / "out"), size);
        EXPECT_TRUE(readFile(dir / "out") == readFile(dir / "in"));
        RecordProperty(std::string("compressMaxRssKiB") + threads, std::to_string(c.maxRssKiB));
        RecordProperty(std::string("extractMaxRssKiB") + threads, std::to_string(d.maxRssKiB));
        if (small) continue;
        // Generous bounds in block sizes; a driver holding the whole file
        // would need several times the file size (35 MiB) and exceed them.
        const long block = 10 * 1024;
        const long n = threads[0] - '0';
        EXPECT_LT(c.maxRssKiB, n * (12 * block + 64 * 1024));
        EXPECT_LT(d.maxRssKiB, n * (8 * block + 64 * 1024));
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, LargeInputLong,
                         ::testing::Values(LargeCase{"DistanceCoding", {}}, LargeCase{"MtfAdaptive", {"-m"}},
                                           LargeCase{"MtfStatic", {"-m", "-s"}}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
