// The program as a user runs it: console output, exit status and the files a
// run leaves, with standard input from /dev/null (so the key wait never
// blocks). Timing numbers are masked as "T".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <sstream>

#include "commandline.h"
#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::RunResult;
using testutil::TempDir;
using testutil::writeFile;

const std::string prompt = "Press any key to continue . . . \n";

std::string maskTimes(const std::string& s) {
    static const std::regex time("(time: )[-+.e0-9]+s\n");
    return std::regex_replace(s, time, "$1Ts\n");
}

std::set<std::string> filesIn(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.insert(e.path().filename().string());
    return names;
}

std::string helpText() {
    std::ostringstream os;
    printHelp(os);
    return os.str();
}

std::string statsLine(const TempDir& dir, const std::string& input, const std::string& packed) {
    std::ostringstream os;
    printCompressionStats(os, std::filesystem::file_size(dir / input), std::filesystem::file_size(dir / packed));
    return os.str();
}

struct CliCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // made before the run
    std::vector<std::string> args;
    std::string out;  // "{stats}" stands for the statistics line of "in" -> "in.vexaQ38p"
    std::string err;
    int status;
    std::set<std::string> left;
};

class Cli : public ::testing::TestWithParam<CliCase> {};

TEST_P(Cli, ConsoleStatusAndFiles) {
    const CliCase& c = GetParam();
    TempDir dir;
    for (const auto& f : c.files) writeFile(dir / f.first, f.second);
    const RunResult r = testutil::runProgram(dir.path(), c.args);
    std::string expected = c.out;
    const auto at = expected.find("{stats}");
    if (at != std::string::npos) expected.replace(at, 7, statsLine(dir, "in", "in.vexaQ38p"));
    EXPECT_EQ(maskTimes(r.out), expected);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(filesIn(dir), c.left);
}

const std::string text = testutil::textLike(20000, 1);

INSTANTIATE_TEST_SUITE_P(
    Runs, Cli,
    ::testing::Values(
        CliCase{"NoArguments", {}, {}, helpText(), "", 0, {}},
        CliCase{"HelpWithInputNameOnly", {}, {"-h", "a"}, helpText(), "", 0, {}},
        CliCase{"HelpAlone", {}, {"-h"}, prompt, "ERROR: Input filename missing!\n", 255, {}},
        CliCase{"InvalidParameter", {}, {"-c", "a", "b"}, prompt, "ERROR: Invalid parameter: b\n", 255, {}},
        CliCase{"MissingInput", {}, {"-c", "nope"}, prompt, "ERROR: Unable to open input file: nope\n", 255, {}},
        CliCase{"Compress",
                {{"in", text}},
                {"-c", "in", "-m"},
                "{stats}Compression time: Ts\n\nEnd.\n" + prompt,
                "",
                0,
                {"in", "in.vexaQ38p"}},
        CliCase{"HelpAndCompress",
                {{"in", text}},
                {"-c", "in", "-m", "--help"},
                helpText() + "{stats}Compression time: Ts\n\nEnd.\n" + prompt,
                "",
                0,
                {"in", "in.vexaQ38p"}},
        CliCase{"TestMode",
                {{"in", text}},
                {"-c", "in", "-m", "-s", "--test", "t"},
                "{stats}Compression time: Ts\n\nTesting packed file correctness.\n\nDecompression time: Ts\n\n"
                "OK, Files are equal.\nEnd.\n" +
                    prompt,
                "",
                0,
                {"in", "in.vexaQ38p", "t"}},
        // /dev/null takes the restored bytes and reads back empty.
        CliCase{"TestModeFilesDiffer",
                {{"in", text}},
                {"-c", "in", "-m", "--test", "/dev/null"},
                "{stats}Compression time: Ts\n\nTesting packed file correctness.\n\nDecompression time: Ts\n\n"
                "End.\n" +
                    prompt,
                "ERROR: Files are not equal!\n",
                255,
                {"in", "in.vexaQ38p"}},
        CliCase{"TestModeDefaultMethod",
                {{"in", text}},
                {"-c", "in", "--test", "t"},
                "{stats}Compression time: Ts\n\nTesting packed file correctness.\n\nDecompression time: Ts\n\n"
                "OK, Files are equal.\nEnd.\n" +
                    prompt,
                "",
                0,
                {"in", "in.vexaQ38p", "t"}},
        CliCase{"TestFileIsTheInput",
                {{"in", text}},
                {"-c", "in", "-m", "--test", "./in"},
                prompt,
                "ERROR: Test file is the same as the input or output file: ./in\n",
                255,
                {"in"}},
        CliCase{"SameFile", {{"in", text}}, {"-c", "in", "-o", "in"}, prompt,
                "ERROR: Input and output are the same file: in\n", 255, {"in"}},
        CliCase{"EmptyInput", {{"in", ""}}, {"-c", "in"}, prompt,
                "ERROR: Cannot compress empty file (file size is 0)\n", 255, {"in"}},
        CliCase{"Mtf1", {{"in", text}}, {"-c", "in", "--mtf1"}, prompt, "ERROR: Unsupported compression method\n",
                255, {"in"}},
        CliCase{"ExtractEmptyContainer",
                {{"c", std::string("VEXA_Q38\0\0\0\0", 12)}},
                {"-e", "c", "--test", "c"},
                "Decompression time: Ts\nEnd.\n" + prompt,
                "",
                0,
                {"c", "c.vexaQ38u"}},
        CliCase{"ExtractWarnsThenFails",
                {{"c", "junk"}},
                {"-e", "c", "-m", "-s", "--bwt_output", "x"},
                "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing.\n"
                "WARNING: static arithmetic coder flag (-a) ignored when decompressing.\n"
                "WARNING: flag (--bwt_output) ignored when decompressing.\n" +
                    prompt,
                "ERROR: Invalid file (header id does not match).\n",
                255,
                {"c", "x"}},
        CliCase{"DumpFailureIsReportedLast",
                {{"in", text}},
                {"-c", "in", "-m", "--bwt_output", "/dev/full"},
                "{stats}Compression time: Ts\n\nEnd.\nWARNING: writing dump file failed: /dev/full\n" + prompt,
                "",
                0,
                {"in", "in.vexaQ38p"}}),
    [](const ::testing::TestParamInfo<CliCase>& p) { return std::string(p.param.name); });

TEST(CliRoundTrip, ExtractionRestoresTheInput) {
    TempDir dir;
    writeFile(dir / "in", text);
    ASSERT_EQ(testutil::runProgram(dir.path(), {"-c", "in", "-m", "-b", "7000", "-o", "p"}).status, 0);
    const RunResult r = testutil::runProgram(dir.path(), {"-e", "p", "-o", "back"});
    EXPECT_EQ(maskTimes(r.out), "Decompression time: Ts\nEnd.\n" + prompt);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(readFile(dir / "back") == text);
}


// Reads from `fd` until `want` has arrived or about 10 s have passed.
std::string readUntil(int fd, const std::string& want) {
    std::string got;
    for (int i = 0; i < 100 && got.find(want) == std::string::npos; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(KeyWait, OnATerminalWaitsForOneKeyAndRestoresTheMode) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo terminal";
    const std::string slaveName = ::ptsname(master);
    TempDir dir;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setsid();
        const int slave = ::open(slaveName.c_str(), O_RDWR);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        if (::chdir(dir.path().c_str()) != 0) ::_exit(99);
        ::execl(Q38_EXE, Q38_EXE, "-c", "missing", static_cast<char*>(nullptr));
        ::_exit(98);
    }
    const std::string before = readUntil(master, "continue . . . ");
    EXPECT_NE(before.find("ERROR: Unable to open input file: missing"), std::string::npos) << before;
    // Still waiting: no Enter was sent.
    ::usleep(200000);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0);
    // Canonical mode is off while waiting, so one key without Enter ends it.
    ASSERT_EQ(::write(master, "x", 1), 1);
    pid_t done = 0;
    for (int i = 0; i < 100 && done == 0; ++i) {
        done = ::waitpid(pid, &status, WNOHANG);
        if (done == 0) ::usleep(50000);
    }
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "the key press did not end the wait";
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios t{};
        ASSERT_EQ(::tcgetattr(slave, &t), 0);
        EXPECT_NE(t.c_lflag & ICANON, 0u);
        EXPECT_NE(t.c_lflag & ECHO, 0u);
        ::close(slave);
    }
    ::close(master);
}

}  // namespace
