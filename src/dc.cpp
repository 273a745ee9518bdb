#include "dc.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "diagnostics.h"
#include "distancecodec.h"

namespace {

constexpr unsigned alphabet = 256;

// Items made on a second thread, a chunk at a time, while the calling
// thread uses them: decoded values while it rebuilds the runs. The two
// halves share no state, only the items, which pass through a ring of
// chunks. next() gives exactly the sequence of source() calls, and the
// exception of a failed call at the place where one thread would have met
// it.
template <class Item, class Source>
class Ahead {
public:
    // Starts making `count` items with `s`, which the other thread takes
    // over. When no thread can be started, next() makes each item itself.
    // `idle`, if given, is a chore done a step at a time on the calling
    // thread while it waits for items (it returns false once done).
    Ahead(Source&& s, std::uint32_t count, std::function<bool()> idle = nullptr)
        : total(count), ring(new Item[ringSize]), source(std::move(s)), idleStep(std::move(idle)) {
        alone = !tryStartThread(worker, [this] { produce(); });
    }

    // Stops the other thread (after at most one chunk) and waits for it.
    ~Ahead() {
        if (alone) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
    }

    Ahead(const Ahead&) = delete;
    Ahead& operator=(const Ahead&) = delete;

    // The next item. REQUIRES fewer than `count` calls so far.
    const Item& next() {
        if (alone) return ring[0] = source();
        if (taken == ready) fetch();
        return ring[taken++ & ringMask];
    }

private:
    static constexpr std::uint32_t chunk = 4096;
    static constexpr std::uint32_t ringSize = 16 * chunk;
    static constexpr std::uint32_t ringMask = ringSize - 1;

    // Hands back every slot read so far and waits for more items, or for
    // the failure that ends them right here.
    void fetch() {
        std::unique_lock<std::mutex> lock(mutex);
        released = taken;
        changed.notify_all();
        while (idleStep && produced == taken && !failure) {
            lock.unlock();
            const bool more = idleStep();
            lock.lock();
            if (!more) idleStep = nullptr;
        }
        changed.wait(lock, [this] { return produced != taken || failure; });
        if (produced == taken) std::rethrow_exception(failure);
        ready = produced;
    }

    void produce() {
        std::uint32_t i = 0;
        try {
            while (i < total) {
                const std::uint32_t end = total - i > chunk ? i + chunk : total;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    // The slots of [i, end) are free once the reader has
                    // handed back everything before end - ringSize.
                    changed.wait(lock, [&] { return stopping || end - released <= ringSize; });
                    if (stopping) return;
                }
                for (; i < end; ++i) ring[i & ringMask] = source();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    produced = end;
                }
                changed.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                produced = i;  // the items before the failure stay good
                failure = std::current_exception();
            }
            changed.notify_all();
        }
    }

    // Each side's state on cache lines of its own: the reader writes its
    // counts for every item, which must not evict the source's state.
    const std::uint32_t total;
    const std::unique_ptr<Item[]> ring;
    alignas(64) Source source;
    // The reader's own counts: items read, and items it may read.
    alignas(64) std::uint32_t taken = 0;
    std::uint32_t ready = 0;
    std::function<bool()> idleStep;  // the reader's chore, null once done
    // Shared, under the mutex.
    alignas(64) std::mutex mutex;
    std::condition_variable changed;
    std::uint32_t produced = 0;  // items in the ring for the reader
    std::uint32_t released = 0;  // the reader is done with every item before this
    bool stopping = false;
    std::exception_ptr failure;
    bool alone = false;  // no second thread: next() calls the source
    std::thread worker;
};

// The decoding half of a value decoder (which it owns).
template <class Decoder>
struct Decoding {
    Decoder decoder;
    std::uint32_t operator()() { return decoder.decode(); }
};

// Fewer values than this are not worth a thread.
constexpr std::uint32_t minValuesAhead = 1u << 15;

// The DC values of a planned coder in order, each chunk worked out when its
// first value is asked for.
class ChunkedValues {
public:
    explicit ChunkedValues(DistanceCoder<char, std::uint32_t>& coder)
        : dc(&coder), at(coder.codeBegin), ready(coder.codeBegin + alphabet) {}

    std::uint32_t operator()() {
        while (at == ready) {
            dc->encodeChunk(chunk);
            ready = dc->chunkEnd(chunk++);
        }
        return dc->values[at++];
    }

private:
    DistanceCoder<char, std::uint32_t>* dc;
    std::uint32_t at;     // the next value
    std::uint32_t ready;  // the values before it are worked out (the header at first)
    unsigned chunk = 0;   // the next chunk to work out
};

// Blocks this small are coded after their whole DC scan; larger ones in
// chunks of this many positions, a few milliseconds of coding each.
constexpr std::uint32_t minBytesChunked = 1u << 18;
constexpr std::uint32_t chunkBytes = 1u << 16;

// The DC data of `count` values (drawn from next()) back into the transform
// `work` of `dataSize` bytes, through the decoder type Dc; the bitmap
// decoder keeps its map in the worker's memory when there is some.
template <template <class, class> class Dc, class Next>
void rebuildRunsWith(Next&& next, std::uint32_t count, unsigned char* work, unsigned dataSize,
                     BlockScratch* kept) {
    Dc<char, std::uint32_t> dc(alphabet);
    char* const block = reinterpret_cast<char*>(work);
    if constexpr (std::is_same_v<Dc<char, std::uint32_t>, DistanceMapDecoder<char, std::uint32_t>>) {
        if (kept)
            dc.start(dataSize, block, kept->places.get(dc.wordsFor(dataSize)));
        else
            dc.start(dataSize, block);
    } else {
        dc.start(dataSize, block);
    }
    std::uint32_t i = 0;
    for (; i < count && i < alphabet; ++i) dc.feedSymbol(static_cast<char>(i), next());
    // The decoder's position is the number of bytes produced so far; it
    // never passes dataSize, so the runs stay inside the work buffer.
    for (; i < count; ++i) {
        if (dc.pos == dataSize) throw Exception("Error in compressed file (invalid DC data)");
        const auto run = dc.decode(next());
        // The decoder put the symbol at the run's start: data with little
        // structure, mostly single bytes, needs nothing more.
        if (run.second > 1) std::memset(work + dc.pos - run.second, run.first, run.second);
    }
    while (dc.pos < dataSize) {
        const auto run = dc.decodeEnding();
        std::memset(work + dc.pos - run.second, run.first, run.second);
    }
}

// Runs of a few bytes on average keep many run starts pending: the bitmap
// decoder's case. From a run per five bytes it is the faster one beside the
// arithmetic decoder on the same thread (bench/RESULTS.md); with longer runs
// its count of free places spans more words.
template <class Next>
void rebuildRuns(Next&& next, std::uint32_t count, unsigned char* work, unsigned dataSize, BlockScratch* kept) {
    if (count - std::min<std::uint32_t>(count, alphabet) >= dataSize / 5)
        rebuildRunsWith<DistanceMapDecoder>(next, count, work, dataSize, kept);
    else
        rebuildRunsWith<DistanceDecoder>(next, count, work, dataSize, kept);
}

template <class Coder>
void packBlockDCAdaptiveT(std::ostream& os, char* data, unsigned dataSize, const CodecOptions& options) {
    packBlockWith(os, data, dataSize, options, [&](OutBitStream& bits, unsigned first, BlockLog& log) {
        log.line("   Performing DC coding...");
        // A core other blocks no longer need gives the coding its second thread.
        const SpareCores::Loan lent(options.threads == 1 ? options.spareCores : nullptr, 1);
        const unsigned threads = options.threads + lent.count();
        const DumpSinks& dumps = options.dumps;
        // With a second thread the values are worked out chunk by chunk
        // ahead of the coder, which codes each chunk once it is done (the
        // dumps need them all first).
        const bool chunked = threads > 1 && dataSize >= minBytesChunked && !dumps.dcHist && !dumps.dcData &&
                             DistanceCoder<char, std::uint32_t>::manyRuns(data, dataSize);
        DistanceCoder<char, std::uint32_t> dc(alphabet);
        {
            BlockLog::Stage stage(log, "   DC time: ");
            // The values go to the worker's kept memory when it has some.
            std::uint32_t* const room =
                options.scratch ? options.scratch->entries.get(std::size_t(dataSize) + alphabet) : nullptr;
            if (chunked)
                dc.plan(data, data + dataSize, chunkBytes, threads, room);
            else
                dc.encode(data, data + dataSize, threads, room);
        }
        const std::uint32_t* const values = dc.values + dc.codeBegin;
        const std::uint32_t count = dc.codeEnd - dc.codeBegin;
        log.value("      Size of data after DC: ", count);
        if (dumps.dcHist) printDCHistToFile(*dumps.dcHist, values, count);
        if (dumps.dcData) printDCDataToFile(*dumps.dcData, values, count);

        Coder coder(dataSize, bits);
        log.line("   Coding data to arithmetic stream...");
        log.value("      Number of symbols: ", coder.numSymbols);
        BlockLog::Stage stage(log, "   Adaptive arithmetic time: ");
        bits.reset();
        bits.putBits(first, 32);
        bits.putBits(count, 32);
        if (chunked) {
            Ahead<std::uint32_t, ChunkedValues> ahead(ChunkedValues(dc), count);
            for (std::uint32_t i = 0; i < count; ++i) coder.encode(ahead.next());
        } else {
            for (std::uint32_t i = 0; i < count; ++i) coder.encode(values[i]);
        }
        coder.flush();
        bits.flush();
    });
}

template <class Decoder>
void unpackBlockDCAdaptiveT(std::istream& is, char* data, unsigned dataSize, const CodecOptions& options) {
    unpackBlockWith(is, data, dataSize, options, "   iDC + adaptive arithmetic time: ",
                    [&](InBitStream& bits, unsigned char* work, const BlockLog& log, InverseTable& table) {
        Decoder decoder(dataSize, bits);
        log.line("   Decoding data from arithmetic stream, performing iDC...");
        log.value("      Number of symbols: ", decoder.numSymbols);
        const unsigned first = readPrimaryIndex(bits, dataSize, log);
        const std::uint32_t count = bits.getBits(32);
        // At most the 256 header values and one value per run.
        if (count > alphabet + static_cast<std::uint64_t>(dataSize))
            throw Exception("Error in compressed file (DC data length out of range)");
        log.value("      Size of DC data: ", count);
        decoder.start();

        const bool decodeAhead = count >= minValuesAhead;
        const SpareCores::Loan lent(options.threads == 1 && decodeAhead ? options.spareCores : nullptr, 1);
        if (options.threads + lent.count() > 1 && decodeAhead) {
            // The runs are rebuilt faster than the values are decoded: while
            // waiting, this thread readies the inverse's row table, unless
            // the transform may be one of so few runs that the inverse walks
            // over its runs instead (each value beyond the header starts a run).
            const bool tableAhead = count - alphabet > dataSize / 256;
            Ahead<std::uint32_t, Decoding<Decoder>> ahead(
                Decoding<Decoder>{std::move(decoder)}, count,
                tableAhead ? std::function<bool()>([&table] { return table.prepareSome(); }) : nullptr);
            rebuildRuns([&] { return ahead.next(); }, count, work, dataSize, options.scratch);
        } else {
            rebuildRuns([&] { return decoder.decode(); }, count, work, dataSize, options.scratch);
        }
        return first;
    });
}

}  // namespace

void packBlockDCAdaptive(std::ostream& os, char* data, unsigned dataSize, const CodecOptions& options) {
    if (options.passThru)
        packBlockDCAdaptiveT<PassThruCoder>(os, data, dataSize, options);
    else
        packBlockDCAdaptiveT<AACoderForDC>(os, data, dataSize, options);
}

void unpackBlockDCAdaptive(std::istream& is, char* data, unsigned dataSize, const CodecOptions& options) {
    if (options.passThru)
        unpackBlockDCAdaptiveT<PassThruDecoder>(is, data, dataSize, options);
    else
        unpackBlockDCAdaptiveT<AADecoderForDC>(is, data, dataSize, options);
}
