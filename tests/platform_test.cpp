#include "platform.h"

#include <gtest/gtest.h>

namespace {

// What a sort may borrow after each event of a run: cores no block being
// coded holds, and only once the last block has started.
TEST(SpareCores, LendsOnlyWhatNoBlockHoldsOnceTheLastHasStarted) {
    SpareCores spare(3);
    spare.blockStarted();
    spare.blockStarted();
    EXPECT_EQ(spare.borrow(3), 0u) << "a freed core waits for the next block";
    spare.blockEnded();
    EXPECT_EQ(spare.borrow(3), 0u) << "still before the last block";
    spare.blockStarted();
    spare.lastBlockStarted();
    EXPECT_EQ(spare.borrow(3), 1u) << "three cores, two held";
    EXPECT_EQ(spare.borrow(3), 0u) << "the one spare is lent";
    spare.blockEnded();
    EXPECT_EQ(spare.borrow(1), 1u);
    spare.giveBack(2);
    spare.blockEnded();
    EXPECT_EQ(spare.borrow(5), 3u) << "every core back";
}

TEST(SpareCores, LoanGivesBackWhenItEnds) {
    SpareCores spare(4);
    spare.lastBlockStarted();
    {
        const SpareCores::Loan a(&spare, 2);
        EXPECT_EQ(a.count(), 2u);
        const SpareCores::Loan b(&spare, 5);
        EXPECT_EQ(b.count(), 2u);
        const SpareCores::Loan none(nullptr, 5);
        EXPECT_EQ(none.count(), 0u);
    }
    EXPECT_EQ(spare.borrow(4), 4u);
}

}  // namespace
