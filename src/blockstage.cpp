#include "blockstage.h"

#include "diagnostics.h"

BlockLog::Stage::Stage(BlockLog& owner, const char* label) : log(owner), slot(owner.numStages) {
    Q38_ASSERT(slot < maxStages);
    log.stages[slot] = Timed{label, readClock(), -1};
    ++log.numStages;
}

BlockLog::Stage::~Stage() { log.stages[slot].stop = readClock(); }

void BlockLog::finish(const char* label) const {
    if (!out) return;
    for (unsigned i = 0; i < numStages; ++i) printTime(*out, stages[i].label, stages[i].start, stages[i].stop);
    printTime(*out, label, blockStart, readClock());
}

unsigned forwardTransformStage(char* data, unsigned dataSize, const CodecOptions& options, BlockLog& log) {
    const DumpSinks& dumps = options.dumps;
    if (dumps.inputHist) printInputHistToFile(*dumps.inputHist, data, dataSize);
    log.line("   Performing BWT...");
    unsigned first;
    {
        BlockLog::Stage stage(log, "   BWT time: ");
        first = bwt(data, dataSize, dumps.suffixes, options.threads, options.hugePages, options.spareCores,
                    SortRoad::chosen, options.scratch ? &options.scratch->entries : nullptr);
    }
    log.value("      First suffix index: ", first);
    if (dumps.bwtData) printBWTDataToFile(*dumps.bwtData, data, dataSize, first);
    return first;
}

void checkPrimaryIndex(unsigned index, unsigned size) {
    if (index >= size) throw Exception("Error in compressed file (first suffix index out of range)");
}

unsigned readPrimaryIndex(InBitStream& bits, unsigned dataSize, const BlockLog& log) {
    const unsigned first = bits.getBits(32);
    checkPrimaryIndex(first, dataSize);
    log.value("      First suffix index: ", first);
    return first;
}
