// What the program does to the files around it: a failed or interrupted run
// leaves every existing file as it was and no temporary behind; outputs take
// the input's permission bits and modification time; inputs that could block
// (a FIFO) are refused at once.
#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using testutil::readFile;
using testutil::runProgram;
using testutil::TempDir;
using testutil::writeFile;

std::set<std::string> listing(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename().string());
    return names;
}

// Every failure onto an existing target leaves it, and the folder, as it was.
TEST(SafeFiles, FailedRunsLeaveExistingFilesUntouched) {
    TempDir dir;
    const std::string precious = "keep me\n" + testutil::randomBytes(3000, 256, 1);
    writeFile(dir / "notes.txt", testutil::textLike(5000, 2));
    writeFile(dir / "empty.txt", "");
    writeFile(dir / "in", testutil::textLike(30000, 3));
    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed", "-b", "8000"}).status, 0);
    const std::string packed = readFile(dir / "packed");
    writeFile(dir / "cut", packed.substr(0, packed.size() * 3 / 4));  // two good blocks, then cut
    std::string damaged = packed;
    damaged[packed.size() - 5] ^= 0x10;  // the last block restores wrong
    writeFile(dir / "damaged", damaged);
    damaged = packed;
    damaged[12 + 18 + 100] ^= 0x10;  // the first block: the later ones are restored, and written, first
    writeFile(dir / "damagedfirst", damaged);

    const std::vector<std::vector<std::string>> failing = {
        {"-e", "notes.txt", "-o", "important"},
        {"-c", "empty.txt", "-o", "important"},
        {"-c", "empty.txt", "-o", "important", "--test", "important2"},
        {"-e", "cut", "-o", "important"},
        {"-e", "damaged", "-o", "important"},
        {"-e", "damagedfirst", "-o", "important", "--threads", "3"},
        {"-c", "in", "-o", "important", "--mtf1"},
    };
    for (const auto& args : failing) {
        SCOPED_TRACE(args[1] + " " + args.back());
        writeFile(dir / "important", precious);
        writeFile(dir / "important2", precious);
        const std::set<std::string> before = listing(dir);
        const testutil::RunResult r = runProgram(dir.path(), args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
        EXPECT_TRUE(readFile(dir / "important") == precious);
        EXPECT_TRUE(readFile(dir / "important2") == precious);
        EXPECT_EQ(listing(dir), before);
    }
    // A new target is not created at all.
    EXPECT_EQ(runProgram(dir.path(), {"-e", "damaged", "-o", "fresh"}).status, 255);
    EXPECT_FALSE(fs::exists(dir / "fresh"));
}

// A signal in the middle of a long run: the process ends by that signal and
// leaves only its input behind.
TEST(SafeFiles, InterruptedRunsLeaveNothing) {
    TempDir dir;
    writeFile(dir / "big", testutil::randomBytes(6u << 20, 256, 4) + testutil::textLike(6u << 20, 5));
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            if (chdir(dir.path().c_str()) != 0) _exit(120);
            execl(Q38_EXE, Q38_EXE, "-c", "big", "-o", "out", "--threads", "1", static_cast<char*>(nullptr));
            _exit(121);
        }
        ASSERT_GT(pid, 0);
        // Wait until the temporary output exists, then interrupt.
        bool seen = false;
        for (int i = 0; i < 2000 && !seen; ++i) {
            for (const std::string& name : listing(dir)) seen |= name.rfind(".out.", 0) == 0;
            if (!seen) usleep(5000);
        }
        EXPECT_TRUE(seen);
        kill(pid, sig);
        int raw = 0;
        ASSERT_EQ(waitpid(pid, &raw, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == sig) << raw;
        EXPECT_EQ(listing(dir), std::set<std::string>{"big"});
    }
}

TEST(SafeFiles, OutputsTakeTheInputsModeAndTime) {
    TempDir dir;
    writeFile(dir / "in", testutil::textLike(20000, 6));
    ASSERT_EQ(chmod((dir / "in").c_str(), 0600), 0);
    const timespec times[2] = {{1000000000, 0}, {1234567890, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "in").c_str(), times, 0), 0);
    ASSERT_EQ(runProgram(dir.path(), {"-c", "in", "-o", "packed", "--test", "check"}).status, 0);
    ASSERT_EQ(runProgram(dir.path(), {"-e", "packed", "-o", "restored"}).status, 0);
    for (const char* name : {"packed", "check", "restored"}) {
        SCOPED_TRACE(name);
        struct stat st {};
        ASSERT_EQ(stat((dir / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
        EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
    }
}

TEST(SafeFiles, FifoInputFailsAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const char* mode : {"-c", "-e"}) {
        // No writer ever comes: a program that opened the FIFO would hang
        // until the alarm ends it.
        const std::string cmd = "cd '" + dir.path().string() + "' && (ulimit -t 20; exec timeout 20 '" + Q38_EXE +
                                "' " + mode + " fifo -o out) </dev/null >/dev/null 2>err";
        const int raw = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 255) << mode << " " << raw;
        EXPECT_EQ(readFile(dir / "err"), "ERROR: Unable to open input file: fifo\n") << mode;
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

}  // namespace
