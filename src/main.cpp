#include "main.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "container.h"
#include "diagnostics.h"
#include "fileio.h"
#include "globals.h"
#include "platform.h"

namespace {

struct DumpOption {
    const char* option;
    bool* sw;              // the switch the option sets
    std::ofstream* stream;
    const char* openError;
};

// ---------------------------------------------------------------- same file

// Existing files are the same when device and inode agree (links, other
// spellings); a name that does not exist yet is compared by normalised path.
bool sameFile(const std::string& a, const std::string& b) {
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

// ---------------------------------------------------------------- memory streams

// An output stream's buffer that appends to a vector: a block's payload is
// coded into memory, so blocks can be coded on several threads and written
// in order.
class VectorOutBuf : public std::streambuf {
public:
    explicit VectorOutBuf(std::vector<char>& v) : bytes(v) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) bytes.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        bytes.insert(bytes.end(), s, s + n);
        return n;
    }

private:
    std::vector<char>& bytes;
};

// An input stream's buffer over bytes in memory, read in place.
class MemoryInBuf : public std::streambuf {
public:
    MemoryInBuf(const char* p, std::size_t n) {
        char* b = const_cast<char*>(p);  // never written: this buffer has no put area
        setg(b, b, b + n);
    }
};

// ---------------------------------------------------------------- pipeline

// The threads a run uses: the setting, 0 meaning every core the process may
// run on, and never more than 64.
unsigned runThreads() {
    const unsigned n = threadCount == 0 ? availableCores() : threadCount;
    return std::min(n, 64u);
}

// Blocks pass through three steps: read on the calling thread, coded on up to
// `workers` threads at once, finished (written, their console lines printed)
// on the calling thread in file order. With one worker nothing runs on
// another thread. At most `workers` blocks are held at once.
template <class Block>
class BlockPipeline {
public:
    using Step = std::function<void(Block&)>;

    BlockPipeline(unsigned workerCount, Step codeStep, Step finishStep)
        : workers(workerCount), code(std::move(codeStep)), finish(std::move(finishStep)) {}

    // Waits until another block may be read.
    void makeRoom() {
        while (!inFlight.empty() && inFlight.size() >= workers) finishFront();
    }

    void submit(std::unique_ptr<Block> block) {
        if (workers <= 1) {
            code(*block);
            finish(*block);
            return;
        }
        makeRoom();
        Block* b = block.get();
        std::future<void> done = std::async(std::launch::async, [this, b] { code(*b); });
        inFlight.push_back(Entry{std::move(block), std::move(done)});
    }

    // Finishes every block still held, in order. The first failure is
    // raised; the blocks after it are still waited for (by the destructor).
    void drain() {
        while (!inFlight.empty()) finishFront();
    }

private:
    struct Entry {
        std::unique_ptr<Block> block;
        std::future<void> done;  // declared last: waited for before the block goes
    };

    void finishFront() {
        Entry e = std::move(inFlight.front());
        inFlight.pop_front();
        try {
            e.done.get();
        } catch (...) {
            e.block->failed = true;
            finish(*e.block);  // the lines printed before the failure
            throw;
        }
        finish(*e.block);
    }

    unsigned workers;
    Step code;
    Step finish;
    std::deque<Entry> inFlight;
};

// The console lines of one block: straight to standard output when blocks
// are coded one at a time, else gathered and printed when the block is
// finished, so the lines come out in file order whatever the threads do.
class BlockConsole {
public:
    explicit BlockConsole(bool buffered) {
        if (buffered) {
            buffer = std::make_unique<std::ostringstream>();
            // Times keep the precision standard output has at this point.
            buffer->precision(std::cout.precision());
            buffer->flags(std::cout.flags());
        }
    }
    std::ostream& stream() { return buffer ? static_cast<std::ostream&>(*buffer) : std::cout; }
    void print() {
        if (!buffer) return;
        std::cout << buffer->str() << std::flush;
        buffer->str(std::string());
    }

private:
    std::unique_ptr<std::ostringstream> buffer;
};

// What the settings ask of the block codecs, the same for every block.
CodecOptions codecOptionsFromSettings() {
    CodecOptions o;
    o.passThru = passThru;
    o.log = verbose ? &std::cout : nullptr;
    DumpSinks& d = o.dumps;
    if (printInputHist) d.inputHist = &inputHistFile;
    if (printBWTData) d.bwtData = &bwtOutFile;
    if (printMTFData) d.mtfData = &mtfOutFile;
    if (printMTFHist) d.mtfHist = &mtfHistFile;
    if (printRLE0Data) d.rle0Data = &rle0OutFile;
    if (printRLE0Hist) d.rle0Hist = &rle0HistFile;
    if (printDCData) d.dcData = &dcOutFile;
    if (printDCHist) d.dcHist = &dcHistFile;
    if (bwtPrintSuffixesToFile) d.suffixes.listing = &suffixesFile;
    if (bwtPrintSuffixArrayToFile) d.suffixes.array = &suffixArrayFile;
    d.suffixes.maxSuffixSize = bwtPrintSuffixesToFileMaxSuffixSize;
    return o;
}

// The method the settings choose for compression.
Method chosenMethod() {
    if (useMTF0) {
        if (adaptiveAC) return useRLE0 ? Method::mtfAdaptiveRle0 : Method::mtfAdaptive;
        return useRLE0 ? Method::mtfStaticRle0 : Method::mtfStatic;
    }
    if (useDC) return Method::dc;
    throw Exception("Unsupported compression method");
}

// A block's coding step holds its core until it ends, by an error too (the
// driver counts the block as started when it submits it).
struct BlockHolding {
    SpareCores& cores;
    ~BlockHolding() { cores.blockEnded(); }
};

// Splits the run's threads between blocks in flight and the transforms of
// each block: as many blocks at once as there are blocks (up to the
// threads), the rest of the threads inside each block.
void shareThreads(unsigned total, std::uint64_t numBlocks, unsigned& workers, unsigned& perBlock) {
    workers = static_cast<unsigned>(std::min<std::uint64_t>(total, std::max<std::uint64_t>(numBlocks, 1)));
    perBlock = std::max(1u, total / workers);
}

// ---------------------------------------------------------------- waiting

// One key press without Enter, only on a terminal; pipes and files never
// block. The terminal's mode is restored before returning.
void waitForKey() {
    std::cout << "Press any key to continue . . . " << std::flush;
    if (::isatty(STDIN_FILENO)) {
        termios saved {};
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            char c;
            while (::read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
            }
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
    }
    std::cout << std::endl;
}

// The end of every run past the parser.
void finishRun() {
    reportDumpFailures(std::cout);
    waitForKey();
}

}  // namespace

// ---------------------------------------------------------------- command line

void printHelp(std::ostream& os) {
    static const char* const lines[] = {
        "This program is an implementation of project Q38 for VEXA.",
        "Version: 0.27",
        "Date of release: 2005.11.09",
        "",
        "You can use the following options:",
        "-c                 - compress",
        "-e                 - extract",
        "-v, --verbose      - trigger additional messages",
        "-o filename        - output filename (when not supplied xoutput is chosen)",
        "-b blocksize       - set fixed block size",
        "-m, --mtf0         - use MTF transform",
        "-r, --rle0         - use RLE0 coding",
        "--norle0           - force compressor not to use rle0",
        "-d, --dc           - use DC transform",
        "-a                 - use adaptive arithmetic coding",
        "-s                 - use static arithmetic coding",
        "--bwt_output filaname   - print data after BWT transform to file",
        "--mtf_output filename   - print data after MTF transform to file",
        "--rle0_output           - print data after RLE0 coding to file",
        "--dc_output             - print data after DC coding to file",
        "--input_histogram       - generate file with input symbols histogram",
        "--mtf_histogram         - generate file with histogram of symbols after",
        "                          MTF transform",
        "--rle0_histogram        - generate file with histogram of symbols after",
        "                          RLE0 coding",
        "--dc_histogram          - generate file with histogram of symbols after",
        "                          DC coding",
        "--suffixes_output filename     - print sorted list of suffixes to file",
        "--suffixes_output_max_size num - limit printed suffix length (print ",
        "                                 only num first symbols). this option",
        "                                 should be used only in combination ",
        "                                 with --suffixes_output.",
        "--suffix_array_output filename - print suffix array (only indices) to ",
        "                                 a file",
        "--test filename                - option to be used when compressing. forces",
        "                                 compressor to automaticly decompress file",
        "                                 and check for file contents equality",
        "",
        "Examples of use:",
        "vexa-Q38 -c file1 -o compressedfile1 -m -r -b 10000",
        "vexa-Q38 -e compressedfile1 -o file1 --verbose",
        "vexa-Q38 -c --dc file1 --dc_histogram dchist.txt",
    };
    for (const char* line : lines) os << line << std::endl;
}

bool parseCommandLineParams(int argc, char** argv) {
    if (argc <= 1) {
        printHelp(std::cout);
        return false;
    }

    static const DumpOption dumps[] = {
        {"--bwt_output", &printBWTData, &bwtOutFile, "Unable to open BWT output file: "},
        {"--mtf_output", &printMTFData, &mtfOutFile, "Unable to open MTF output file: "},
        {"--rle0_output", &printRLE0Data, &rle0OutFile, "Unable to open RLE0 output file: "},
        {"--dc_output", &printDCData, &dcOutFile, "Unable to open DC output file: "},
        {"--input_histogram", &printInputHist, &inputHistFile, "Unable to open output histogram file: "},
        {"--mtf_histogram", &printMTFHist, &mtfHistFile, "Unable to open output histogram file: "},
        {"--rle0_histogram", &printRLE0Hist, &rle0HistFile, "Unable to open output histogram file: "},
        {"--dc_histogram", &printDCHist, &dcHistFile, "Unable to open output histogram file: "},
    };
    struct Flag {
        const char* option;
        bool* sw;
    };
    static const Flag flags[] = {
        {"-c", &compress},     {"-e", &decompress},      {"-v", &verbose},   {"--verbose", &verbose},
        {"-d", &useDC},        {"--dc", &useDC},         {"-m", &useMTF0},   {"--mtf0", &useMTF0},
        {"--mtf1", &useMTF1},  {"-r", &useRLE0},         {"--rle0", &useRLE0}, {"--norle0", &doNotUseRLE0},
        {"-a", &adaptiveAC},   {"-s", &staticAC},        {"-p", &passThru},  {"-h", &help},
        {"--help", &help},
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // The value of an option is the next argument, whatever it looks like.
        auto value = [&](const char* missing) -> std::string {
            if (i + 1 >= argc) throw Exception(missing);
            return argv[++i];
        };

        bool matched = false;
        for (const Flag& f : flags) {
            if (arg == f.option) {
                *f.sw = true;
                matched = true;
                break;
            }
        }
        if (matched) continue;
        for (const DumpOption& d : dumps) {
            if (arg == d.option) {
                const std::string name = value(
                    (std::string("Filename expected after ") + d.option + " parameter").c_str());
                *d.sw = true;
                openDump(*d.stream, name, d.openError);
                matched = true;
                break;
            }
        }
        if (matched) continue;

        if (arg == "-o") {
            ofilename = value("Filename expected after -o parameter");
        } else if (arg == "--test") {
            test = true;
            testfilename = value("Filename expected after --test parameter");
        } else if (arg == "-b") {
            // atoi, stored into 32 bits: -1 wraps to 4294967295, a word is 0.
            const std::string number = value("Number (block size) expected after -b parameter");
            blockSize = static_cast<std::uint32_t>(std::atoi(number.c_str()));
        } else if (arg == "--suffix_array_output") {
            openDump(suffixArrayFile, value("Filename expected after --suffix_array_output parameter"),
                     "Unable to open output suffix array file: ");
            bwtPrintSuffixArrayToFile = true;
        } else if (arg == "--suffixes_output") {
            openDump(suffixesFile, value("Filename expected after --suffixes_output parameter"),
                     "Unable to open output suffixes file: ");
            bwtPrintSuffixesToFile = true;
        } else if (arg == "--suffixes_output_max_size") {
            const std::string number =
                value("Number (max suffix size) expected after -suffixes_output_max_size parameter");
            bwtPrintSuffixesToFileMaxSuffixSize = static_cast<std::uint32_t>(std::atoi(number.c_str()));
        } else if (arg == "--threads") {
            const std::string number = value("Number (threads) expected after --threads parameter");
            threadCount = static_cast<std::uint32_t>(std::atoi(number.c_str()));
        } else if (ifilename.empty()) {
            ifilename = arg;
        } else {
            throw Exception("Invalid parameter: " + arg);
        }
    }

    if (compress && decompress)
        throw Exception("Cannot do both compression (-c) and decompression (-e) at the same time!");
    if (!compress && !decompress && !help)
        throw Exception("You must either choose to compress (-c) or to extract (-e)!");
    if (ifilename.empty()) throw Exception("Input filename missing!");

    if (compress) {
        if (useRLE0 && doNotUseRLE0)
            throw Exception("Cannot both use (-r,--rle0) and not use (--norle0) RLE0 coding at the same time!");
        if (adaptiveAC && staticAC)
            throw Exception("Cannot use adaptive (-a) and static (-s) arithmetic coding at he same time!");
        if ((useMTF0 && useMTF1) || (useDC && (useMTF0 || useMTF1)))
            throw Exception(
                "Cannot use MTF0 (-m, --mtf0), MTF1 (--mtf1) or DC (-d, --dc) coding at he same time! Chose only "
                "one of the above.");
        if (useDC) {
            if (useRLE0)
                std::cout << "WARNING: RLE0 compression flag (-r, --rle0) ignored when coding with DC coder."
                          << std::endl;
            if (doNotUseRLE0)
                std::cout << "WARNING: no RLE0 compression flag (--norle0) ignored when coding with DC coder."
                          << std::endl;
            if (staticAC)
                std::cout << "WARNING: static arithmetic coder is not unsupported when using DC coder."
                          << std::endl;
        } else if (!useRLE0 && !doNotUseRLE0) {
            useRLE0 = true;
        }
        if (!useMTF0 && !useMTF1 && !useDC) useDC = true;
        if (!adaptiveAC && !staticAC) adaptiveAC = true;
        if (ofilename.empty()) ofilename = ifilename + ".vexaQ38p";
    } else if (decompress) {
        if (ofilename.empty()) ofilename = ifilename + ".vexaQ38u";
        const struct {
            bool set;
            const char* text;
        } warnings[] = {
            {useMTF0, "WARNING: MTF0 compression flag (-m, --mtf0) ignored when decompressing."},
            {useMTF1, "WARNING: MTF1 compression flag (--mtf1) ignored when decompressing."},
            {useDC, "WARNING: DC compression flag (-d, --dc) ignored when decompressing."},
            {useRLE0, "WARNING: RLE0 compression flag (-r, --rle0) ignored when decompressing."},
            {doNotUseRLE0, "WARNING: no RLE0 compression flag (--norle0) ignored when decompressing."},
            {adaptiveAC, "WARNING: adaptive arithmetic coder flag (-a) ignored when decompressing."},
            {staticAC, "WARNING: static arithmetic coder flag (-a) ignored when decompressing."},
            {printBWTData, "WARNING: flag (--bwt_output) ignored when decompressing."},
            {printMTFData, "WARNING: flag (--mtf_output) ignored when decompressing."},
            {printRLE0Data, "WARNING: flag (--rle0_output) ignored when decompressing."},
            {printInputHist, "WARNING: flag (--input_histogram) ignored when decompressing."},
            {printMTFHist, "WARNING: flag (--mtf_histogram) ignored when decompressing."},
            {printRLE0Hist, "WARNING: flag (--rle0_histogram) ignored when decompressing."},
        };
        for (const auto& w : warnings) {
            if (w.set) std::cout << w.text << std::endl;
        }
    }

    if (help) printHelp(std::cout);
    return true;
}

// ---------------------------------------------------------------- drivers

void printCompressionStats(std::ostream& os, std::uint64_t inputSize, std::uint64_t compressedSize) {
    const double saving =
        static_cast<double>(static_cast<std::int64_t>(inputSize) - static_cast<std::int64_t>(compressedSize)) *
        100 / static_cast<double>(inputSize);
    const double bpc = static_cast<double>(compressedSize) * 8 / static_cast<double>(inputSize);
    os << "Compressed data size: " << compressedSize << " (" << std::setprecision(3) << saving << "%, bpc "
       << std::setprecision(3) << bpc << ")" << std::endl;
}

namespace {

// One block on its way through a file driver.
// A block's bytes, left uninitialised: they are always read or decoded in
// whole, so clearing them first would be a wasted pass over the block.
class BlockBytes {
public:
    void resize(std::size_t n) {
        bytes.reset(new char[n]);
        length = n;
        adviseHugePages(bytes.get(), n);
    }
    void release() {
        bytes.reset();
        length = 0;
    }
    char* data() { return bytes.get(); }
    std::size_t size() const { return length; }

private:
    std::unique_ptr<char[]> bytes;
    std::size_t length = 0;
};

struct PipelineBlock {
    explicit PipelineBlock(bool buffered) : console(buffered) {}
    BlockConsole console;
    CodecOptions options;
    BlockBytes data;            // the original bytes
    std::vector<char> payload;  // the coded bytes
    BlockHeader header;
    const MethodInfo* method = nullptr;
    bool failed = false;
};

}  // namespace

std::uint32_t packFile(const char* inputName, const char* outputName) {
    const long start = readClock();
    if (verbose) std::cout << "Opening input file: " << inputName << std::endl;

    InputFile in(inputName);
    // Before the output is created: it may be the input itself.
    if (sameFile(inputName, outputName))
        throw Exception(std::string("Input and output are the same file: ") + outputName);
    if (test && (sameFile(testfilename, inputName) || sameFile(testfilename, outputName)))
        throw Exception("Test file is the same as the input or output file: " + testfilename);
    OutputFile out(outputName);

    if (in.size() == 0) throw Exception("Cannot compress empty file (file size is 0)");
    // The container's fileSize has 32 bits.
    if (in.size() > 0xFFFFFFFFu) throw Exception(std::string("Input file too large (4 GiB or more): ") + inputName);
    const std::uint32_t fileSize = static_cast<std::uint32_t>(in.size());
    if (verbose) std::cout << "Input file size: " << fileSize << std::endl;

    char fileHeader[fileHeaderSize];
    writeFileHeader(fileHeader, fileSize);
    out.write(fileHeader, fileHeaderSize);

    if (blockSize == 0) blockSize = fileSize;
    if (blockSize > maxBlockSize) blockSize = maxBlockSize;
    const MethodInfo& method = methodInfo(chosenMethod());
    const CodecOptions options = codecOptionsFromSettings();

    // Dumps are written by the codecs as they go, so a run with dumps codes
    // one block after another.
    unsigned workers, perBlock;
    const unsigned threads = options.dumps.any() ? 1 : runThreads();
    shareThreads(threads, (std::uint64_t(fileSize) + blockSize - 1) / blockSize, workers, perBlock);
    const bool buffered = workers > 1;
    // The cores that blocks coded at once leave idle at the end of the file
    // go to the sorts still running then.
    SpareCores spare(threads);

    std::uint64_t written = fileHeaderSize;
    BlockPipeline<PipelineBlock> pipeline(
        workers,
        [&](PipelineBlock& b) {
            const BlockHolding holding{spare};
            // Before the encoder overwrites the block.
            b.header.checksum = blockChecksum(fileSize, b.data.data(), b.data.size());
            VectorOutBuf sink(b.payload);
            std::ostream os(&sink);
            b.payload.reserve(b.data.size() / 2 + 1024);
            method.pack(os, b.data.data(), static_cast<unsigned>(b.data.size()), b.options);
            b.data.release();  // gone before the next block is read
        },
        [&](PipelineBlock& b) {
            b.console.print();
            if (b.failed) return;
            b.header.packedSize = static_cast<std::uint32_t>(b.payload.size());
            b.header.methodCode = method.code;
            b.header.coderType = method.coderType;
            char h[blockHeaderSize];
            writeBlockHeader(h, b.header);
            out.write(h, blockHeaderSize);
            out.write(b.payload.data(), b.payload.size());
            written += blockHeaderSize + b.payload.size();
        });

    for (std::uint32_t pos = 0; pos < fileSize;) {
        const std::uint32_t length = fileSize - pos < blockSize ? fileSize - pos : blockSize;
        pipeline.makeRoom();
        auto block = std::make_unique<PipelineBlock>(buffered);
        std::ostream& console = block->console.stream();
        if (verbose) console << "Block size: " << length << std::endl;
        block->options = options;
        block->options.threads = perBlock;
        // Several blocks sorted at once fault in many fresh pages together,
        // and huge ones then cost more than the passes win.
        block->options.hugePages = workers == 1;
        block->options.spareCores = workers > 1 ? &spare : nullptr;
        if (verbose) block->options.log = &console;
        block->header.dataSize = length;
        try {
            block->data.resize(length);
            if (in.read(block->data.data(), length) != length)
                throw Exception(std::string("Unable to read input file: ") + inputName);
        } catch (...) {
            // What came before fails first, as it would one block at a time.
            pipeline.drain();
            block->console.print();
            throw;
        }
        spare.blockStarted();
        pipeline.submit(std::move(block));
        pos += length;
    }
    spare.lastBlockStarted();
    pipeline.drain();
    out.commit(&in.status());
    const long stop = readClock();

    printCompressionStats(std::cout, fileSize, written);
    printTime(std::cout, "Compression time: ", start, stop);
    return static_cast<std::uint32_t>(written);
}

int unpackFile(const char* inputName, const char* outputName) {
    const long start = readClock();
    if (verbose) std::cout << "Opening input file: " << inputName << std::endl;

    InputFile in(inputName);
    if (sameFile(inputName, outputName))
        throw Exception(std::string("Input and output are the same file: ") + outputName);
    OutputFile out(outputName);

    const std::uint64_t inputSize = in.size();
    char fileHeader[fileHeaderSize];
    const std::uint32_t fileSize = parseFileHeader(fileHeader, in.read(fileHeader, fileHeaderSize));
    std::uint64_t position = fileHeaderSize;  // where the next block header starts
    const CodecOptions options = codecOptionsFromSettings();
    // Threads are shared out once the first block's size is known.
    unsigned workers = 1, perBlock = 1;
    SpareCores spare(runThreads());
    std::unique_ptr<BlockPipeline<PipelineBlock>> pipeline;
    const auto code = [fileSize, &spare](PipelineBlock& b) {
        const BlockHolding holding{spare};
        MemoryInBuf source(b.payload.data(), b.payload.size());
        std::istream is(&source);
        b.data.resize(b.header.dataSize);
        b.method->unpack(is, b.data.data(), b.header.dataSize, b.options);
        b.payload = std::vector<char>();
        verifyBlockChecksum(b.header.checksum, fileSize, b.data.data(), b.data.size());
    };
    const auto finish = [&](PipelineBlock& b) {
        b.console.print();
        if (!b.failed) out.write(b.data.data(), b.data.size());
    };

    std::uint32_t restored = 0;
    while (restored < fileSize) {
        if (pipeline) pipeline->makeRoom();
        std::unique_ptr<PipelineBlock> block;
        try {
            char headerBytes[blockHeaderSize];
            const std::size_t got = in.read(headerBytes, blockHeaderSize);
            const BlockHeader h = parseBlockHeader(headerBytes, got);
            if (h.coderType > 1) throw Exception("Invalid arithmetic coder type (maybe block is corrupted?)");
            if (h.dataSize == 0) throw Exception("Wrong block size in packed size. Block cannot have size of 0.");
            if (h.dataSize > fileSize - restored)
                throw Exception("Wrong block size in packed file (this may also mean some other error).");
            if (!pipeline) {
                // Every block but the last has the first one's size.
                shareThreads(runThreads(), (std::uint64_t(fileSize) + h.dataSize - 1) / h.dataSize, workers,
                             perBlock);
                pipeline = std::make_unique<BlockPipeline<PipelineBlock>>(workers, code, finish);
            }
            block = std::make_unique<PipelineBlock>(workers > 1);
            std::ostream& console = block->console.stream();
            if (verbose) console << "Block size: " << h.dataSize << std::endl;
            block->method = &methodFromCodes(h.methodCode, h.coderType);
            // Before allocating: a forged header must not cost gigabytes.
            if (h.dataSize > maxBlockSize)
                throw Exception("Error in compressed file (block size above 10485760 bytes)");
            const std::uint64_t payloadStart = position + blockHeaderSize;
            if (payloadStart + h.packedSize > inputSize) throw Exception(unexpectedEndMessage);
            // No decoder reads more than this of a payload; past what is read
            // it reads zeros, so a forged size costs no more memory.
            const std::uint64_t useful = std::uint64_t(16) * h.dataSize + (1u << 20);
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(h.packedSize, useful));
            block->payload.resize(length);
            if (in.read(block->payload.data(), length) != length)
                throw Exception(std::string("Unable to read input file: ") + inputName);
            position = payloadStart + h.packedSize;
            if (length != h.packedSize) in.seek(position);
            block->header = h;
            block->options = options;
            block->options.threads = perBlock;
            block->options.spareCores = workers > 1 ? &spare : nullptr;
            if (verbose) block->options.log = &console;
        } catch (...) {
            // What came before fails first, as it would one block at a time.
            if (pipeline) pipeline->drain();
            if (block) block->console.print();
            throw;
        }
        restored += block->header.dataSize;
        spare.blockStarted();
        pipeline->submit(std::move(block));
    }
    spare.lastBlockStarted();
    if (pipeline) pipeline->drain();
    out.commit(&in.status());

    const long stop = readClock();
    printTime(std::cout, "Decompression time: ", start, stop);
    return 0;
}

// ---------------------------------------------------------------- main flow

int runMain(int argc, char** argv) {
#if defined(M_MMAP_THRESHOLD)
    // Block tables come and go block after block; a fixed threshold keeps
    // them mapped on their own, so that a freed table goes back to the system
    // instead of leaving a hole the next block's tables do not fit.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    // Before any thread starts: an interrupted run leaves no temporary file.
    installSignalCleanup();
    try {
        if (!parseCommandLineParams(argc, argv)) return 0;
        // Help with an input name but no mode: nothing more to do.
        if (!compress && !decompress) return 0;
        bool filesEqual = true;
        if (compress) {
            packFile(ifilename.c_str(), ofilename.c_str());
            std::cout << std::endl;
            if (test) {
                std::cout << "Testing packed file correctness." << std::endl << std::endl;
                unpackFile(ofilename.c_str(), testfilename.c_str());
                std::cout << std::endl;
                filesEqual = equalFiles(ifilename, testfilename);
                if (filesEqual)
                    std::cout << "OK, Files are equal." << std::endl;
                else
                    std::cerr << "ERROR: Files are not equal!" << std::endl;
            }
        } else {
            unpackFile(ifilename.c_str(), ofilename.c_str());
        }
        std::cout << "End." << std::endl;
        finishRun();
        // A failed check must not pass for success.
        return filesEqual ? 0 : -1;
    } catch (const Exception& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
        finishRun();
        return -1;
    } catch (const std::exception& e) {
        std::cerr << "ERROR: std::exception catched: " << e.what() << std::endl;
        finishRun();
        return -1;
    } catch (...) {
        std::cerr << "ERROR: unknown error!" << std::endl;
        finishRun();
        throw;
    }
}
