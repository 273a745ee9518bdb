// Files read and written safely, over POSIX descriptors.
//
// READ ME FIRST
// 1. An input is opened without blocking and refused unless it is a regular
//    file, so a FIFO, a device or a folder fails at once instead of hanging.
// 2. An output to a regular (or not yet existing) file goes to a temporary
//    file beside the target, private (0600) while it is written, and is
//    renamed over the target only by commit(). Anything else (an error, an
//    exception unwinding, a SIGINT, SIGTERM, SIGHUP or SIGPIPE) removes the temporary
//    and leaves an existing target byte-for-byte untouched.
// 3. An output whose target exists and is not a regular file (/dev/null, a
//    device, a FIFO) is written directly; it keeps its own mode and times.
// 4. Standard input and output are the streams of the name "-" (the drivers'
//    callers decide that): their length is unknown, they are never closed,
//    and a temporary is never made for them.
// 5. An existing regular target is checked before anything is read: it must
//    be writable, and a symbolic link is followed (a dangling one too) so the
//    temporary lies beside the file the link leads to. A target with other
//    hard links is overwritten in place by commit(), so every name sees the
//    new bytes. The temporary has a short name of its own, and a target name
//    longer than its folder allows fails at once.
// 6. Neither class buffers: callers read and write in large pieces.
// 7. Errors raise Exception with "Unable to open input file: ", "Unable to
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
    // Standard input, named "standard input" in messages.
    static InputFile standardInput();
    ~InputFile();
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& name() const { return name_; }
    // Whether the length is known: a named file; standard input is not.
    bool sized() const { return owned_; }
    // Size, mode and times as found when the file was opened (size: 0 for
    // standard input).
    std::uint64_t size() const { return owned_ ? static_cast<std::uint64_t>(stat_.st_size) : 0; }
    const struct stat& status() const { return stat_; }
    bool isTerminal() const;

    // Reads up to n bytes; fewer only at the end of the file.
    std::size_t read(void* buffer, std::size_t n);
    // Moves the read position to `offset` bytes from the start (named files).
    void seek(std::uint64_t offset);
    // Passes over the next n bytes; false when the input ends first.
    bool skip(std::uint64_t n);

private:
    InputFile() = default;
    std::string name_;
    int fd_ = -1;
    bool owned_ = true;  // false for standard input, which is never closed
    struct stat stat_ {};
};

class OutputFile {
public:
    explicit OutputFile(const std::string& target);
    // Standard output, written directly, named "standard output" in messages.
    static OutputFile standardOutput();
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
    bool isTerminal() const;

    void write(const void* data, std::size_t n);

    // Whether pieces may be written at their own offsets, in any order: a
    // temporary file, which nobody reads before commit(). Standard output
    // and direct targets take their bytes in order through write().
    bool positional() const { return !direct() && fd_ >= 0; }
    // Writes n bytes `offset` bytes from the start of a positional output;
    // never mixed with write() on the same output.
    void writeAt(const void* data, std::size_t n, std::uint64_t offset) const;

    // Puts the written bytes in place. With a source, a temporary file first
    // takes its permission bits (mode & 0777) and its access and modification
    // times; without one it gets the mode a newly created file would have
    // (0666 less the umask). Then the file is closed and renamed over the
    // target, or, for a target with other hard links, copied into it. A
    // direct target is only closed (standard output is left open). Any failure removes the
    // temporary and raises the write error.
    void commit(const struct stat* source = nullptr);

    // Closes and removes the temporary; an existing target stays as it was.
    // A direct target is only closed. Does nothing after commit.
    void abort() noexcept;

private:
    OutputFile() = default;
    void copyIntoTarget(const struct stat* source);

    std::string target_;     // the name as given, for the messages
    std::string final_;      // where the temporary is renamed to
    std::string temporary_;  // empty for a direct target
    int fd_ = -1;
    int slot_ = -1;          // the temporary's place in the signal cleanup list
    bool owned_ = true;      // false for standard output, which is never closed
    bool linked_ = false;    // the target has other hard links
};

// Makes SIGINT, SIGTERM, SIGHUP and SIGPIPE (a closed reader of the
// console) remove every temporary output that has not
// been committed or aborted, then end the process by the same signal, so the
// exit status stays 128 + signal. A signal ignored when this is called stays
// ignored. Call it once from the main flow, before threads start; repeated
// calls do nothing.
void installSignalCleanup();

#endif
