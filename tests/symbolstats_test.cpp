// Adaptive model: ranges before counting, halving at the limit, symbol
// lookup, and the model driving the coder both ways.
#include "symbolstats.h"

#include "arithmeticcodec.h"

#include <gtest/gtest.h>

#include <array>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>

namespace {

using Stats = AdaptiveSymbolStats<unsigned>;

void expectRange(const SymbolRange& r, unsigned low, unsigned high, unsigned total) {
    EXPECT_EQ(r.symbolLow, low);
    EXPECT_EQ(r.symbolHigh, high);
    EXPECT_EQ(r.symbolTotal, total);
}

std::vector<unsigned> counts(const Stats& m) {
    std::vector<unsigned> c;
    for (unsigned s = 0; s < m.num; ++s) c.push_back(m.tab[s + 1] - m.tab[s]);
    return c;
}

TEST(AdaptiveSymbolStats, RangeIsTakenBeforeCounting) {
    Stats m(256);
    EXPECT_EQ(m.getMax(), 256u);
    expectRange(m.getRangeThenUpdateAndLimit(5, 16384), 5, 6, 256);
    expectRange(m.getRangeThenUpdateAndLimit(5, 16384), 5, 7, 257);
    EXPECT_EQ(m.getMax(), 258u);
}

TEST(AdaptiveSymbolStats, RescaleAtLimit) {
    Stats m(2);
    expectRange(m.getRangeThenUpdateAndLimit(0, 4), 0, 1, 2);
    EXPECT_EQ(counts(m), (std::vector<unsigned>{2, 1}));
    expectRange(m.getRangeThenUpdateAndLimit(0, 4), 0, 2, 3);
    // Total reached 4 with counts (3, 1): both halve to 1.
    EXPECT_EQ(counts(m), (std::vector<unsigned>{1, 1}));
    EXPECT_EQ(m.getMax(), 2u);
}

TEST(AdaptiveSymbolStats, HalvingRules) {
    // count before -> after: halved, rounded down, at least 1.
    const unsigned table[][2] = {{1, 1}, {2, 1}, {3, 1}, {5, 2}, {8, 4}, {101, 50}};
    const unsigned n = sizeof(table) / sizeof(table[0]);
    Stats m(n);
    unsigned total = n;
    for (unsigned s = 0; s < n; ++s) {
        m.update(s, table[s][0] - 1);
        total += table[s][0] - 1;
    }
    m.limit(total + 1);  // not equal: nothing happens
    EXPECT_EQ(m.getMax(), total);
    m.limit(total);
    const std::vector<unsigned> c = counts(m);
    for (unsigned s = 0; s < n; ++s) EXPECT_EQ(c[s], table[s][1]) << "count " << table[s][0];
    EXPECT_EQ(m.tab[0], 0u);
}

TEST(AdaptiveSymbolStats, TotalStaysBelowLimit) {
    std::mt19937 rng(11);
    Stats m(257);
    for (int i = 0; i < 100000; ++i) {
        const unsigned s = rng() % 4 ? rng() % 3 : rng() % 257;
        const SymbolRange r = m.getRangeThenUpdateAndLimit(s, 16384);
        ASSERT_LT(r.symbolTotal, 16384u);
        ASSERT_LT(r.symbolLow, r.symbolHigh);
        ASSERT_LT(m.getMax(), 16384u);
    }
    for (unsigned c : counts(m)) EXPECT_GE(c, 1u);
}

TEST(AdaptiveSymbolStats, GetSymbolFindsOwner) {
    std::mt19937 rng(1);
    for (unsigned n : {2u, 3u, 4u, 7u, 256u, 257u}) {
        Stats m(n);
        for (int i = 0; i < 3000; ++i) m.update(rng() % n, rng() % 5);
        for (unsigned s = 0; s < n; ++s) {
            ASSERT_EQ(m.getSymbol(m.tab[s]), s) << "n " << n;
            ASSERT_EQ(m.getSymbol(m.tab[s + 1] - 1), s) << "n " << n;
        }
    }
}

TEST(AdaptiveSymbolStats, ResetAndEmptyModel) {
    Stats m(10);
    m.update(3, 7);
    m.reset(4);
    EXPECT_EQ(m.num, 4u);
    EXPECT_EQ(counts(m), (std::vector<unsigned>{1, 1, 1, 1}));
    m.reset(0);
    EXPECT_EQ(m.num, 0u);
    EXPECT_EQ(m.getMax(), 0u);
    m.limit(0);
    EXPECT_EQ(m.getMax(), 0u);
    m.reset(3);
    EXPECT_EQ(m.getMax(), 3u);
}

TEST(AdaptiveSymbolStatsDeathTest, Checks) {
    Stats m(4);
    EXPECT_DEATH(m.getRangeThenUpdateAndLimit(4, 100), "symbol < num.*symbolstats");
    EXPECT_DEATH(m.getSymbol(4), "code < tab\\[num\\].*symbolstats");
    Stats empty(0);
    EXPECT_DEATH(empty.getSymbol(0), "code < tab\\[num\\].*symbolstats");
}

// The model on both sides of the 16-bit coder, at both limits in use.
TEST(AdaptiveSymbolStats, DrivesCoderRoundTrip) {
    for (unsigned limit : {4096u, 16384u}) {
        std::mt19937 rng(limit);
        const unsigned n = 257;
        std::vector<unsigned> symbols(60000);
        for (unsigned& s : symbols) s = rng() % 3 ? rng() % 2 : rng() % n;

        std::stringstream io;
        {
            StreamOutBitStream w(io, bitStreamBufferWords);
            w.reset();
            ArithmeticCoder<unsigned, unsigned, 16> c(w);
            Stats m(n);
            for (unsigned s : symbols) {
                const SymbolRange r = m.getRangeThenUpdateAndLimit(s, limit);
                c.encode(r.symbolLow, r.symbolHigh, r.symbolTotal);
            }
            c.flush();
            w.flush();
        }
        StreamInBitStream in(io, bitStreamBufferWords);
        ArithmeticDecoder<unsigned, unsigned, 16> d(in);
        d.start();
        Stats m(n);
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const unsigned s = m.getSymbol(d.decode(m.getMax()));
            ASSERT_EQ(s, symbols[i]) << "limit " << limit << " symbol " << i;
            const SymbolRange r = m.getRangeThenUpdateAndLimit(s, limit);
            d.decodeExtract(r.symbolLow, r.symbolHigh, r.symbolTotal);
        }
    }
}

}  // namespace

namespace {

// The model's table as plain scalar code would keep it, for comparison with
// the vector update paths (short tails, long tails, every remainder).
TEST(AdaptiveSymbolStats, UpdateMatchesScalarAddOnEveryTail) {
    for (unsigned n : {1u, 2u, 3u, 7u, 8u, 9u, 15u, 57u, 63u, 64u, 65u, 71u, 72u, 256u, 257u, 300u}) {
        Stats m(n);
        std::vector<unsigned> ref(n + 1);
        for (unsigned i = 0; i <= n; ++i) ref[i] = i;
        for (unsigned s = 0; s < n; ++s) {
            const unsigned inc = 1 + s % 3;
            m.update(s, inc);
            for (unsigned i = s + 1; i <= n; ++i) ref[i] += inc;
            ASSERT_TRUE(std::equal(ref.begin(), ref.end(), m.tab)) << "n " << n << " symbol " << s;
        }
    }
}

// Every code of skewed and flat tables finds the symbol that owns it, as a
// plain walk over the table does.
TEST(AdaptiveSymbolStats, GetSymbolMatchesWalkOnEveryCode) {
    std::mt19937 rng(7);
    for (unsigned n : {2u, 3u, 4u, 5u, 33u, 57u, 256u, 257u}) {
        Stats m(n);
        for (int round = 0; round < 4; ++round) {
            for (int i = 0; i < 200; ++i) {
                // Mostly small symbols, as after move-to-front.
                const unsigned s = (rng() % 4 == 0) ? rng() % n : rng() % std::min(n, 3u);
                m.getRangeThenUpdateAndLimit(s, 16384);
            }
            unsigned owner = 0;
            for (unsigned code = 0; code < m.getMax(); ++code) {
                while (m.tab[owner + 1] <= code) ++owner;
                ASSERT_EQ(m.getSymbol(code), owner) << "n " << n << " code " << code;
            }
        }
    }
}

}  // namespace

namespace {

// The decoders' model kept from the top must pass through the encoder's
// states: the same ranges for every counted symbol, halvings included (small
// limits halve often), and the same symbol for every code in between.
template <class Model>
void expectSameStepsAsAdaptive(const std::vector<std::array<unsigned, 2>>& cases) {
    std::mt19937 rng(11);
    for (const auto& c : cases) {
        const unsigned n = c[0], limit = c[1];
        Stats ref(n);
        Model m(n);
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(m.getMax(), ref.getMax()) << "n " << n << " step " << i;
            if (i % 500 == 0) {
                for (unsigned code = 0; code < ref.getMax(); ++code)
                    ASSERT_EQ(m.getSymbol(code), ref.getSymbol(code)) << "n " << n << " code " << code;
            } else {
                const unsigned code = rng() % ref.getMax();
                ASSERT_EQ(m.getSymbol(code), ref.getSymbol(code)) << "n " << n << " code " << code;
            }
            // Mostly small symbols, as after move-to-front, some anywhere.
            const unsigned s = rng() % 3 == 0 ? rng() % n : rng() % std::min(n, 3u);
            const SymbolRange a = ref.getRangeThenUpdateAndLimit(s, limit);
            const SymbolRange b = m.getRangeThenUpdateAndLimit(s, limit);
            ASSERT_EQ(b.symbolLow, a.symbolLow) << "n " << n << " step " << i;
            ASSERT_EQ(b.symbolHigh, a.symbolHigh) << "n " << n << " step " << i;
            ASSERT_EQ(b.symbolTotal, a.symbolTotal) << "n " << n << " step " << i;
        }
    }
}

TEST(TopDownSymbolStats, MatchesAdaptiveModelStepForStep) {
    expectSameStepsAsAdaptive<TopDownSymbolStats>({{2, 5}, {3, 40}, {17, 64}, {45, 4096}, {256, 300}, {257, 16384}});
}

// The vector model over its whole range: the smallest and largest alphabets,
// the bucket model's own size and limit, both sides of 48 symbols (where the
// table's last two vectors start to count), and a limit that halves all the time.
TEST(SmallSymbolStats, MatchesAdaptiveModelStepForStep) {
    expectSameStepsAsAdaptive<SmallSymbolStats>({{2, 5}, {3, 40}, {8, 9}, {17, 64}, {46, 4096}, {48, 300}, {49, 300}, {57, 4096}, {63, 70}, {63, 32767}});
}

}  // namespace
