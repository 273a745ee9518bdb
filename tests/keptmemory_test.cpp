// Memory kept across blocks (each worker's tables, the blocks' buffers):
// blocks of changing sizes and of both sorters compress to the same bytes
// and restore exactly at every thread count, a damaged block lets none of
// its bytes (nor an earlier block's left in kept memory) reach the output,
// and the peak does not grow with the blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::readFile;
using testutil::runChild;
using testutil::TempDir;
using testutil::writeFile;

const std::string exe = Q38_EXE;
const char* const threadCounts[] = {"1", "2", "3"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Three members, each compressed with `args` and its own block size, one
// after another into "packed": blocks of 70000, 300000 (the largest, in the
// middle) and 120000 bytes, the last one short; text (the induced sorter)
// beside spread bytes (prefix doubling, which releases the kept table).
// Returns the members' data and their compressed sizes.
struct Member {
    std::string data;
    std::size_t packedSize;
};
std::vector<Member> packMembers(const TempDir& dir, const std::vector<std::string>& args) {
    const std::pair<std::string, const char*> inputs[] = {
        {testutil::textLike(3 * 70000, 21), "70000"},
        {testutil::randomBytes(300000, 256, 22) + testutil::textLike(300000, 23), "300000"},
        {testutil::randomBytes(100000, 5, 24) + testutil::textLike(150000, 25), "120000"}};
    std::vector<Member> members;
    std::string packed;
    for (const auto& [data, blockSize] : inputs) {
        writeFile(dir / "in", data);
        const auto r = runChild(dir.path(), with({exe, "-c", "in", "-o", "member", "-b", blockSize}, args));
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string member = readFile(dir / "member");
        members.push_back({data, member.size()});
        packed += member;
    }
    writeFile(dir / "packed", packed);
    return members;
}

TEST(KeptMemory, BlocksOfChangingSizesAtEveryThreadCount) {
    for (const auto& flags : {std::vector<std::string>{}, {"-p"}, {"-m"}}) {
        TempDir dir;
        std::string first;
        for (const char* t : threadCounts) {
            SCOPED_TRACE((flags.empty() ? std::string("default") : flags[0]) + ", threads " + t);
            std::vector<std::string> args = {"--threads", t};
            std::string original;
            for (const Member& m : packMembers(dir, with(args, flags))) original += m.data;
            const std::string packed = readFile(dir / "packed");
            if (first.empty()) first = packed;
            EXPECT_TRUE(packed == first);
            // Extraction needs -p given again; the method is in the file.
            if (flags == std::vector<std::string>{"-p"}) args.push_back("-p");
            const auto r = runChild(dir.path(), with({exe, "-e", "packed", "-o", "restored"}, args));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(readFile(dir / "restored") == original);
        }
    }
}

// The third member's first block, decoded on memory the largest blocks
// left, damaged: the same error at every thread count, and standard output
// holds exactly the two members before it.
TEST(KeptMemory, DamagedBlockInTheMiddleWritesOnlyTheBlocksBeforeIt) {
    TempDir dir;
    const std::vector<Member> m = packMembers(dir, {});
    std::string bad = readFile(dir / "packed");
    // Past the member and block headers and the payload's first values.
    const std::size_t at = m[0].packedSize + m[1].packedSize + 12 + 18 + 400;
    bad[at] = static_cast<char>(bad[at] ^ 0x5a);
    writeFile(dir / "bad", bad);
    std::string firstErr;
    for (const char* t : threadCounts) {
        SCOPED_TRACE(std::string("threads ") + t);
        const auto r = runChild(dir.path(), {"/bin/sh", "-c", "'" + exe + "' -e - --threads " + t + " < bad > part"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.rfind("ERROR: Error in compressed file (", 0), 0u) << r.err;
        if (firstErr.empty()) firstErr = r.err;
        EXPECT_EQ(r.err, firstErr);
        EXPECT_TRUE(readFile(dir / "part") == m[0].data + m[1].data);
    }
}

// Extracting 40 blocks takes no more memory than extracting 8 of the same
// size: nothing kept grows with the number of blocks. Both files are longer
// than the 2 workers and 4 blocks ahead that may be in flight. The margin
// allows for how many of the buffers get whole huge pages on a loaded
// machine; a leak of a third of a block per block exceeds it.
TEST(KeptMemory, PeakDoesNotGrowWithTheBlocks) {
    // The sanitizers' shadow and quarantined memory grow with the work done.
    if (std::getenv("Q38_SANITIZED")) GTEST_SKIP() << "peak memory is measured on the Release build";
    TempDir dir;
    long peak[2] = {0, 0};
    const unsigned blocks[2] = {8, 40};
    for (int k = 0; k < 2; ++k) {
        writeFile(dir / "in", testutil::textLike(std::size_t(blocks[k]) << 20, 41));
        ASSERT_EQ(runChild(dir.path(), {exe, "-c", "in", "-o", "packed", "-b", "1048576"}).status, 0);
        const auto e = runChild(dir.path(), {exe, "-e", "packed", "-o", "back", "--threads", "2"});
        ASSERT_EQ(e.status, 0) << e.err;
        peak[k] = e.maxRssKiB;
    }
    EXPECT_LT(peak[1], peak[0] + 8 * 1024) << "8 blocks: " << peak[0] << " KiB, 40 blocks: " << peak[1] << " KiB";
}

}  // namespace
