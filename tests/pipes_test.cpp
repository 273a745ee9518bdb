// Standard input and output, members and concatenated files, refused thread
// starts, the memory share of the blocks in flight, and the output targets a
// run must not spoil (links, read-only files, long names). The program runs
// under /bin/sh so that pipes join it as a user joins them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "commandline.h"
#include "container.h"
#include "drivers.h"
#include "pipeline.h"
#include "platform.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

const std::string prompt = "Press any key to continue . . . \n";
const std::string exe = Q38_EXE;

std::string maskTimes(const std::string& s) {
    static const std::regex time("(time: )[-+.e0-9]+s\n");
    return std::regex_replace(s, time, "$1Ts\n");
}

using ShellRun = testutil::ChildRun;

// Runs `script` under /bin/sh in `dir`, with standard input from /dev/null
// unless the script redirects it. "Q38" in the script is the program.
ShellRun shell(const fs::path& dir, std::string script) {
    for (std::size_t at; (at = script.find("Q38 ")) != std::string::npos;) script.replace(at, 3, "'" + exe + "'");
    return testutil::runChild(dir, {"/bin/sh", "-c", script});
}

std::uint32_t u32At(const std::string& c, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(c[at + static_cast<std::size_t>(i)]);
    return v;
}

// The dataSize of each block, member by member, of a well-formed file.
std::vector<std::vector<std::uint32_t>> membersOf(const std::string& c) {
    std::vector<std::vector<std::uint32_t>> members;
    std::size_t at = 0;
    while (at + 12 <= c.size() && c.compare(at, 8, "VEXA_Q38") == 0) {
        std::uint64_t left = u32At(c, at + 8);
        at += 12;
        members.emplace_back();
        while (left > 0 && at + 18 <= c.size()) {
            members.back().push_back(u32At(c, at + 8));
            left -= u32At(c, at + 8);
            at += 18 + u32At(c, at + 4);
        }
    }
    EXPECT_EQ(at, c.size());
    return members;
}

std::set<std::string> filesIn(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename().string());
    return names;
}

// ---------------------------------------------------------------- pipes

struct PipeCase {
    const char* name;
    std::size_t size;
    std::vector<std::string> options;
    std::size_t members;  // from standard input: one per block
};

class Pipes : public ::testing::TestWithParam<PipeCase> {};

TEST_P(Pipes, BothWaysAtOneAndTwoThreads) {
    const PipeCase& c = GetParam();
    TempDir dir;
    const std::string data = testutil::textLike(c.size, 8);
    writeFile(dir / "in", data);
    std::string options;
    for (const auto& o : c.options) options += " " + o;
    ASSERT_EQ(shell(dir.path(), "Q38 -c in -o named.p" + options).status, 0);
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        const std::string t = std::string(" --threads ") + threads;
        const ShellRun pack = shell(dir.path(), "cat in | Q38 -c -" + options + t + " > piped.p");
        ASSERT_EQ(pack.status, 0) << pack.err;
        // Standard output carries only data; the lines go to standard error.
        EXPECT_EQ(pack.out, "");
        EXPECT_NE(pack.err.find("Compressed data size: "), std::string::npos) << pack.err;
        EXPECT_EQ(pack.err.substr(pack.err.size() - prompt.size() - 5), "End.\n" + prompt);
        const std::string piped = readFile(dir / "piped.p");
        EXPECT_EQ(membersOf(piped).size(), c.members);
        if (c.members == 1) {
            EXPECT_TRUE(piped == readFile(dir / "named.p"));
        }
        for (const char* restore : {"Q38 -e - < piped.p > back", "cat piped.p | Q38 -e - -o back",
                                    "Q38 -e named.p -o - > back"}) {
            SCOPED_TRACE(restore);
            fs::remove(dir / "back");
            const ShellRun r = shell(dir.path(), restore + t);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(maskTimes(r.err + r.out), "Decompression time: Ts\nEnd.\n" + prompt);
            EXPECT_TRUE(readFile(dir / "back") == data);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, Pipes,
                         ::testing::Values(PipeCase{"OneBlock", 30000, {}, 1},
                                           PipeCase{"OneShortBlock", 30000, {"-m", "-b", "40000"}, 1},
                                           PipeCase{"FourBlocks", 70000, {"-b", "20000"}, 4}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Pipes, VerboseLinesGoToStandardErrorInTheSameWords) {
    TempDir dir;
    writeFile(dir / "in", testutil::textLike(50000, 9));
    for (const char* threads : {"1", "2"}) {
        const std::string t = std::string(" --threads ") + threads;
        const ShellRun named = shell(dir.path(), "Q38 -c in -o named.p -v -b 20000" + t);
        const ShellRun piped = shell(dir.path(), "Q38 -c in -o - -v -b 20000" + t + " > piped.p");
        ASSERT_EQ(named.status, 0);
        ASSERT_EQ(piped.status, 0);
        EXPECT_EQ(piped.out, "");
        EXPECT_EQ(maskTimes(piped.err), maskTimes(named.out));
        EXPECT_TRUE(readFile(dir / "piped.p") == readFile(dir / "named.p"));
    }
}

TEST(Pipes, ConcatenatedFilesAndTrailingBytes) {
    TempDir dir;
    const std::string a = testutil::textLike(30000, 1), b = testutil::randomBytes(45000, 7, 2);
    writeFile(dir / "a", a);
    writeFile(dir / "b", b);
    ASSERT_EQ(shell(dir.path(), "Q38 -c a -m && Q38 -c - -b 20000 < b > b.p").status, 0);
    const struct {
        const char* make;
        std::string restored;
    } rows[] = {
        {"cat a.vexaQ38p b.p > ab", a + b},
        {"cat b.p a.vexaQ38p a.vexaQ38p > ab", b + a + a},
        {"cat a.vexaQ38p b.p && printf 'not a member' ) > ab", a + b},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.make);
        const std::string make = std::string(row.make).find(')') != std::string::npos ? "( " + std::string(row.make)
                                                                                       : row.make;
        ASSERT_EQ(shell(dir.path(), make).status, 0);
        for (const char* restore : {"Q38 -e ab -o back", "Q38 -e - -o - < ab > back"}) {
            fs::remove(dir / "back");
            const ShellRun r = shell(dir.path(), restore);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(readFile(dir / "back") == row.restored) << restore;
        }
    }
}

TEST(Pipes, DamagedStreamStopsAfterTheLastGoodBlock) {
    TempDir dir;
    const std::string data = testutil::textLike(70000, 3);
    writeFile(dir / "in", data);
    ASSERT_EQ(shell(dir.path(), "Q38 -c - -b 20000 < in > p").status, 0);
    std::string p = readFile(dir / "p");
    // The third member's first payload byte after its primary index.
    std::size_t at = 0;
    for (int m = 0; m < 2; ++m) at += 12 + 18 + u32At(p, at + 12 + 4);
    p[at + 12 + 18 + 8] = static_cast<char>(p[at + 12 + 18 + 8] ^ 0x40);
    writeFile(dir / "p", p);
    for (const char* threads : {"1", "2"}) {
        const ShellRun r = shell(dir.path(), std::string("Q38 -e - --threads ") + threads + " < p > back");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
        EXPECT_TRUE(readFile(dir / "back") == data.substr(0, 40000));
        // A named output is all or nothing.
        const ShellRun n = shell(dir.path(), std::string("Q38 -e p -o named --threads ") + threads);
        EXPECT_EQ(n.status, 255);
        EXPECT_FALSE(fs::exists(dir / "named"));
    }
}

TEST(Pipes, ClosedReaderEndsTheRunAndLeavesNoFile) {
    TempDir dir;
    writeFile(dir / "in", testutil::randomBytes(600000, 256, 4));
    const std::set<std::string> before = filesIn(dir);
    const ShellRun r = shell(dir.path(), "Q38 -c in -o - -b 100000 | head -c 10 > /dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
    EXPECT_EQ(filesIn(dir), before);
}

TEST(Pipes, TestModeWithStandardStreamsIsRefusedBeforeAnyRead) {
    TempDir dir;
    writeFile(dir / "in", "data");
    for (const char* run : {"echo data | Q38 -c - --test t", "Q38 -c in -o - --test t", "Q38 -c - -o x --test t < in"}) {
        SCOPED_TRACE(run);
        const ShellRun r = shell(dir.path(), run);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out.find("VEXA"), std::string::npos);
        EXPECT_EQ(r.err.rfind("ERROR: --test needs named input and output files", 0), 0u) << r.err;
        EXPECT_EQ(filesIn(dir), std::set<std::string>{"in"});
    }
}

// Runs the program with the standard stream `fd` on a pseudo terminal and
// the others on /dev/null; returns its exit status, or -1 without a
// terminal (the test then skips), and what it wrote to the terminal.
int runOnTerminal(const TempDir& dir, int fd, const std::vector<const char*>& args, std::string& written) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const std::string slaveName = ptsname(master);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int slave = open(slaveName.c_str(), O_RDWR);
        const int null = open("/dev/null", O_RDWR);
        for (int i = 0; i < 3; ++i) dup2(i == fd ? slave : null, i);
        if (chdir(dir.path().c_str()) != 0) _exit(99);
        std::vector<char*> argv{const_cast<char*>(Q38_EXE)};
        for (const char* a : args) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        execv(Q38_EXE, argv.data());
        _exit(98);
    }
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(50000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pollfd p{master, POLLIN, 0};
    char buf[4096];
    while (poll(&p, 1, 0) > 0) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        written.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(Terminals, CompressedDataIsNeverWrittenToOrReadFromOne) {
    TempDir dir;
    writeFile(dir / "in", "some data");
    const struct {
        int fd;
        std::vector<const char*> args;
    } rows[] = {{1, {"-c", "in", "-o", "-"}}, {0, {"-e", "-", "-o", "out"}}, {0, {"-e", "-"}}};
    for (const auto& row : rows) {
        std::string written;
        const int status = runOnTerminal(dir, row.fd, row.args, written);
        if (status < 0) GTEST_SKIP() << "no pseudo terminal";
        EXPECT_EQ(status, 255);
        // Only the lines reach the terminal: no data, and no wait for a key.
        EXPECT_EQ(written.find("VEXA"), std::string::npos) << written;
        EXPECT_EQ(filesIn(dir), std::set<std::string>{"in"});
    }
}

// ---------------------------------------------------------------- in-process drivers

class NullOut : private std::streambuf, public std::ostream {
public:
    NullOut() : std::ostream(static_cast<std::streambuf*>(this)) {}

protected:
    int overflow(int c) override { return c; }
};

DriverSettings settingsFor(Method m, std::uint32_t blockSize, unsigned threads, std::ostream& console) {
    DriverSettings s;
    s.method = m;
    s.blockSize = blockSize;
    s.threads = threads;
    s.console = &console;
    return s;
}

TEST(Members, NamedInputsAreCutAtWholeBlocksWithinTheLimit) {
    TempDir dir;
    NullOut quiet;
    const std::string data = testutil::textLike(7000, 5);
    writeFile(dir / "in", data);
    const struct {
        std::uint32_t limit;
        std::vector<std::vector<std::uint32_t>> members;
    } rows[] = {
        {0xFFFFFFFFu, {{1000, 1000, 1000, 1000, 1000, 1000, 1000}}},
        {7000, {{1000, 1000, 1000, 1000, 1000, 1000, 1000}}},
        {6999, {{1000, 1000, 1000, 1000, 1000, 1000}, {1000}}},
        {2500, {{1000, 1000}, {1000, 1000}, {1000, 1000}, {1000}}},
        {999, {{1000}, {1000}, {1000}, {1000}, {1000}, {1000}, {1000}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.limit);
        DriverSettings s = settingsFor(Method::dc, 1000, 2, quiet);
        s.memberLimit = row.limit;
        const std::uint64_t size = packFile((dir / "in").string(), (dir / "p").string(), s);
        const std::string c = readFile(dir / "p");
        EXPECT_EQ(size, c.size());
        EXPECT_EQ(membersOf(c), row.members);
        unpackFile((dir / "p").string(), (dir / "back").string(), s);
        EXPECT_TRUE(readFile(dir / "back") == data);
    }
}

TEST(ThreadStarts, RefusedStartsGiveTheSameOutput) {
    TempDir dir;
    NullOut quiet;
    const std::string data = testutil::textLike(150000, 6);
    writeFile(dir / "in", data);
    packFile((dir / "in").string(), (dir / "one.p").string(), settingsFor(Method::mtfAdaptiveRle0, 30000, 1, quiet));
    const std::string expected = readFile(dir / "one.p");
    for (unsigned threads : {2u, 4u}) {
        for (long starts : {0L, 1L, 2L}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, starts fail after " + std::to_string(starts));
            const DriverSettings s = settingsFor(Method::mtfAdaptiveRle0, 30000, threads, quiet);
            failThreadStartsAfter(starts);
            std::string error;
            try {
                packFile((dir / "in").string(), (dir / "p").string(), s);
                failThreadStartsAfter(starts);
                unpackFile((dir / "one.p").string(), (dir / "back").string(), s);
            } catch (const Exception& e) {
                error = e.what();
            }
            failThreadStartsAfter(-1);
            EXPECT_EQ(error, "");
            EXPECT_TRUE(readFile(dir / "p") == expected);
            EXPECT_TRUE(readFile(dir / "back") == data);
        }
    }
}

TEST(ShareThreads, MemoryBoundsTheBlocksInFlight) {
    const std::uint64_t block = blockMemory(true, maxBlockSize);
    const struct {
        unsigned threads;
        std::uint64_t blocks, budget;
        unsigned workers, perBlock;
    } rows[] = {
        {16, 100, 0, 16, 1},              // no bound known
        {16, 100, 100 * block, 16, 1},    // room for all
        {16, 100, 4 * block, 4, 4},       // room for four
        {16, 100, 4 * block - 1, 3, 5},
        {16, 100, block / 2, 1, 16},      // never below one block
        {8, 3, 0, 3, 2},                  // fewer blocks than threads
        {1, 100, 0, 1, 1},
    };
    for (const auto& r : rows) {
        const ThreadShare s = shareThreads(r.threads, r.blocks, r.budget, block);
        EXPECT_EQ(s.workers, r.workers) << r.threads << " " << r.budget;
        EXPECT_EQ(s.perBlock, r.perBlock) << r.threads << " " << r.budget;
    }
    EXPECT_GT(availableMemory(), 0u);
}

// ---------------------------------------------------------------- output targets

TEST(OutputTargets, LinksReadOnlyFilesAndLongNames) {
    TempDir dir;
    writeFile(dir / "in", "the data of the run");
    const std::string packed = [&] {
        EXPECT_EQ(shell(dir.path(), "Q38 -c in -o ref").status, 0);
        return readFile(dir / "ref");
    }();
    // Hard links: every name sees the new file.
    writeFile(dir / "hard", "old");
    fs::create_hard_link(dir / "hard", dir / "other");
    EXPECT_EQ(shell(dir.path(), "Q38 -c in -o hard").status, 0);
    EXPECT_TRUE(readFile(dir / "other") == packed);
    EXPECT_EQ(fs::hard_link_count(dir / "hard"), 2u);
    // A dangling link is followed: the link stays, its target is made.
    fs::create_directory(dir / "sub");
    fs::create_symlink("sub/target", dir / "link");
    EXPECT_EQ(shell(dir.path(), "Q38 -c in -o link").status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_TRUE(readFile(dir / "sub" / "target") == packed);
    // A name the folder takes works; a longer one fails before any reading.
    const long nameMax = pathconf(dir.path().c_str(), _PC_NAME_MAX);
    if (nameMax > 0 && nameMax < 4000) {
        const std::string fits(static_cast<std::size_t>(nameMax), 'n'), tooLong(static_cast<std::size_t>(nameMax) + 1, 'n');
        EXPECT_EQ(shell(dir.path(), "Q38 -c in -o " + fits).status, 0);
        EXPECT_TRUE(readFile(dir / fits) == packed);
        // Endless input: only a refusal before reading ends the run.
        const ShellRun t = shell(dir.path(), "timeout 60 Q38 -c - -o " + tooLong + " < /dev/zero");
        EXPECT_EQ(t.status, 255);
        EXPECT_EQ(t.err, "ERROR: Unable to open output file: " + tooLong + "\n");
        fs::remove(dir / fits);
    }
    // A read-only target is refused (the superuser may write to any file).
    writeFile(dir / "ro", "old");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const ShellRun ro = shell(dir.path(), "Q38 -c in -o ro");
    if (geteuid() != 0) {
        EXPECT_EQ(ro.status, 255);
        EXPECT_EQ(ro.err, "ERROR: Unable to open output file: ro\n");
        EXPECT_EQ(readFile(dir / "ro"), "old");
    }
}

// ---------------------------------------------------------------- beyond 4 GiB

TEST(FourGibibytesLong, RestoresThroughAPipeInMemoryBoundedByTheBlocks) {
    if (std::getenv("Q38_SANITIZED") != nullptr) GTEST_SKIP() << "hours under the sanitizers";
    TempDir dir;
    // Sparse, just over 4 GiB, with text across the 4 GiB mark.
    const std::uint64_t mark = std::uint64_t(1) << 32;
    const std::string around = testutil::textLike(6u << 20, 11);
    {
        const int fd = open((dir / "big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const bool ok = pwrite(fd, around.data(), around.size(), static_cast<off_t>(mark - (3u << 20))) ==
                            static_cast<ssize_t>(around.size()) &&
                        ftruncate(fd, static_cast<off_t>(mark + (5u << 20) + 1234)) == 0;
        close(fd);
        if (!ok) GTEST_SKIP() << "cannot make a sparse file over 4 GiB here";
    }
    const ShellRun pack = shell(dir.path(), "Q38 -c big -o big.p --threads 2");
    ASSERT_EQ(pack.status, 0) << pack.err;
    // Members of whole 10 MiB blocks below 2^32 bytes: 409 blocks, then the rest.
    const auto members = membersOf(readFile(dir / "big.p"));
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].size(), 409u);
    EXPECT_EQ(members[1].size(), 2u);
    const ShellRun restore = shell(dir.path(), "Q38 -e big.p -o - --threads 2 | sha256sum");
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(restore.out, shell(dir.path(), "sha256sum < big").out);
    // Two blocks in flight, whatever the file's size.
    const long block = 10 * 1024;
    EXPECT_LT(pack.maxRssKiB, 2 * 12 * block + 64 * 1024);
    EXPECT_LT(restore.maxRssKiB, 2 * 8 * block + 64 * 1024);
    RecordProperty("compressMaxRssKiB", std::to_string(pack.maxRssKiB));
    RecordProperty("extractMaxRssKiB", std::to_string(restore.maxRssKiB));
}

}  // namespace
