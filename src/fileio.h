// Files read and written safely, over POSIX descriptors.
//
// READ ME FIRST
// 1. An input is opened without blocking and refused unless it is a regular
//    file, so a FIFO, a device or a folder fails at once instead of hanging.
// 2. An output to a regular (or not yet existing) file goes to a temporary
//    file beside the target, private (0600) while it is written, and is
//    renamed over the target only by commit(). Anything else (an error, an
//    exception unwinding, a SIGINT, SIGTERM or SIGHUP) removes the temporary
//    and leaves an existing target byte-for-byte untouched.
// 3. An output whose target exists and is not a regular file (/dev/null, a
//    device, a FIFO) is written directly; it keeps its own mode and times.
// 4. Neither class buffers: callers read and write in large pieces.
// 5. Errors raise Exception with "Unable to open input file: ", "Unable to
//    read input file: ", "Unable to open output file: " or "Unable to write
//    output file: " followed by the name the caller gave.
#ifndef VEXAQ38_FILEIO_H
#define VEXAQ38_FILEIO_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/stat.h>

class InputFile {
public:
    explicit InputFile(const std::string& name);
    ~InputFile();
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& name() const { return name_; }
    // Size, mode and times as found when the file was opened.
    std::uint64_t size() const { return static_cast<std::uint64_t>(stat_.st_size); }
    const struct stat& status() const { return stat_; }

    // Reads up to n bytes; fewer only at the end of the file.
    std::size_t read(void* buffer, std::size_t n);
    // Moves the read position to `offset` bytes from the start.
    void seek(std::uint64_t offset);

private:
    std::string name_;
    int fd_ = -1;
    struct stat stat_ {};
};

class OutputFile {
public:
    explicit OutputFile(const std::string& target);
    ~OutputFile();  // abort() unless committed
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& target() const { return target_; }
    // True when the target is written in place (it is not a regular file).
    bool direct() const { return temporary_.empty(); }
    // The temporary file's name; empty for a direct target.
    const std::string& temporaryName() const { return temporary_; }

    void write(const void* data, std::size_t n);

    // Puts the written bytes in place. With a source, a temporary file first
    // takes its permission bits (mode & 0777) and its access and modification
    // times; without one it gets the mode a newly created file would have
    // (0666 less the umask). Then the file is closed and renamed over the
    // target. A direct target is only closed. Any failure removes the
    // temporary and raises the write error.
    void commit(const struct stat* source = nullptr);

    // Closes and removes the temporary; an existing target stays as it was.
    // A direct target is only closed. Does nothing after commit.
    void abort() noexcept;

private:
    std::string target_;     // the name as given, for the messages
    std::string final_;      // where the temporary is renamed to
    std::string temporary_;  // empty for a direct target
    int fd_ = -1;
    int slot_ = -1;          // the temporary's place in the signal cleanup list
};

// Makes SIGINT, SIGTERM and SIGHUP remove every temporary output that has not
// been committed or aborted, then end the process by the same signal, so the
// exit status stays 128 + signal. A signal ignored when this is called stays
// ignored. Call it once from the main flow, before threads start; repeated
// calls do nothing.
void installSignalCleanup();

#endif
