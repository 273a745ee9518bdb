#include "fileio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "globals.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

std::set<std::string> listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

struct stat statOf(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::lstat(name.c_str(), &st), 0) << name;
    return st;
}

// Runs `body` in a forked child that an alarm ends if it hangs; returns the
// raw wait status. An exception escaping the body exits with 100.
int inChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        int rc = 100;
        try {
            rc = body();
        } catch (...) {
        }
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The message of the Exception `f` raises, or "" if it raises none.
std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

TEST(InputFile, RefusesAnythingButARegularFile) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string unreadable = dir / "unreadable";
    writeFile(unreadable, "x");
    chmod(unreadable.c_str(), 0);
    struct Case {
        const char* what;
        std::string name;
    } cases[] = {
        {"FIFO without a writer", fifo},
        {"folder", dir.path().string()},
        {"device", "/dev/null"},
        {"missing file", dir / "missing"},
        {"unreadable file", unreadable},
    };
    for (const auto& c : cases) {
        if (c.name == unreadable && geteuid() == 0) continue;  // root reads anything
        // In a child, so a regression that blocks ends by the alarm instead of
        // hanging the suite.
        const int status = inChild([&] {
            return errorOf([&] { InputFile f(c.name); }) == "Unable to open input file: " + c.name
                       ? 0
                       : 1;
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << " status " << status;
    }
}

TEST(InputFile, ReadsWholeFileInPiecesAndSeeks) {
    TempDir dir;
    const std::string name = dir / "in";
    const std::string data = testutil::randomBytes(100000, 256, 3);
    writeFile(name, data);
    InputFile f(name);
    const struct stat st = statOf(name);
    EXPECT_EQ(f.size(), data.size());
    EXPECT_EQ(f.status().st_mode, st.st_mode);
    EXPECT_EQ(f.status().st_mtim.tv_nsec, st.st_mtim.tv_nsec);

    std::string got(70000, '\0');
    EXPECT_EQ(f.read(got.data(), 60000), 60000u);
    EXPECT_EQ(f.read(got.data() + 60000, 10000), 10000u);
    got.resize(100000);
    EXPECT_EQ(f.read(got.data() + 70000, 50000), 30000u);  // short only at the end
    EXPECT_EQ(got, data);
    EXPECT_EQ(f.read(got.data(), 10), 0u);

    InputFile moved(std::move(f));
    moved.seek(99990);
    char tail[10];
    EXPECT_EQ(moved.read(tail, 10), 10u);
    EXPECT_EQ(std::string(tail, 10), data.substr(99990));
}

// Existing target or not, committed or abandoned, written in order or in
// pieces at their places, the last first: an abandoned file leaves the
// folder exactly as it was, a committed one holds exactly the bytes
// written; while it is written the target is untouched and a private
// temporary sits beside it.
TEST(OutputFile, ReplacesTargetOnlyOnCommit) {
    const std::string before = "important contents\n";
    const std::string written = testutil::randomBytes(300000, 256, 5);
    for (bool existing : {false, true})
        for (bool commit : {false, true})
            for (bool atPlaces : {false, true}) {
                SCOPED_TRACE(std::string(existing ? "existing" : "new") + (commit ? ", commit" : ", abandon") +
                             (atPlaces ? ", at places" : ""));
                TempDir dir;
                const std::string target = dir / "target";
                if (existing) writeFile(target, before);
                const auto initial = listing(dir.path());
                {
                    OutputFile out(target);
                    ASSERT_FALSE(out.direct());
                    ASSERT_TRUE(out.positional());
                    if (atPlaces) {
                        out.writeAt(written.data() + 200000, written.size() - 200000, 200000);
                        out.writeAt(written.data(), 100000, 0);
                        out.writeAt(written.data() + 100000, 100000, 100000);
                    } else {
                        out.write(written.data(), 100000);
                        out.write(written.data() + 100000, written.size() - 100000);
                    }
                    const std::string tmp = out.temporaryName();
                    EXPECT_EQ(fs::path(tmp).parent_path(), dir.path());
                    EXPECT_EQ(fs::path(tmp).filename().string().rfind(".target.", 0), 0u) << tmp;
                    EXPECT_EQ(statOf(tmp).st_mode & 0777, 0600u);
                    EXPECT_EQ(readFile(tmp), written);
                    if (existing) {
                        EXPECT_EQ(readFile(target), before);
                    }
                    if (commit) out.commit();
                }
                if (commit) {
                    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"target"});
                    EXPECT_EQ(readFile(target), written);
                } else {
                    EXPECT_EQ(listing(dir.path()), initial);
                    if (existing) {
                        EXPECT_EQ(readFile(target), before);
                    }
                }
            }
}

TEST(OutputFile, TakesModeAndTimesFromTheSource) {
    const mode_t mask = umask(0);
    umask(mask);
    const struct timespec stamp = {1234567890, 123456789};
    for (mode_t mode : {0600, 0640, 0755, 0444}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        const std::string source = dir / "source";
        const std::string target = dir / "target";
        writeFile(source, "data");
        writeFile(target, "old");
        chmod(source.c_str(), mode);
        const struct timespec times[2] = {stamp, stamp};
        ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
        InputFile in(source);
        OutputFile out(target);
        out.write("new", 3);
        out.commit(&in.status());
        const struct stat st = statOf(target);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_mtim.tv_sec, stamp.tv_sec);
        EXPECT_EQ(st.st_mtim.tv_nsec, stamp.tv_nsec);
        EXPECT_EQ(readFile(target), "new");
    }
    // No source: the mode of any newly created file, not the private one.
    TempDir dir;
    OutputFile out(dir / "plain");
    out.commit();
    EXPECT_EQ(statOf(dir / "plain").st_mode & 0777, 0666u & ~mask);
}

TEST(OutputFile, OpenAndWriteErrors) {
    TempDir dir;
    fs::create_directory(dir / "folder");
    for (const std::string& name : {(dir / "missing" / "out").string(), (dir / "folder").string(),
                                   (dir / "folder").string() + "/"}) {
        EXPECT_EQ(errorOf([&] { OutputFile out(name); }), "Unable to open output file: " + name);
    }
    EXPECT_EQ(listing(dir / "folder"), std::set<std::string>{});

    // The target turned into a folder while the output was written: the
    // rename fails, and the temporary goes.
    {
        OutputFile out(dir / "late");
        out.write("x", 1);
        fs::create_directory(dir / "late");
        const std::string name = dir / "late";
        EXPECT_EQ(errorOf([&] { out.commit(); }), "Unable to write output file: " + name);
    }
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"folder", "late"}));

    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    OutputFile full("/dev/full");
    EXPECT_TRUE(full.direct());
    EXPECT_EQ(errorOf([&] { full.write("x", 1); }), "Unable to write output file: /dev/full");
}

// A full file system, where this process may mount a tiny one: the write
// error, then the old target as it was and no temporary.
TEST(OutputFile, FullFileSystemLeavesTargetAlone) {
    TempDir dir;
    if (geteuid() != 0 || mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system";
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{dir.path().string()};
    const std::string target = dir / "target";
    writeFile(target, "keep me");
    {
        OutputFile out(target);
        const std::string big(1 << 20, 'z');
        EXPECT_EQ(errorOf([&] { out.write(big.data(), big.size()); }),
                  "Unable to write output file: " + target);
        EXPECT_EQ(errorOf([&] { out.writeAt(big.data(), big.size(), 4096); }),
                  "Unable to write output file: " + target);
    }
    EXPECT_EQ(readFile(target), "keep me");
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"target"});
}

// A FIFO with a reader stands for any target that is not a regular file: it
// is written in place, stays a FIFO and keeps its own mode.
TEST(OutputFile, WritesOtherTargetsDirectly) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const mode_t fifoMode = statOf(fifo).st_mode;
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string source = dir / "source";
    writeFile(source, "");
    chmod(source.c_str(), 0600);
    {
        InputFile in(source);
        OutputFile out(fifo);
        EXPECT_TRUE(out.direct());
        EXPECT_FALSE(out.positional());
        EXPECT_FALSE(OutputFile::standardOutput().positional());
        out.write("through", 7);
        out.commit(&in.status());
    }
    char buf[16] = {};
    EXPECT_EQ(read(reader, buf, sizeof buf), 7);
    EXPECT_EQ(std::string(buf), "through");
    close(reader);
    EXPECT_EQ(statOf(fifo).st_mode, fifoMode);
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"fifo", "source"}));
}

TEST(OutputFile, LinkStaysAndItsFileIsReplaced) {
    TempDir dir;
    writeFile(dir / "real", "old");
    fs::create_symlink("real", dir / "link");
    OutputFile out(dir / "link");
    out.write("new", 3);
    out.commit();
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(readFile(dir / "real"), "new");
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"link", "real"}));
}

TEST(OutputFile, MovesCarryTheTemporary) {
    TempDir dir;
    {
        OutputFile kept = [&] {
            OutputFile out(dir / "a");
            out.write("aa", 2);
            return out;
        }();
        OutputFile replaced(dir / "b");
        replaced = std::move(kept);  // abandons b's temporary
        EXPECT_EQ(listing(dir.path()).size(), 1u);
        replaced.commit();
    }
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"a"});
    EXPECT_EQ(readFile(dir / "a"), "aa");
}

// A child writes two outputs over an existing file, one more already
// committed, and is then ended by the signal: both temporaries are gone, the
// committed file and the old target are intact, and the child died of that
// signal (so the shell's status is 128 + signal).
TEST(SignalCleanup, RemovesTemporariesAndDiesOfTheSignal) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        writeFile(dir / "target", "original");
        const int status = inChild([&] {
            installSignalCleanup();
            installSignalCleanup();
            OutputFile done(dir / "done");
            done.write("done", 4);
            done.commit();
            OutputFile a(dir / "target");
            a.write("partial", 7);
            OutputFile b(dir / "second");
            b.write("partial", 7);
            if (!fs::exists(a.temporaryName()) || !fs::exists(b.temporaryName())) return 3;
            raise(sig);
            return 4;
        });
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"done", "target"}));
        EXPECT_EQ(readFile(dir / "target"), "original");
        EXPECT_EQ(readFile(dir / "done"), "done");
    }
}

TEST(SignalCleanup, IgnoredSignalStaysIgnored) {
    TempDir dir;
    const int status = inChild([&] {
        signal(SIGHUP, SIG_IGN);
        installSignalCleanup();
        OutputFile out(dir / "target");
        raise(SIGHUP);
        return fs::exists(out.temporaryName()) ? 0 : 5;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{});
}

}  // namespace
