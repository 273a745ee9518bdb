// Memory kept across blocks (each worker's tables, the blocks' buffers):
// blocks of changing sizes restore exactly at every thread count, a damaged
// block lets none of its bytes (nor an earlier block's left in the kept
// memory) reach the output, and the peak does not grow with the blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

const std::string exe = Q38_EXE;

std::uint32_t u32At(const std::string& c, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(c[at + static_cast<std::size_t>(i)]);
    return v;
}

// Where each block's payload starts and how many bytes it restores, over
// every member of a well-formed file.
struct BlockAt {
    std::size_t payload;
    std::uint32_t dataSize;
};
std::vector<BlockAt> blocksOf(const std::string& c) {
    std::vector<BlockAt> blocks;
    std::size_t at = 0;
    while (at + 12 <= c.size()) {
        std::uint64_t left = u32At(c, at + 8);
        at += 12;
        while (left > 0 && at + 18 <= c.size()) {
            blocks.push_back({at + 18, u32At(c, at + 8)});
            left -= u32At(c, at + 8);
            at += 18 + u32At(c, at + 4);
        }
    }
    EXPECT_EQ(at, c.size());
    return blocks;
}

// One member: its data and the block size it is compressed with.
struct Member {
    std::string data;
    const char* blockSize;
};

// Three members whose blocks grow to the largest in the middle member and
// shrink after it, the last one short; text (the induced sorter, DC runs)
// beside spread bytes (prefix doubling, few runs), so that kept memory
// holds an earlier block's bytes wherever a block could read stale ones.
std::vector<Member> members() {
    return {{testutil::textLike(3 * 70000, 21), "70000"},
            {testutil::randomBytes(150000, 256, 22) + testutil::textLike(450000, 23), "300000"},
            {testutil::randomBytes(100000, 5, 24) + testutil::textLike(150000, 25), "120000"}};
}

// The members compressed with `flags` one after another into "packed";
// returns their data, concatenated.
std::string packMembers(const TempDir& dir, const std::vector<std::string>& flags) {
    std::string all, packed;
    for (const Member& m : members()) {
        writeFile(dir / "in", m.data);
        std::vector<std::string> args = {exe, "-c", "in", "-o", "member", "-b", m.blockSize};
        args.insert(args.end(), flags.begin(), flags.end());
        const testutil::ChildRun r = testutil::runChild(dir.path(), args);
        EXPECT_EQ(r.status, 0) << r.err;
        all += m.data;
        packed += readFile(dir / "member");
    }
    writeFile(dir / "packed", packed);
    return all;
}

const char* const threadCounts[] = {"1", "2", "3"};

TEST(KeptMemory, BlocksOfChangingSizesRestoreAtEveryThreadCount) {
    const std::vector<std::vector<std::string>> variants = {{}, {"-p"}, {"-m"}};
    for (const auto& flags : variants) {
        TempDir dir;
        const std::string original = packMembers(dir, flags);
        const std::vector<BlockAt> blocks = blocksOf(readFile(dir / "packed"));
        ASSERT_EQ(blocks.size(), 3u + 2u + 3u);
        for (const char* t : threadCounts) {
            SCOPED_TRACE((flags.empty() ? std::string("default") : flags[0]) + ", threads " + t);
            std::vector<std::string> args = {exe, "-e", "packed", "-o", "restored", "--threads", t};
            if (flags == std::vector<std::string>{"-p"}) args.push_back("-p");  // the setting extraction needs
            const testutil::ChildRun r = testutil::runChild(dir.path(), args);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(readFile(dir / "restored") == original);
        }
    }
}

// One file of blocks of both sorters, compressed at every thread count: the
// same bytes, and they restore.
TEST(KeptMemory, CompressionOfMixedBlocksIsTheSameAtEveryThreadCount) {
    TempDir dir;
    const std::string data = testutil::textLike(200000, 31) + testutil::randomBytes(140000, 256, 32) +
                             testutil::textLike(260000, 33) + testutil::randomBytes(30000, 3, 34);
    writeFile(dir / "in", data);
    std::string first;
    for (const char* t : threadCounts) {
        SCOPED_TRACE(std::string("threads ") + t);
        const testutil::ChildRun c =
            testutil::runChild(dir.path(), {exe, "-c", "in", "-o", "packed", "-b", "70000", "--threads", t});
        ASSERT_EQ(c.status, 0) << c.err;
        const std::string packed = readFile(dir / "packed");
        if (first.empty()) first = packed;
        EXPECT_TRUE(packed == first);
        const testutil::ChildRun e = testutil::runChild(dir.path(), {exe, "-e", "packed", "-o", "back"});
        ASSERT_EQ(e.status, 0) << e.err;
        EXPECT_TRUE(readFile(dir / "back") == data);
    }
}

// A damaged block after the largest ones, decoded on memory they left: the
// same error at every thread count, and standard output holds exactly the
// blocks before it.
TEST(KeptMemory, DamagedBlockInTheMiddleWritesOnlyTheBlocksBeforeIt) {
    TempDir dir;
    const std::string original = packMembers(dir, {});
    std::string packed = readFile(dir / "packed");
    const std::vector<BlockAt> blocks = blocksOf(packed);
    ASSERT_EQ(blocks.size(), 8u);
    // The third member's first block, after the 300000-byte ones; its first
    // 8 payload bytes are the primary index and the value count.
    const std::size_t damaged = 5;
    std::size_t before = 0;
    for (std::size_t k = 0; k < damaged; ++k) before += blocks[k].dataSize;
    for (const std::size_t offset : {std::size_t(8), std::size_t(400)}) {
        std::string bad = packed;
        bad[blocks[damaged].payload + offset] = static_cast<char>(bad[blocks[damaged].payload + offset] ^ 0x5a);
        writeFile(dir / "bad", bad);
        std::string firstErr;
        for (const char* t : threadCounts) {
            SCOPED_TRACE("offset " + std::to_string(offset) + ", threads " + t);
            const testutil::ChildRun r = testutil::runChild(
                dir.path(), {"/bin/sh", "-c", "'" + exe + "' -e - --threads " + t + " < bad > partial"});
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.err.rfind("ERROR: Error in compressed file (", 0), 0u) << r.err;
            if (firstErr.empty()) firstErr = r.err;
            EXPECT_EQ(r.err, firstErr);
            EXPECT_TRUE(readFile(dir / "partial") == original.substr(0, before));
        }
    }
}

// Extracting 32 blocks takes no more memory than extracting 4 of the same
// size: nothing kept grows with the number of blocks.
TEST(KeptMemory, PeakDoesNotGrowWithTheBlocks) {
    // The sanitizers' shadow and quarantined memory grow with the work done.
    if (std::getenv("Q38_SANITIZED")) GTEST_SKIP() << "peak memory is measured on the Release build";
    TempDir dir;
    const std::uint32_t block = 1u << 20;
    long peak[2] = {0, 0};
    const unsigned counts[2] = {4, 32};
    for (int k = 0; k < 2; ++k) {
        writeFile(dir / "in", testutil::textLike(std::size_t(counts[k]) * block, 41));
        const testutil::ChildRun c = testutil::runChild(
            dir.path(), {exe, "-c", "in", "-o", "packed", "-b", std::to_string(block), "--threads", "2"});
        ASSERT_EQ(c.status, 0) << c.err;
        const testutil::ChildRun e =
            testutil::runChild(dir.path(), {exe, "-e", "packed", "-o", "back", "--threads", "2"});
        ASSERT_EQ(e.status, 0) << e.err;
        peak[k] = e.maxRssKiB;
    }
    // Up to 2 workers and 4 blocks ahead are in flight either way.
    EXPECT_LT(peak[1], peak[0] + 4 * 1024) << "4 blocks: " << peak[0] << " KiB, 32 blocks: " << peak[1] << " KiB";
}

}  // namespace
