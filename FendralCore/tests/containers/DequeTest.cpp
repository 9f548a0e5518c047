#include "FendralCore/tests/containers/SequenceFixture.h"

namespace
{

using DequeTest = SequenceTest<Deque>;

TEST_F(DequeTest, PushesReestablishBothPositions)
{
    fill({1, 2, 3});
    ASSERT_EQ(first(), 1);
    m_seq.pushBack(9);
    EXPECT_EQ(current(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(next(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(prev(), 9);

    m_seq.pushFront(8);
    EXPECT_EQ(current(), 8);
    EXPECT_EQ(next(), 8);
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(contents(), (std::vector<DataValueType>{8, 1, 2, 3, 9}));
    EXPECT_EQ(m_seq.getSize(), 5);
}

TEST_F(DequeTest, InsertsInsideKeepPositionsOnTheirElements)
{
    // Many inserts and removals inside the sequence move the storage; the
    // positions follow their elements, checked under the address sanitizer.
    fill({0});
    ASSERT_EQ(first(), 0);
    for (DataValueType v = 1; v <= 2000; ++v)
        ASSERT_TRUE(m_seq.insertBefore(v));
    EXPECT_EQ(current(), 2000);
    EXPECT_EQ(next(), 1999);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(removeCurrent(), 1999 - i);
    EXPECT_EQ(current(), 999);
    EXPECT_EQ(prev(), 2000);
    EXPECT_EQ(m_seq.getSize(), 1001);
}

} // namespace
