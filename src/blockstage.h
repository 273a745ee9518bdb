// What every block codec shares: the options a run hands to the codecs, the
// progress lines and stage times of one block, and the two ends of the
// block pipeline around each codec's own stage (the forward transform
// before it, the inverse transform after it).
//
// Codecs never read the program's settings: the driver builds one
// CodecOptions per run and passes it to every block.
#ifndef VEXAQ38_BLOCKSTAGE_H
#define VEXAQ38_BLOCKSTAGE_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <type_traits>
#include <utility>

#include "base.h"
#include "bitstream.h"
#include "bwt.h"
#include "platform.h"

// Where the diagnostic dumps of the encoders go; null: not asked for.
struct DumpSinks {
    std::ostream* inputHist = nullptr;
    std::ostream* bwtData = nullptr;
    std::ostream* mtfData = nullptr;
    std::ostream* mtfHist = nullptr;
    std::ostream* rle0Data = nullptr;
    std::ostream* rle0Hist = nullptr;
    std::ostream* dcData = nullptr;
    std::ostream* dcHist = nullptr;
    SuffixDumps suffixes;

    bool any() const {
        return inputHist || bwtData || mtfData || mtfHist || rle0Data || rle0Hist || dcData || dcHist ||
               suffixes.listing || suffixes.array;
    }
};

// The large arrays of one block, kept by a worker for the next block it
// codes. Their uses never overlap in time within a block: `entries` holds
// the induced sorter's table, then the DC values, when compressing; the
// inverse's row table when extracting. `bytes` holds the transform being
// decoded, `places` the run decoder's map of known run starts.
struct BlockScratch {
    KeptBuffer<std::uint32_t> entries;
    KeptBuffer<unsigned char> bytes;
    KeptBuffer<std::uint64_t> places;
};

struct CodecOptions {
    bool passThru = false;        // DC values in the plain bit code, not arithmetic coded
    std::ostream* log = nullptr;  // progress lines and stage times; null: quiet
    DumpSinks dumps;
    unsigned threads = 1;         // threads the block may use (transforms and coding stages)
    bool hugePages = true;        // the sort's table read at random may ask for huge pages
    SpareCores* spareCores = nullptr;  // cores a block on one thread may borrow; null: none
    BlockScratch* scratch = nullptr;   // memory kept across blocks; null: the block allocates its own
};

// The progress lines and stage times of one block. The block's clock starts
// with the object; stages are timed by scopes and their lines written, in
// the order they were timed, by finish.
class BlockLog {
public:
    explicit BlockLog(const CodecOptions& options) : out(options.log), blockStart(readClock()) {}

    bool verbose() const { return out != nullptr; }

    // A progress line ("   Performing BWT...").
    void line(const char* text) const {
        if (out) *out << text << std::endl;
    }

    // A value line ("      First suffix index: 7").
    template <class T>
    void value(const char* label, const T& v) const {
        if (out) *out << label << v << std::endl;
    }

    // Times the enclosing scope under `label` ("   BWT time: ").
    class Stage {
    public:
        Stage(BlockLog& log, const char* label);
        ~Stage();
        Stage(const Stage&) = delete;
        Stage& operator=(const Stage&) = delete;

    private:
        BlockLog& log;
        unsigned slot;
    };

    // Writes every stage's time line, then `label` with the time since the
    // block's clock started.
    void finish(const char* label) const;

private:
    static constexpr unsigned maxStages = 4;
    struct Timed {
        const char* label;
        long start, stop;
    };
    std::ostream* out;
    long blockStart;
    Timed stages[maxStages] = {};
    unsigned numStages = 0;
};

// The start of every block encoder: the input histogram, then the forward
// transform of `data` in place with its progress lines, time and dump.
// Returns the primary index.
unsigned forwardTransformStage(char* data, unsigned dataSize, const CodecOptions& options, BlockLog& log);

// The primary index at the start of a payload; raises Exception("Error in
// compressed file (first suffix index out of range)") unless it is below
// dataSize. Reports it as a value line.
unsigned readPrimaryIndex(InBitStream& bits, unsigned dataSize, const BlockLog& log);

// Rejects a primary index that ibwt cannot use: raises Exception("Error in
// compressed file (first suffix index out of range)") unless index < size.
void checkPrimaryIndex(unsigned index, unsigned size);

// A whole block encoder around its own stage: the forward transform, then
// `code(bits, first)`, which writes the payload through `bits` (the primary
// index included), then the time lines ending with "Block compression time".
template <class Code>
void packBlockWith(std::ostream& os, char* data, unsigned dataSize, const CodecOptions& options, Code&& code) {
    Q38_ASSERT(dataSize > 0);
    BlockLog log(options);
    const unsigned first = forwardTransformStage(data, dataSize, options, log);
    {
        StreamOutBitStream bits(os, bitStreamBufferWords);
        code(bits, first, log);
    }
    log.finish("   Block compression time: ");
}

// A whole block decoder around its own stage: `decode(bits, work, log)`
// reads the payload (its primary index through readPrimaryIndex) into the
// transform `work` under the stage label `label`, and returns the primary
// index (a decoder that also takes the inverse's row table may prepare it
// while it waits for its own work); then the inverse transform into `data`
// and the time lines ending with "Block decompression time". Nothing is
// written outside `data`.
template <class Decode>
void unpackBlockWith(std::istream& is, char* data, unsigned dataSize, const CodecOptions& options,
                     const char* label, Decode&& decode) {
    Q38_ASSERT(dataSize > 0);
    BlockLog log(options);
    LargeArray<unsigned char> own;
    unsigned char* work;
    std::optional<InverseTable> table;
    if (BlockScratch* const kept = options.scratch) {
        work = kept->bytes.get(dataSize);
        const std::size_t resident = kept->entries.usedBytes();
        table.emplace(dataSize, kept->entries.get(dataSize), resident);
    } else {
        own = allocateLargeArray<unsigned char>(dataSize);
        work = own.get();
        table.emplace(dataSize);
    }
    unsigned first;
    {
        StreamInBitStream bits(is, bitStreamBufferWords);
        BlockLog::Stage stage(log, label);
        if constexpr (std::is_invocable_v<Decode&, InBitStream&, unsigned char*, const BlockLog&, InverseTable&>)
            first = decode(bits, work, log, *table);
        else
            first = decode(bits, work, log);
    }
    log.line("   Performing iBWT...");
    {
        BlockLog::Stage stage(log, "   iBWT time: ");
        // Cores other blocks no longer need walk the transform too, those
        // freed while it is walked as well.
        SpareCores* const lender = options.threads == 1 ? options.spareCores : nullptr;
        const SpareCores::Loan lent(lender, 64 - 1);
        ibwt(data, work, dataSize, first, options.threads + lent.count(), &*table, lender);
    }
    log.finish("   Block decompression time: ");
}

#endif
