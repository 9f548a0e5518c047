#include "FendralCore/tests/containers/SequenceFixture.h"

namespace
{

using LinkListTest = SequenceTest<LinkList>;

TEST_F(LinkListTest, PushesDuringAWalkDoNotMoveIt)
{
    fill({1, 2, 3});
    ASSERT_EQ(first(), 1);
    ASSERT_EQ(next(), 2);
    m_seq.pushFront(0);
    m_seq.pushBack(4);
    EXPECT_EQ(current(), 2);
    EXPECT_EQ(next(), 3);
    EXPECT_EQ(next(), 4);
    EXPECT_EQ(next(), -DAT_LIST_POS_LAST);

    // Standing on the last element, the walk goes on to what is pushed behind it.
    m_seq.pushBack(5);
    EXPECT_EQ(next(), 5);
    EXPECT_EQ(contents(), (std::vector<DataValueType>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(size(), 6U);
}

TEST_F(LinkListTest, ReverseKeepsTheCurrentElement)
{
    fill({1, 2, 3});
    ASSERT_EQ(first(), 1);
    ASSERT_EQ(next(), 2);
    m_seq.reverse();
    EXPECT_EQ(contents(), (std::vector<DataValueType>{3, 2, 1}));
    EXPECT_EQ(current(), 2);
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(next(), -DAT_LIST_POS_LAST);

    // Reversed while standing on the last element: the old first now follows.
    m_seq.reverse();
    EXPECT_EQ(current(), 1);
    EXPECT_EQ(next(), 2);

    // With no current element, both positions stay at the end.
    ASSERT_EQ(last(), 3);
    ASSERT_EQ(removeCurrent(), 3);
    m_seq.reverse();
    EXPECT_EQ(next(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(prev(), 1);
    EXPECT_EQ(prev(), 2);
    EXPECT_EQ(prev(), -DAT_LIST_POS_FIRST);
}

} // namespace
