// Shared test helpers: seeded data, temporary folders, files, running the
// program. Inputs are reproducible: every generator takes its seed.
#ifndef VEXAQ38_TESTUTIL_H
#define VEXAQ38_TESTUTIL_H

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "commandline.h"
#include "globals.h"

namespace testutil {

// `n` bytes drawn from an alphabet of `alphabet` letters starting at `first`.
inline std::string randomBytes(std::size_t n, unsigned alphabet, std::uint32_t seed,
                               unsigned first = 0) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<unsigned> d(0, alphabet - 1);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(first + d(rng));
    return s;
}

// `n` bytes of text-like data: words from a small vocabulary, so the
// transforms see long repeats as real text has.
inline std::string textLike(std::size_t n, std::uint32_t seed) {
    static const char* words[] = {"the ", "and ", "of ", "to ", "compress", "block ", "sort ",
                                  "suffix ", "\n", "Lorem ", "ipsum ", "data, ", "42 ", "value. "};
    std::mt19937 rng(seed);
    std::uniform_int_distribution<unsigned> d(0, sizeof(words) / sizeof(words[0]) - 1);
    std::string s;
    while (s.size() < n) s += words[d(rng)];
    s.resize(n);
    return s;
}

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& p, const std::string& data) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "q38test-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path_ = mkdtemp(buf.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Whether the shared benchmark corpus is beside the project (it is not in a
// user's fresh clone; tests that need it skip).
inline bool corpusAvailable() { return std::filesystem::exists(Q38_CORPUS "/MANIFEST.txt"); }


// Resets every setting (and closes the dump streams) on entry and on exit,
// so the order of tests never matters.
class SettingsGuard {
public:
    SettingsGuard() { resetSettings(); }
    ~SettingsGuard() { resetSettings(); }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;
};

// What one run of the program left: its two output streams and exit status.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // the process exit code, -1 if it did not exit normally
};

// Runs the built program in `dir` with `args` (each passed as one argument)
// and standard input from /dev/null.
inline RunResult runProgram(const std::filesystem::path& dir, const std::vector<std::string>& args) {
    auto quote = [](const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    const std::filesystem::path outFile = dir / ".run-stdout";
    const std::filesystem::path errFile = dir / ".run-stderr";
    std::string cmd = "cd " + quote(dir.string()) + " && " + quote(Q38_EXE);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " </dev/null >" + quote(outFile.string()) + " 2>" + quote(errFile.string());
    const int raw = std::system(cmd.c_str());
    RunResult r;
    r.out = readFile(outFile);
    r.err = readFile(errFile);
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    return r;
}

// What a child process left: its two output streams, its exit status (128 +
// the signal when a signal ended it) and its peak resident set.
struct ChildRun {
    std::string out;
    std::string err;
    int status = -1;
    long maxRssKiB = -1;
};

// Runs argv (argv[0] a path) in `dir` with standard input from /dev/null and
// the default action for SIGPIPE, as from a shell.
inline ChildRun runChild(const std::filesystem::path& dir, const std::vector<std::string>& argv) {
    const std::filesystem::path outFile = dir / ".out", errFile = dir / ".err";
    ChildRun r;
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = readFile(outFile);
    r.err = readFile(errFile);
    r.maxRssKiB = usage.ru_maxrss;
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return r;
}

}  // namespace testutil

#endif
