// Cursor behaviour that Deque and LinkList share.
#include "FendralCore/tests/containers/SequenceFixture.h"

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <type_traits>

namespace
{

template <typename Seq>
class SequenceCursorTest : public SequenceTest<Seq>
{
};
using SequenceTypes = ::testing::Types<Deque, LinkList>;
TYPED_TEST_SUITE(SequenceCursorTest, SequenceTypes);

TYPED_TEST(SequenceCursorTest, EmptyContainerRefusesWithItsCodes)
{
    EXPECT_EQ(this->first(), -DAT_LIST_EMPTY);
    EXPECT_EQ(this->last(), -DAT_LIST_EMPTY);
    EXPECT_EQ(this->prev(), -DAT_LIST_EMPTY);
    EXPECT_EQ(this->popFront(), -DAT_LIST_EMPTY);
    EXPECT_EQ(this->popBack(), -DAT_LIST_EMPTY);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(this->current(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(this->removeCurrent(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(this->insertAfter(5), -DAT_LIST_POS_INVALID);
    EXPECT_TRUE(this->m_seq.isEmpty());

    EXPECT_TRUE(this->m_seq.insertBefore(7));
    EXPECT_EQ(this->current(), 7);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_LAST);
    EXPECT_EQ(this->size(), 1U);
}

TYPED_TEST(SequenceCursorTest, WalksBothWaysAndStaysOnTheEndElement)
{
    this->fill({1, 2, 3});
    EXPECT_EQ(this->first(), 1);
    EXPECT_EQ(this->next(), 2);
    EXPECT_EQ(this->next(), 3);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_LAST);
    EXPECT_EQ(this->current(), 3);

    EXPECT_EQ(this->last(), 3);
    EXPECT_EQ(this->prev(), 2);
    EXPECT_EQ(this->prev(), 1);
    EXPECT_EQ(this->prev(), -DAT_LIST_POS_FIRST);
    EXPECT_EQ(this->current(), 1);
    EXPECT_EQ(this->next(), 2);
}

TYPED_TEST(SequenceCursorTest, RemoveCurrentPutsBothPositionsOnTheFollower)
{
    this->fill({1, 2, 3, 4});
    ASSERT_EQ(this->first(), 1);
    EXPECT_EQ(this->removeCurrent(), 1);
    EXPECT_EQ(this->current(), 2);
    EXPECT_EQ(this->next(), 2);
    EXPECT_EQ(this->next(), 3);

    // Backward, the walk goes on from the element before the removed one.
    EXPECT_EQ(this->removeCurrent(), 3);
    EXPECT_EQ(this->prev(), 2);

    // The last element goes: no current element, and a step back gives the new last.
    ASSERT_EQ(this->last(), 4);
    EXPECT_EQ(this->removeCurrent(), 4);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(this->current(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(this->prev(), 2);
    EXPECT_EQ(this->contents(), (std::vector<DataValueType>{2}));
}

TYPED_TEST(SequenceCursorTest, InsertsBesideTheCurrentElementBecomeCurrent)
{
    auto& seq = this->m_seq;
    this->fill({1, 3});
    ASSERT_EQ(this->last(), 3);
    EXPECT_TRUE(seq.insertBefore(2));
    EXPECT_EQ(this->current(), 2);
    EXPECT_EQ(this->next(), 3);
    EXPECT_EQ(this->insertAfter(4), 4);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_LAST);
    ASSERT_EQ(this->first(), 1);
    EXPECT_EQ(this->insertAfter(9), 9);
    EXPECT_EQ(this->next(), 2);
    EXPECT_EQ(this->contents(), (std::vector<DataValueType>{1, 9, 2, 3, 4}));

    // With no current element, insertBefore appends.
    ASSERT_EQ(this->last(), 4);
    ASSERT_EQ(this->removeCurrent(), 4);
    EXPECT_TRUE(seq.insertBefore(5));
    EXPECT_EQ(this->prev(), 3);
    EXPECT_EQ(this->contents(), (std::vector<DataValueType>{1, 9, 2, 3, 5}));
}

TYPED_TEST(SequenceCursorTest, PopsRepairThePositions)
{
    this->fill({1, 2, 3, 4});
    ASSERT_EQ(this->first(), 1);
    EXPECT_EQ(this->popFront(), 1);
    EXPECT_EQ(this->current(), 2);
    EXPECT_EQ(this->next(), 2);

    EXPECT_EQ(this->popFront(), 2); // the current element goes again
    EXPECT_EQ(this->current(), 3);
    ASSERT_EQ(this->next(), 3);
    EXPECT_EQ(this->popBack(), 4); // the next element goes
    EXPECT_EQ(this->next(), -DAT_LIST_POS_LAST);
    EXPECT_EQ(this->current(), 3);
    EXPECT_EQ(this->popBack(), 3); // the current element goes
    EXPECT_EQ(this->current(), -DAT_LIST_POS_INVALID);
    EXPECT_TRUE(this->m_seq.isEmpty());

    // A pop elsewhere keeps the walk where it is.
    this->fill({1, 2, 3, 4, 5});
    ASSERT_EQ(this->first(), 1);
    ASSERT_EQ(this->next(), 2);
    EXPECT_EQ(this->popFront(), 1);
    EXPECT_EQ(this->popBack(), 5);
    EXPECT_EQ(this->current(), 2);
    EXPECT_EQ(this->next(), 3);

    // After removeCurrent a pop at the back does not make the walk skip the follower.
    ASSERT_EQ(this->removeCurrent(), 3);
    EXPECT_EQ(this->popBack(), 4);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_INVALID);
    this->m_seq.removeAll();
    this->fill({1, 2, 3, 4});
    ASSERT_EQ(this->first(), 1);
    ASSERT_EQ(this->removeCurrent(), 1);
    EXPECT_EQ(this->popBack(), 4);
    EXPECT_EQ(this->next(), 2);
}

TYPED_TEST(SequenceCursorTest, RemoveAllEmptiesAndResetsThePositions)
{
    this->fill({1, 2});
    ASSERT_EQ(this->first(), 1);
    this->m_seq.removeAll();
    EXPECT_TRUE(this->m_seq.isEmpty());
    EXPECT_EQ(this->size(), 0U);
    EXPECT_EQ(this->current(), -DAT_LIST_POS_INVALID);
    EXPECT_EQ(this->next(), -DAT_LIST_POS_INVALID);
}

TYPED_TEST(SequenceCursorTest, CopyHasItsOwnElementsAndPositions)
{
    auto source = std::make_unique<TypeParam>();
    for (DataValueType v : {1, 2, 3})
        source->pushBack(v);
    DataValueType v = 0;
    ASSERT_TRUE(source->getFirst(v));
    ASSERT_TRUE(source->getNext(v));

    TypeParam copy(*source);
    source->removeAll();
    source.reset();

    ASSERT_TRUE(copy.getCurrent(v));
    EXPECT_EQ(v, 2U);
    ASSERT_TRUE(copy.getNext(v));
    EXPECT_EQ(v, 3U);
    EXPECT_EQ(static_cast<uint64>(copy.getSize()), 3U);
}

TYPED_TEST(SequenceCursorTest, WalkThatRemovesVisitsEveryElementOnce)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round)
    {
        const bool forward = round % 2 == 0;
        SCOPED_TRACE("round " + std::to_string(round));
        this->m_seq.removeAll();
        std::vector<DataValueType> order;
        for (DataValueType v = 1; v <= 50; ++v)
            order.push_back(v);
        this->fill(order);
        if (!forward)
            std::reverse(order.begin(), order.end());

        std::vector<DataValueType> visited, kept;
        for (long v = forward ? this->first() : this->last(); v > 0; v = forward ? this->next() : this->prev())
        {
            visited.push_back(static_cast<DataValueType>(v));
            if (rng() % 3 == 0)
                ASSERT_EQ(this->removeCurrent(), v);
            else
                kept.push_back(static_cast<DataValueType>(v));
        }
        EXPECT_EQ(visited, order);
        if (!forward)
            std::reverse(kept.begin(), kept.end());
        EXPECT_EQ(this->contents(), kept);
    }
}

// Values in order with both positions held as values (unique in the model
// test): a second account of what the containers answer.
struct SequenceModel
{
    static constexpr DataValueType END = 0;
    bool isDeque;
    std::vector<DataValueType> items;
    DataValueType current = END;
    DataValueType next = END;

    size_t indexOf(DataValueType v) const
    {
        return v == END ? items.size() : static_cast<size_t>(std::find(items.begin(), items.end(), v) - items.begin());
    }
    DataValueType at(size_t i) const { return i < items.size() ? items[i] : END; }
    long visit(size_t i)
    {
        current = items[i];
        next = at(i + 1);
        return static_cast<long>(current);
    }

    void pushBack(DataValueType v)
    {
        items.push_back(v);
        if (isDeque)
            current = next = END;
        else if (current != END && next == END)
            next = v;
    }
    void pushFront(DataValueType v)
    {
        items.insert(items.begin(), v);
        if (isDeque)
            current = next = v;
    }
    long popBack()
    {
        if (items.empty())
            return -DAT_LIST_EMPTY;
        const DataValueType gone = items.back();
        items.pop_back();
        if (current == gone || (isDeque && current == END))
            current = next = END;
        else if (next == gone)
            next = END;
        return static_cast<long>(gone);
    }
    long popFront()
    {
        if (items.empty())
            return -DAT_LIST_EMPTY;
        const DataValueType gone = items.front();
        items.erase(items.begin());
        if (current == gone)
            current = at(0);
        if (next == gone)
            next = at(0);
        return static_cast<long>(gone);
    }
    void insertBefore(DataValueType v)
    {
        const size_t i = indexOf(current);
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(i), v);
        visit(i);
    }
    long insertAfter(DataValueType v)
    {
        if (current == END)
            return -DAT_LIST_POS_INVALID;
        const size_t i = indexOf(current) + 1;
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(i), v);
        return visit(i);
    }
    long first() { return items.empty() ? -DAT_LIST_EMPTY : visit(0); }
    long last() { return items.empty() ? -DAT_LIST_EMPTY : visit(items.size() - 1); }
    long getNext()
    {
        if (next == END)
            return current == END ? -DAT_LIST_POS_INVALID : -DAT_LIST_POS_LAST;
        return visit(indexOf(next));
    }
    long getPrev()
    {
        if (items.empty())
            return -DAT_LIST_EMPTY;
        const size_t from = indexOf(current);
        if (from == 0)
            return -DAT_LIST_POS_FIRST;
        const DataValueType was = current;
        visit(from - 1);
        next = was;
        return static_cast<long>(current);
    }
    long getCurrent() const { return current == END ? -DAT_LIST_POS_INVALID : static_cast<long>(current); }
    long removeCurrent()
    {
        if (current == END)
            return -DAT_LIST_POS_INVALID;
        const size_t i = indexOf(current);
        const DataValueType gone = current;
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
        current = next = at(i);
        return static_cast<long>(gone);
    }
    void removeAll()
    {
        items.clear();
        current = next = END;
    }
    void reverse()
    {
        std::reverse(items.begin(), items.end());
        if (current != END)
            next = at(indexOf(current) + 1);
    }
};

TYPED_TEST(SequenceCursorTest, AgreesWithAReferenceModelUnderRandomOperations)
{
    constexpr bool isList = std::is_same_v<TypeParam, LinkList>;
    for (unsigned seed = 1; seed <= 6; ++seed)
    {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto& seq = this->m_seq;
        seq.removeAll();
        SequenceModel model{!isList, {}};
        DataValueType lastValue = 0;
        for (int n = 0; n < 4000; ++n)
        {
            const int op = static_cast<int>(rng() % 100);
            SCOPED_TRACE("operation " + std::to_string(n) + " kind " + std::to_string(op));
            if (op < 8)
            {
                seq.pushBack(++lastValue);
                model.pushBack(lastValue);
            }
            else if (op < 13)
            {
                seq.pushFront(++lastValue);
                model.pushFront(lastValue);
            }
            else if (op < 18)
            {
                ASSERT_EQ(this->popBack(), model.popBack());
            }
            else if (op < 23)
            {
                ASSERT_EQ(this->popFront(), model.popFront());
            }
            else if (op < 33)
            {
                ASSERT_TRUE(seq.insertBefore(++lastValue));
                model.insertBefore(lastValue);
            }
            else if (op < 41)
            {
                ++lastValue;
                ASSERT_EQ(this->insertAfter(lastValue), model.insertAfter(lastValue));
            }
            else if (op < 44)
            {
                ASSERT_EQ(this->first(), model.first());
            }
            else if (op < 47)
            {
                ASSERT_EQ(this->last(), model.last());
            }
            else if (op < 63)
            {
                ASSERT_EQ(this->next(), model.getNext());
            }
            else if (op < 77)
            {
                ASSERT_EQ(this->prev(), model.getPrev());
            }
            else if (op < 83)
            {
                ASSERT_EQ(this->current(), model.getCurrent());
            }
            else if (op < 95)
            {
                ASSERT_EQ(this->removeCurrent(), model.removeCurrent());
            }
            else if (op < 96)
            {
                seq.removeAll();
                model.removeAll();
            }
            else if (op < 99)
            {
                if constexpr (isList)
                {
                    seq.reverse();
                    model.reverse();
                }
            }
            else
            {
                TypeParam copy(seq);
                SequenceModel modelCopy = model;
                DataValueType v = 0;
                FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
                const long got = copy.getNext(v) ? static_cast<long>(v) : -FrameworkErrno::m_fwErrno;
                ASSERT_EQ(got, modelCopy.getNext());
            }
            ASSERT_EQ(static_cast<uint64>(seq.getSize()), model.items.size());
        }
        EXPECT_EQ(this->contents(), model.items);
    }
}

} // namespace
