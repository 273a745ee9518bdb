#include "fileio.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "base.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& name) {
    throw Exception(std::string(what) + name);
}

// Larger transfers are split: some systems refuse counts above 2 GiB.
constexpr std::size_t maxTransfer = std::size_t(1) << 30;

// Read once before main, while the process has one thread: reading the umask
// means setting it, which would race with files created by other threads.
const mode_t processUmask = [] {
    const mode_t m = umask(0);
    umask(m);
    return m;
}();

// ---------------------------------------------------------------- cleanup list
// The names of the live temporary files, in fixed storage so the signal
// handler needs no allocation. A thread changes the list only with the three
// signals blocked for itself and the spin lock held; the handler takes the
// lock too, so it never reads a half-written name from another thread, and it
// cannot interrupt its own thread while that holds the lock.
constexpr int cleanupSlots = 8;
constexpr std::size_t cleanupNameMax = 4096;
char cleanupNames[cleanupSlots][cleanupNameMax];
bool cleanupLive[cleanupSlots];
std::atomic_flag cleanupLock = ATOMIC_FLAG_INIT;

constexpr int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void lockCleanup() {
    while (cleanupLock.test_and_set(std::memory_order_acquire)) {
    }
}

void unlockCleanup() { cleanupLock.clear(std::memory_order_release); }

// Blocks the cleanup signals for the calling thread while it lives.
class CleanupSection {
public:
    CleanupSection() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : cleanupSignals) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
        lockCleanup();
    }
    ~CleanupSection() {
        unlockCleanup();
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    CleanupSection(const CleanupSection&) = delete;
    CleanupSection& operator=(const CleanupSection&) = delete;

private:
    sigset_t old_;
};

// Creates the file named by `pattern` (ending in XXXXXX) exclusively with
// mode 0600 and lists it. Returns the descriptor, or -1 with `pattern`
// unchanged; on success `pattern` holds the name and `slot` its place.
int createListed(std::string& pattern, int& slot) {
    CleanupSection section;
    int chosen = -1;
    for (int i = 0; i < cleanupSlots && chosen < 0; ++i)
        if (!cleanupLive[i]) chosen = i;
    // The program holds at most an output and a test file at once.
    Q38_ASSERT(chosen >= 0);
    char* name = cleanupNames[chosen];
    std::memcpy(name, pattern.c_str(), pattern.size() + 1);
    const int fd = mkstemp(name);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    cleanupLive[chosen] = true;
    pattern = name;
    slot = chosen;
    return fd;
}

extern "C" void cleanupHandler(int sig) {
    // The lock is never released: the process ends below, and any other
    // thread that wants the list waits for that.
    lockCleanup();
    for (int i = 0; i < cleanupSlots; ++i)
        if (cleanupLive[i]) unlink(cleanupNames[i]);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // Pending until the handler returns and unblocks it; then the default
    // action ends the process with this signal.
    raise(sig);
}

// The file a name leads to through any chain of symbolic links, the last of
// which may dangle; the name itself when it is no link. A loop is left as
// found, for the open to fail on.
std::string followLinks(const std::string& name) {
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = readlink(path.c_str(), &link[0], link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) return path;
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = path.find_last_of('/');
        if (link.empty() || link[0] == '/' || slash == std::string::npos)
            path = link;
        else
            path = path.substr(0, slash + 1) + link;
    }
    return path;
}

bool writeAll(int fd, const char* p, std::size_t n) {
    while (n != 0) {
        const ssize_t w = ::write(fd, p, std::min(n, maxTransfer));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool writeAllAt(int fd, const char* p, std::size_t n, std::uint64_t offset) {
    while (n != 0) {
        if (offset > std::uint64_t(std::numeric_limits<off_t>::max())) return false;
        const ssize_t w = ::pwrite(fd, p, std::min(n, maxTransfer), static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += static_cast<std::uint64_t>(w);
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- InputFile

InputFile::InputFile(const std::string& name) : name_(name) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer.
    fd_ = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) fail("Unable to open input file: ", name);
    int flags = -1;
    if (fstat(fd_, &stat_) != 0 || !S_ISREG(stat_.st_mode) || (flags = fcntl(fd_, F_GETFL)) < 0 ||
        fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd_);
        fd_ = -1;
        fail("Unable to open input file: ", name);
    }
}

InputFile InputFile::standardInput() {
    InputFile in;
    in.name_ = "standard input";
    in.fd_ = STDIN_FILENO;
    in.owned_ = false;
    if (fstat(in.fd_, &in.stat_) != 0) fail("Unable to open input file: ", in.name_);
    return in;
}

InputFile::~InputFile() {
    if (fd_ >= 0 && owned_) close(fd_);
}

InputFile::InputFile(InputFile&& other) noexcept
    : name_(std::move(other.name_)), fd_(other.fd_), owned_(other.owned_), stat_(other.stat_) {
    other.fd_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0 && owned_) close(fd_);
        name_ = std::move(other.name_);
        fd_ = other.fd_;
        owned_ = other.owned_;
        stat_ = other.stat_;
        other.fd_ = -1;
    }
    return *this;
}

bool InputFile::isTerminal() const { return fd_ >= 0 && isatty(fd_) == 1; }

std::size_t InputFile::read(void* buffer, std::size_t n) {
    Q38_ASSERT(fd_ >= 0);
    auto* p = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd_, p + got, std::min(n - got, maxTransfer));
        if (r < 0) {
            if (errno == EINTR) continue;
            fail("Unable to read input file: ", name_);
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

void InputFile::seek(std::uint64_t offset) {
    Q38_ASSERT(fd_ >= 0);
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
        fail("Unable to read input file: ", name_);
}

bool InputFile::skip(std::uint64_t n) {
    if (owned_) {
        const off_t at = lseek(fd_, 0, SEEK_CUR);
        if (at < 0) fail("Unable to read input file: ", name_);
        if (static_cast<std::uint64_t>(stat_.st_size) - static_cast<std::uint64_t>(at) < n) return false;
        seek(static_cast<std::uint64_t>(at) + n);
        return true;
    }
    char scratch[65536];
    while (n != 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof scratch));
        if (read(scratch, piece) != piece) return false;
        n -= piece;
    }
    return true;
}

// ---------------------------------------------------------------- OutputFile

OutputFile::OutputFile(const std::string& target) : target_(target), final_(target) {
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        fd_ = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) fail("Unable to open output file: ", target);
        return;
    }
    // A link (even a dangling one) stays; the file it leads to is written.
    final_ = followLinks(target);
    if (exists) {
        // The rename would replace a file that could not be opened for writing.
        if (access(final_.c_str(), W_OK) != 0) fail("Unable to open output file: ", target);
        linked_ = st.st_nlink > 1;
    }
    const std::size_t slash = final_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : final_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? final_ : final_.substr(slash + 1);
    if (base.empty()) fail("Unable to open output file: ", target);
    const long nameMax = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    if (nameMax > 0 && base.size() > static_cast<std::size_t>(nameMax)) fail("Unable to open output file: ", target);
    // Hidden, and shorter than any name the folder accepts.
    std::string pattern = folder + "." + base.substr(0, 32) + ".XXXXXX";
    if (pattern.size() >= cleanupNameMax) fail("Unable to open output file: ", target);
    fd_ = createListed(pattern, slot_);
    if (fd_ < 0) fail("Unable to open output file: ", target);
    temporary_ = pattern;
}

OutputFile OutputFile::standardOutput() {
    OutputFile out;
    out.target_ = out.final_ = "standard output";
    out.fd_ = STDOUT_FILENO;
    out.owned_ = false;
    return out;
}

bool OutputFile::isTerminal() const { return fd_ >= 0 && isatty(fd_) == 1; }

OutputFile::~OutputFile() { abort(); }

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)),
      final_(std::move(other.final_)),
      temporary_(std::move(other.temporary_)),
      fd_(other.fd_),
      slot_(other.slot_),
      owned_(other.owned_),
      linked_(other.linked_) {
    other.fd_ = -1;
    other.slot_ = -1;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        abort();
        target_ = std::move(other.target_);
        final_ = std::move(other.final_);
        temporary_ = std::move(other.temporary_);
        fd_ = other.fd_;
        slot_ = other.slot_;
        owned_ = other.owned_;
        linked_ = other.linked_;
        other.fd_ = -1;
        other.slot_ = -1;
    }
    return *this;
}

void OutputFile::write(const void* data, std::size_t n) {
    Q38_ASSERT(fd_ >= 0);
    if (!writeAll(fd_, static_cast<const char*>(data), n)) fail("Unable to write output file: ", target_);
}

void OutputFile::writeAt(const void* data, std::size_t n, std::uint64_t offset) const {
    Q38_ASSERT(positional());
    if (!writeAllAt(fd_, static_cast<const char*>(data), n, offset)) fail("Unable to write output file: ", target_);
}

// The finished temporary's bytes, mode and times go into the target itself;
// the temporary is removed. A failure midway leaves the target cut short.
void OutputFile::copyIntoTarget(const struct stat* source) {
    bool copied = false;
    const int target = open(final_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (target >= 0 && lseek(fd_, 0, SEEK_SET) == 0) {
        char buffer[65536];
        copied = true;
        for (;;) {
            const ssize_t r = ::read(fd_, buffer, sizeof buffer);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                copied = r == 0;
                break;
            }
            if (!writeAll(target, buffer, static_cast<std::size_t>(r))) {
                copied = false;
                break;
            }
        }
        if (copied && source != nullptr) {
            fchmod(target, source->st_mode & 0777);
            const struct timespec times[2] = {source->st_atim, source->st_mtim};
            futimens(target, times);
        }
    }
    if (target >= 0 && close(target) != 0 && errno != EINTR) copied = false;
    close(fd_);
    fd_ = -1;
    {
        CleanupSection section;
        unlink(temporary_.c_str());
        cleanupLive[slot_] = false;
    }
    slot_ = -1;
    if (!copied) fail("Unable to write output file: ", target_);
}

void OutputFile::commit(const struct stat* source) {
    Q38_ASSERT(fd_ >= 0);
    if (!owned_) {
        fd_ = -1;
        return;
    }
    if (linked_) return copyIntoTarget(source);
    if (!direct()) {
        // Best effort: a file system that cannot hold them leaves the
        // temporary's own, which are private.
        if (source != nullptr) {
            fchmod(fd_, source->st_mode & 0777);
            const struct timespec times[2] = {source->st_atim, source->st_mtim};
            futimens(fd_, times);
        } else {
            fchmod(fd_, 0666 & ~processUmask);
        }
    }
    // A full disk or a failing network file system may only show here.
    const int closed = close(fd_);
    const bool closeFailed = closed != 0 && errno != EINTR;
    fd_ = -1;
    if (direct()) {
        if (closeFailed) fail("Unable to write output file: ", target_);
        return;
    }
    bool renamed = false;
    {
        CleanupSection section;
        if (!closeFailed) renamed = rename(temporary_.c_str(), final_.c_str()) == 0;
        if (!renamed) unlink(temporary_.c_str());
        cleanupLive[slot_] = false;
    }
    slot_ = -1;
    if (!renamed) fail("Unable to write output file: ", target_);
}

void OutputFile::abort() noexcept {
    if (fd_ >= 0) {
        if (owned_) close(fd_);
        fd_ = -1;
    }
    if (slot_ >= 0) {
        CleanupSection section;
        unlink(temporary_.c_str());
        cleanupLive[slot_] = false;
        slot_ = -1;
    }
}

// ---------------------------------------------------------------- signals

void installSignalCleanup() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    struct sigaction action {};
    action.sa_handler = cleanupHandler;
    sigemptyset(&action.sa_mask);
    for (int s : cleanupSignals) sigaddset(&action.sa_mask, s);
    for (int s : cleanupSignals) {
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}
