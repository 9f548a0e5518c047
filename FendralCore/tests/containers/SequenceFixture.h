// Shared fixture of the Deque and LinkList tests: each call reports the value
// it handed out, or minus its failure code, so cases read as one line.
#pragma once

#include "FendralCore/foundation/Deque.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LinkList.h"

#include "FendralCore/tests/containers/ContainerKeys.h"

#include <gtest/gtest.h>

#include <vector>

template <typename Seq>
class SequenceTest : public ::testing::Test
{
protected:
    template <typename Call>
    static long outcome(Call call)
    {
        FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
        DataValueType v = 0;
        if (!call(v))
            return -FrameworkErrno::m_fwErrno;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, UNTOUCHED_CODE) << "success left a code";
        return static_cast<long>(v);
    }

    long first() { return outcome([&](DataValueType& v) { return m_seq.getFirst(v); }); }
    long last() { return outcome([&](DataValueType& v) { return m_seq.getLast(v); }); }
    long next() { return outcome([&](DataValueType& v) { return m_seq.getNext(v); }); }
    long prev() { return outcome([&](DataValueType& v) { return m_seq.getPrev(v); }); }
    long current() { return outcome([&](DataValueType& v) { return m_seq.getCurrent(v); }); }
    long removeCurrent() { return outcome([&](DataValueType& v) { return m_seq.removeCurrent(v); }); }
    long popFront() { return outcome([&](DataValueType& v) { return m_seq.popFront(v); }); }
    long popBack() { return outcome([&](DataValueType& v) { return m_seq.popBack(v); }); }
    long insertAfter(DataValueType value)
    {
        return outcome([&](DataValueType& v) { return v = value, m_seq.insertAfter(value); });
    }

    // Deque counts in 32 bits, LinkList in 64.
    uint64 size() const { return static_cast<uint64>(m_seq.getSize()); }

    void fill(const std::vector<DataValueType>& values)
    {
        for (DataValueType v : values)
            m_seq.pushBack(v);
    }

    // The values in order, read from a copy so the positions stay.
    static std::vector<DataValueType> contents(const Seq& seq)
    {
        Seq copy(seq);
        std::vector<DataValueType> values;
        DataValueType v;
        while (copy.popFront(v))
            values.push_back(v);
        return values;
    }
    std::vector<DataValueType> contents() const { return contents(m_seq); }

    Seq m_seq;
};
