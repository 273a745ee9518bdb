#include "drivers.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "diagnostics.h"
#include "fileio.h"
#include "pipeline.h"
#include "platform.h"

namespace {

// Existing files are the same when device and inode agree (links, other
// spellings); a name that does not exist yet is compared by normalised path.
// Standard input and output are never the same as a named file.
bool sameFile(const std::string& a, const std::string& b) {
    if (isStandardStream(a) || isStandardStream(b)) return false;
    struct stat sa {};
    struct stat sb {};
    const bool ea = ::stat(a.c_str(), &sa) == 0;
    const bool eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea != eb) return false;
    std::error_code ec1;
    std::error_code ec2;
    const auto pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec1), ec1);
    const auto pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec2), ec2);
    if (ec1 || ec2) return a == b;
    return pa == pb;
}

InputFile openInput(const std::string& name) {
    return isStandardStream(name) ? InputFile::standardInput() : InputFile(name);
}

OutputFile openOutput(const std::string& name) {
    return isStandardStream(name) ? OutputFile::standardOutput() : OutputFile(name);
}

// A block's bytes, left uninitialised: they are always read or decoded in
// whole, so clearing them first would be a wasted pass over the block. Its
// memory is kept for a later block that fits in it.
class BlockBytes {
public:
    BlockBytes() = default;
    // A moved-from object is empty: no capacity without the memory.
    BlockBytes(BlockBytes&& o) noexcept
        : bytes(std::move(o.bytes)), length(std::exchange(o.length, 0)), capacity(std::exchange(o.capacity, 0)) {}
    BlockBytes& operator=(BlockBytes&& o) noexcept {
        bytes = std::move(o.bytes);
        length = std::exchange(o.length, 0);
        capacity = std::exchange(o.capacity, 0);
        return *this;
    }

    void resize(std::size_t n) {
        if (n > capacity) {
            bytes.reset();
            capacity = 0;
            bytes = allocateLargeArray<char>(n);
            capacity = n;
        }
        length = n;
    }
    // Keeps the first n bytes (a short last read).
    void shrink(std::size_t n) { length = std::min(length, n); }
    char* data() { return bytes.get(); }
    std::size_t size() const { return length; }

private:
    LargeArray<char> bytes;
    std::size_t length = 0;
    std::size_t capacity = 0;
};

// Buffers of finished blocks, handed to the next blocks read so that their
// pages stay mapped; workers may hand theirs back too. It never holds more
// than the blocks once in flight at the same time.
template <class T>
class SpareList {
public:
    T take() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (items.empty()) return T();
        T t = std::move(items.back());
        items.pop_back();
        return t;
    }
    void keep(T&& t) {
        const std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(t));
    }

private:
    std::mutex mutex;
    std::vector<T> items;
};

// One block on its way through a file driver.
struct PipelineBlock {
    PipelineBlock(std::ostream& lines, bool buffered) : console(lines, buffered) {}
    BlockConsole console;
    CodecOptions options;
    BlockBytes data;            // the original bytes
    PayloadBytes payload;       // the coded bytes, compressing
    BlockBytes packed;          // the coded bytes, extracting
    BlockHeader header;
    std::uint32_t memberSize = 0;  // fileSize of the block's member, in its checksum
    std::uint64_t outputOffset = 0;  // where its bytes go in the output, extracting
    bool firstOfMember = false;    // the member's header goes before it
    const MethodInfo* method = nullptr;
    bool failed = false;
};

// A block's coding step holds its core until it ends, by an error too (the
// driver counts the block as started when it submits it).
struct BlockHolding {
    SpareCores& cores;
    ~BlockHolding() { cores.blockEnded(); }
};

// The block options every block of a run shares.
CodecOptions runOptions(const DriverSettings& s) {
    CodecOptions o = s.codec;
    o.log = s.verbose ? s.console : nullptr;
    return o;
}

// Settings for one block of a pipeline of `share`.
void setBlockOptions(PipelineBlock& b, const CodecOptions& options, const ThreadShare& share, SpareCores& spare,
                     bool verbose) {
    b.options = options;
    b.options.threads = share.perBlock;
    b.options.spareCores = share.workers > 1 ? &spare : nullptr;
    if (verbose) b.options.log = &b.console.stream();
}

// The largest member of whole blocks within `limit` bytes, at least one
// block.
std::uint32_t memberCapacity(std::uint32_t limit, std::uint32_t blockSize) {
    return std::max(limit / blockSize, 1u) * blockSize;
}

}  // namespace

void printCompressionStats(std::ostream& os, std::uint64_t inputSize, std::uint64_t compressedSize) {
    const double saving =
        static_cast<double>(static_cast<std::int64_t>(inputSize) - static_cast<std::int64_t>(compressedSize)) *
        100 / static_cast<double>(inputSize);
    const double bpc = static_cast<double>(compressedSize) * 8 / static_cast<double>(inputSize);
    os << "Compressed data size: " << compressedSize << " (" << std::setprecision(3) << saving << "%, bpc "
       << std::setprecision(3) << bpc << ")" << std::endl;
}

// ---------------------------------------------------------------- compression

std::uint64_t packFile(const std::string& inputName, const std::string& outputName, const DriverSettings& s) {
    const long start = readClock();
    std::ostream& console = *s.console;
    if (s.verbose) console << "Opening input file: " << inputName << std::endl;

    InputFile in = openInput(inputName);
    // Before the output is created: it may be the input itself.
    if (sameFile(inputName, outputName))
        throw Exception("Input and output are the same file: " + outputName);
    if (!s.testName.empty() && (sameFile(s.testName, inputName) || sameFile(s.testName, outputName)))
        throw Exception("Test file is the same as the input or output file: " + s.testName);
    OutputFile out = openOutput(outputName);
    if (out.isTerminal()) throw Exception("Compressed data is not written to a terminal (use -o NAME or a pipe)");

    const bool sized = in.sized();
    const std::uint64_t inputSize = in.size();
    if (sized && inputSize == 0) throw Exception("Cannot compress empty file (file size is 0)");
    if (s.verbose && sized) console << "Input file size: " << inputSize << std::endl;

    std::uint32_t blockSize = s.blockSize;
    if (blockSize == 0) blockSize = sized ? static_cast<std::uint32_t>(std::min<std::uint64_t>(inputSize, maxBlockSize)) : maxBlockSize;
    if (blockSize > maxBlockSize) blockSize = maxBlockSize;
    if (!s.method) throw Exception("Unsupported compression method");
    const MethodInfo& method = methodInfo(*s.method);
    const CodecOptions options = runOptions(s);

    // Dumps are written by the codecs as they go, so a run with dumps codes
    // one block after another.
    const unsigned threads = options.dumps.any() ? 1 : s.threads;
    // The cores that blocks coded at once leave idle at the end of the input
    // go to the sorts still running then.
    SpareCores spare(threads);
    ThreadShare share{1, 1};
    std::uint64_t written = 0;
    // Memory kept across blocks: each worker's tables, and the blocks' own
    // buffers. Before the pipeline, which may still be coding when it goes.
    LendingPool<BlockScratch> scratches;
    SpareList<BlockBytes> spareBytes;
    SpareList<PayloadBytes> sparePayloads;
    const auto code = [&spare, &method, &scratches, &spareBytes](PipelineBlock& b) {
        const BlockHolding holding{spare};
        const LendingPool<BlockScratch>::Loan scratch(scratches);
        CodecOptions kept = b.options;
        kept.scratch = &*scratch;
        // Before the encoder overwrites the block.
        b.header.checksum = blockChecksum(b.memberSize, b.data.data(), b.data.size());
        VectorOutBuf sink(b.payload);
        std::ostream os(&sink);
        // Room for any payload but a few expanded ones, so it is not moved
        // as it grows.
        b.payload.reserve(b.data.size() + b.data.size() / 8 + 4096);
        method.pack(os, b.data.data(), static_cast<unsigned>(b.data.size()), kept);
        // Coded: a block waiting to be written holds only its payload.
        spareBytes.keep(std::move(b.data));
    };
    const auto finish = [&](PipelineBlock& b) {
        b.console.print();
        if (b.data.data() != nullptr) spareBytes.keep(std::move(b.data));
        if (b.failed) return;
        if (b.firstOfMember) {
            char fileHeader[fileHeaderSize];
            writeFileHeader(fileHeader, b.memberSize);
            out.write(fileHeader, fileHeaderSize);
            written += fileHeaderSize;
        }
        b.header.packedSize = static_cast<std::uint32_t>(b.payload.size());
        b.header.methodCode = method.code;
        b.header.coderType = method.coderType;
        char h[blockHeaderSize];
        writeBlockHeader(h, b.header);
        out.write(h, blockHeaderSize);
        out.write(b.payload.data(), b.payload.size());
        written += blockHeaderSize + b.payload.size();
        b.payload.clear();
        sparePayloads.keep(std::move(b.payload));
    };
    std::unique_ptr<BlockPipeline<PipelineBlock>> pipeline;

    // A named input that fits one member is one; a larger one is cut into
    // members of whole blocks; standard input, of unknown length, into one
    // member per block.
    const std::uint32_t memberCap =
        inputSize <= s.memberLimit ? s.memberLimit : memberCapacity(s.memberLimit, blockSize);
    std::uint64_t pos = 0;
    std::uint64_t memberLeft = 0;
    std::uint32_t memberSize = 0;
    for (;;) {
        if (sized && pos >= inputSize) break;
        if (pipeline) pipeline->makeRoom();
        bool firstOfMember = false;
        std::uint32_t length = blockSize;
        if (sized) {
            if (memberLeft == 0) {
                memberSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(inputSize - pos, memberCap));
                memberLeft = memberSize;
                firstOfMember = true;
            }
            length = static_cast<std::uint32_t>(std::min<std::uint64_t>(memberLeft, blockSize));
        }
        BlockBytes bytes = spareBytes.take();
        try {
            bytes.resize(length);
            const std::size_t got = in.read(bytes.data(), length);
            if (sized && got != length) throw Exception("Unable to read input file: " + inputName);
            if (!sized) {
                if (got == 0) {
                    if (pos == 0) throw Exception("Cannot compress empty file (file size is 0)");
                    break;
                }
                length = static_cast<std::uint32_t>(got);
                bytes.shrink(got);
                memberSize = length;
                firstOfMember = true;
            }
        } catch (...) {
            // What came before fails first, as it would one block at a time.
            if (pipeline) pipeline->drain();
            throw;
        }
        if (!pipeline) {
            // Standard input: a short first block is the only one, else the
            // number of blocks is open.
            const std::uint64_t numBlocks =
                sized ? (inputSize + blockSize - 1) / blockSize : (length < blockSize ? 1 : threads);
            const std::uint64_t memory = blockMemory(true, blockSize);
            share = shareThreads(threads, numBlocks, s.memoryBudget, memory);
            // Blocks coded beside a slower earlier one wait with their
            // payloads, so that no worker idles until it is written.
            const unsigned ahead = blocksAhead(share.workers, s.memoryBudget, memory, blockSize);
            pipeline = std::make_unique<BlockPipeline<PipelineBlock>>(share.workers, code, finish, ahead);
        }
        auto block = std::make_unique<PipelineBlock>(console, share.workers > 1);
        if (s.verbose) block->console.stream() << "Block size: " << length << std::endl;
        setBlockOptions(*block, options, share, spare, s.verbose);
        // Several blocks sorted at once fault in many fresh pages together,
        // and huge ones then cost more than the passes win.
        block->options.hugePages = share.workers == 1;
        block->header.dataSize = length;
        block->memberSize = memberSize;
        block->firstOfMember = firstOfMember;
        block->data = std::move(bytes);
        block->payload = sparePayloads.take();
        spare.blockStarted();
        pipeline->submit(std::move(block));
        pos += length;
        memberLeft -= sized ? length : 0;
    }
    spare.lastBlockStarted();
    if (pipeline) pipeline->drain();
    out.commit(sized ? &in.status() : nullptr);
    const long stop = readClock();

    printCompressionStats(console, pos, written);
    printTime(console, "Compression time: ", start, stop);
    return written;
}

// ---------------------------------------------------------------- extraction

int unpackFile(const std::string& inputName, const std::string& outputName, const DriverSettings& s) {
    const long start = readClock();
    std::ostream& console = *s.console;
    if (s.verbose) console << "Opening input file: " << inputName << std::endl;

    InputFile in = openInput(inputName);
    if (in.isTerminal()) throw Exception("Compressed data is not read from a terminal (name a file or use a pipe)");
    if (sameFile(inputName, outputName))
        throw Exception("Input and output are the same file: " + outputName);
    OutputFile out = openOutput(outputName);

    const bool sized = in.sized();
    const std::uint64_t inputSize = in.size();
    char fileHeader[fileHeaderSize];
    std::uint32_t fileSize = parseFileHeader(fileHeader, in.read(fileHeader, fileHeaderSize));
    std::uint64_t position = fileHeaderSize;  // where the next header starts
    const CodecOptions options = runOptions(s);
    // Threads are shared out once the first block's size is known.
    ThreadShare share{1, 1};
    SpareCores spare(s.threads);
    // Memory kept across blocks: each worker's tables, and the blocks'
    // bytes and payloads (a payload is handed back as soon as it is
    // decoded, so that the blocks waiting to be written hold no more than
    // their bytes). Before the pipeline, which may still be coding when it
    // goes.
    LendingPool<BlockScratch> scratches;
    SpareList<BlockBytes> spareBytes;
    SpareList<BlockBytes> sparePacked;
    std::unique_ptr<BlockPipeline<PipelineBlock>> pipeline;
    const auto code = [&spare, &scratches, &sparePacked](PipelineBlock& b) {
        const BlockHolding holding{spare};
        const LendingPool<BlockScratch>::Loan scratch(scratches);
        CodecOptions kept = b.options;
        kept.scratch = &*scratch;
        MemoryInBuf source(b.packed.data(), b.packed.size());
        std::istream is(&source);
        b.method->unpack(is, b.data.data(), b.header.dataSize, kept);
        sparePacked.keep(std::move(b.packed));
        // Before a byte of it is written: a pipe cannot take bytes back.
        verifyBlockChecksum(b.header.checksum, b.memberSize, b.data.data(), b.data.size());
    };
    // A temporary file takes each block at its own place as soon as it is
    // restored, so a block done early is not written after a slow one
    // ahead of it, and waits holding none of its bytes; a pipe takes them
    // in order. One thread writes: writers of one file wait for each other.
    const auto writeEarly = [&out, &spareBytes](PipelineBlock& b) {
        out.writeAt(b.data.data(), b.data.size(), b.outputOffset);
        spareBytes.keep(std::move(b.data));
    };
    const auto finish = [&](PipelineBlock& b) {
        b.console.print();
        if (b.data.data() == nullptr) return;  // written and handed back
        if (!b.failed) out.write(b.data.data(), b.data.size());
        spareBytes.keep(std::move(b.data));
    };

    std::uint32_t restored = 0;
    std::uint64_t outputSize = 0;  // of the blocks read so far
    for (;;) {
        if (pipeline) pipeline->makeRoom();
        std::unique_ptr<PipelineBlock> block;
        try {
            if (restored == fileSize) {
                // The member is complete: another one follows, or the end.
                char next[fileHeaderSize];
                const std::size_t got = in.read(next, 8);
                if (fileSize == 0 && isBlockStart(next, got)) throw Exception(emptyMemberMessage);
                if (!isMemberStart(next, got)) break;
                fileSize = parseFileHeader(next, 8 + in.read(next + 8, fileHeaderSize - 8));
                position += fileHeaderSize;
                restored = 0;
                continue;
            }
            char headerBytes[blockHeaderSize];
            const std::size_t got = in.read(headerBytes, blockHeaderSize);
            const BlockHeader h = parseBlockHeader(headerBytes, got);
            checkBlockHeader(h, fileSize - restored);
            const std::uint64_t payloadStart = position + blockHeaderSize;
            if (!pipeline) {
                // Every block of a member but the last has the first one's
                // size; after a one-block member, more may follow.
                std::uint64_t numBlocks = (std::uint64_t(fileSize) + h.dataSize - 1) / h.dataSize;
                const bool more = !sized || payloadStart + h.packedSize + fileHeaderSize <= inputSize;
                if (numBlocks == 1 && more) numBlocks = s.threads;
                const std::uint64_t memory = blockMemory(false, h.dataSize);
                share = shareThreads(s.threads, numBlocks, s.memoryBudget, memory);
                const unsigned ahead = blocksAhead(share.workers, s.memoryBudget, memory, h.dataSize);
                pipeline = std::make_unique<BlockPipeline<PipelineBlock>>(
                    share.workers, code, finish, ahead,
                    out.positional() ? BlockPipeline<PipelineBlock>::Step(writeEarly) : nullptr);
            }
            block = std::make_unique<PipelineBlock>(console, share.workers > 1);
            if (s.verbose) block->console.stream() << "Block size: " << h.dataSize << std::endl;
            block->method = &methodFromCodes(h.methodCode, h.coderType);
            // Before allocating: a forged header must not cost gigabytes.
            if (h.dataSize > maxBlockSize)
                throw Exception("Error in compressed file (block size above 10485760 bytes)");
            if (sized && payloadStart + h.packedSize > inputSize) throw Exception(unexpectedEndMessage);
            const std::size_t length = payloadBytesToRead(h);
            block->packed = sparePacked.take();
            block->packed.resize(length);
            if (in.read(block->packed.data(), length) != length) {
                if (sized) throw Exception("Unable to read input file: " + inputName);
                throw Exception(unexpectedEndMessage);
            }
            if (length != h.packedSize && !in.skip(h.packedSize - length)) throw Exception(unexpectedEndMessage);
            position = payloadStart + h.packedSize;
            block->header = h;
            block->memberSize = fileSize;
            block->data = spareBytes.take();
            block->data.resize(h.dataSize);
            setBlockOptions(*block, options, share, spare, s.verbose);
        } catch (...) {
            // What came before fails first, as it would one block at a time.
            if (pipeline) pipeline->drain();
            if (block) block->console.print();
            throw;
        }
        restored += block->header.dataSize;
        block->outputOffset = outputSize;
        outputSize += block->header.dataSize;
        spare.blockStarted();
        pipeline->submit(std::move(block));
    }
    spare.lastBlockStarted();
    if (pipeline) pipeline->drain();
    out.commit(sized ? &in.status() : nullptr);

    const long stop = readClock();
    printTime(console, "Decompression time: ", start, stop);
    return 0;
}
