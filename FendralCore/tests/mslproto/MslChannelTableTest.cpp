// Which channel pair a topic gets: the common pool by name or logical
// channel, shared pairs and their join counts, topics with groups of their
// own, and the framework's special pairs. Sockets come from the in-memory
// fabric; the pairs are registered in a real multiplexer.
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/messaging/MslChannelTable.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace
{
struct Topic
{
    // The name's bytes as they are (NUL bytes included), at most 16.
    explicit Topic(const std::string& nameBytes, int32 logicalChn = -1)
    {
        std::memcpy(res.topicNameTxt, nameBytes.data(), std::min<size_t>(nameBytes.size(), 16));
        res.regParam.logicalChnNum = logicalChn;
    }

    // Groups of its own, as the registry leaves such a topic.
    Topic& direct(const char* data, uint16 dataPort, const char* ack, uint16 ackPort)
    {
        res.directMcastAssigned = true;
        std::strcpy(res.regParam.topicDataMcastTxt, data);
        res.regParam.topicDataPortNum = dataPort;
        std::strcpy(res.regParam.topicAckMcastTxt, ack);
        res.regParam.topicAckPortNum = ackPort;
        return *this;
    }

    MsgTopicResource res{};
};

class MslChannelTableTest : public ::testing::Test
{
protected:
    explicit MslChannelTableTest(int32 numDirect = 1)
    {
        m_mux.createEpoll();
        m_table = std::make_unique<MslChannelTable>(m_settings, m_fabric.host("10.0.0.1"), m_mux, "10.0.0.1",
                                                    numDirect);
    }

    MslChannelRecord* open(Topic& t, MslChannelRole role = MSL_SUBSCRIBER_ROLE)
    {
        MslChannelRecord* rec = nullptr;
        if (m_table->channelFor(t.res, role, rec) != 0)
            return nullptr;
        return rec;
    }

    static std::string where(const MslGroupPort& g) { return std::string(g.groupTxt) + ":" + std::to_string(g.port); }

    // The defaults: 224.0.1.1 8001/8011, 5 x 10.
    MslSettings m_settings = MslSettings::read(nullptr);
    MslMemFabric m_fabric;
    FileDescMultiplexer m_mux{100};
    std::unique_ptr<MslChannelTable> m_table;
};

TEST_F(MslChannelTableTest, NameSelectsThePoolPairItsBytesGive)
{
    struct Case
    {
        const char* name;
        size_t len;
        int32 logicalChn;
        int32 slot;
        const char* data;
        const char* ack;
    };
    const Case cases[] = {
        // sum 195, exclusive OR 3
        {"ab", 2, -1, 3, "224.0.1.1:8004", "224.0.1.1:8014"},
        // sum 99 -> 4, exclusive OR 99 -> 9
        {"c", 1, -1, 49, "224.0.1.5:8010", "224.0.1.5:8020"},
        // bytes above 0x7F count as 0..255: sum 480 -> 0, OR 0 -> 0
        {"\xF0\xF0", 2, -1, 0, "224.0.1.1:8001", "224.0.1.1:8011"},
        // one byte 0xF5: sum 245 -> 0, OR 245 -> 5 (signed bytes gave -1 and -1)
        {"\xF5", 1, -1, 5, "224.0.1.1:8006", "224.0.1.1:8016"},
        // sixteen bytes of 0xFF: sum 4080 -> 0, OR 0
        {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 16, -1, 0, "224.0.1.1:8001",
         "224.0.1.1:8011"},
        // a logical channel number replaces the address index only
        {"ab", 2, 2, 23, "224.0.1.3:8004", "224.0.1.3:8014"},
        {"ab", 2, 4, 43, "224.0.1.5:8004", "224.0.1.5:8014"},
    };
    for (const Case& c : cases)
    {
        Topic t(std::string(c.name, c.len), c.logicalChn);
        MslChannelRecord* rec = open(t);
        ASSERT_NE(rec, nullptr) << c.slot;
        EXPECT_EQ(rec->slot, c.slot);
        EXPECT_EQ(where(rec->data), c.data);
        EXPECT_EQ(where(rec->ack), c.ack);
        EXPECT_TRUE(rec->isOpen());
        // Both sockets wait in the multiplexer and lead back to their pair.
        EXPECT_GE(rec->dataSock->waitable()->getRef(m_mux.identity()), 0);
        EXPECT_GE(rec->ackSock->waitable()->getRef(m_mux.identity()), 0);
        EXPECT_EQ(rec->dataSock->waitable()->getInfoPtr(), rec);
    }
}

TEST_F(MslChannelTableTest, LogicalChannelOutsideThePoolIsRefused)
{
    for (int32 chn : {5, 6, 100, -2, 995, 1000})
    {
        Topic t("ab", chn);
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(open(t), nullptr) << chn;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, RES_TOPIC_PARA_INVALID) << chn;
    }
    for (int32 slot = 0; slot < m_table->size(); ++slot)
        EXPECT_FALSE(m_table->slotRecord(slot)->isOpen()) << slot;
}

TEST_F(MslChannelTableTest, TopicsOfOnePairShareItAndItsJoinCounts)
{
    // "ab" and "ba" give the same indices.
    Topic ab("ab");
    Topic ba("ba");
    Topic pub("ab");
    MslChannelRecord* first = open(ab, MSL_SUBSCRIBER_ROLE);
    MslChannelRecord* second = open(ba, MSL_SUBSCRIBER_ROLE);
    MslChannelRecord* third = open(pub, MSL_PUBLISHER_ROLE);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(third, first);
    auto* data = static_cast<MslMemSocket*>(first->dataSock.get());
    auto* ack = static_cast<MslMemSocket*>(first->ackSock.get());
    EXPECT_EQ(first->dataJoinCnt, 2);
    EXPECT_EQ(first->ackJoinCnt, 1);
    EXPECT_TRUE(data->joined());
    EXPECT_TRUE(ack->joined());

    // The group is left with its last join only.
    EXPECT_EQ(m_table->leaveData(first, false), 0);
    EXPECT_TRUE(data->joined());
    EXPECT_EQ(m_table->leaveData(first, false), 0);
    EXPECT_FALSE(data->joined());
    EXPECT_EQ(first->dataJoinCnt, 0);
    EXPECT_EQ(m_table->leaveData(first, false), 0); // nothing left to leave
    EXPECT_EQ(first->dataJoinCnt, 0);

    // A forced leave goes at once, whatever the count.
    ASSERT_NE(open(ab, MSL_PUBLISHER_ROLE), nullptr);
    EXPECT_EQ(first->ackJoinCnt, 2);
    EXPECT_EQ(m_table->leaveAck(first, true), 0);
    EXPECT_EQ(first->ackJoinCnt, 0);
    EXPECT_FALSE(ack->joined());

    EXPECT_EQ(m_table->joinData(nullptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, OBJECT_NULL_PTR);
    EXPECT_EQ(m_table->leaveAck(nullptr, false), -1);
    EXPECT_TRUE(testLog().contains("The channel record pointer must not be NULL."));
}

TEST_F(MslChannelTableTest, TopicsWithGroupsOfTheirOwnGetSlotsAfterThePool)
{
    Topic a("A");
    a.direct("239.9.9.1", 7001, "239.9.9.2", 7002);
    Topic b("B");
    b.direct("239.9.9.1", 7001, "239.9.9.2", 7002);
    Topic c("C");
    c.direct("239.9.9.3", 7003, "239.9.9.4", 7004);

    MslChannelRecord* ra = open(a);
    ASSERT_NE(ra, nullptr);
    EXPECT_EQ(ra->slot, 50); // the first slot after the 5 x 10 pool
    EXPECT_EQ(where(ra->data), "239.9.9.1:7001");
    EXPECT_EQ(where(ra->ack), "239.9.9.2:7002");
    // The same groups share the pair; the one direct slot is then taken.
    EXPECT_EQ(open(b), ra);
    EXPECT_EQ(ra->dataJoinCnt, 2);
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(open(c), nullptr);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSL_LIST_FULL);
    EXPECT_TRUE(testLog().contains("The channel record list is full when trying to create new multicast channel for "
                                   "topic [C]."));

    // Groups inside the pool take the slot the registry named for them.
    Topic inPool("D");
    inPool.direct("224.0.1.2", 8005, "224.0.1.2", 8015);
    inPool.res.mcastWithinLogicalChnList = true;
    inPool.res.posMcastRange = 14;
    MslChannelRecord* rd = open(inPool);
    ASSERT_NE(rd, nullptr);
    EXPECT_EQ(rd->slot, 14);
    // ... and a pool topic of those indices (sum 6 -> 1, OR 4) shares it.
    Topic pooled(std::string("\x05\x01", 2));
    EXPECT_EQ(open(pooled), rd);
}

TEST_F(MslChannelTableTest, SpecialPairsByPseudoChannelNumber)
{
    struct Case
    {
        int32 chn;
        MslChannelKind kind;
    };
    const Case cases[] = {{999, MSL_MRM_LOCAL_CHANNEL},
                          {998, MSL_MRM_REQUEST_CHANNEL},
                          {997, MSL_REPLICATION_CHANNEL},
                          {996, MSL_MRM_CROSS_SITE_CHANNEL}};
    // None open: the MRM numbers are refused, replication falls back to the
    // pool by its name.
    for (const Case& c : cases)
    {
        Topic t("ab", c.chn);
        FrameworkErrno::m_fwErrno = 0;
        MslChannelRecord* rec = open(t);
        if (c.chn == 997)
        {
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(rec->slot, 3);
        }
        else
        {
            EXPECT_EQ(rec, nullptr) << c.chn;
            EXPECT_EQ(FrameworkErrno::m_fwErrno, MRM_NOT_AVAILABLE) << c.chn;
        }
    }
    // Opened: each number selects its pair.
    int port = 9000;
    for (const Case& c : cases)
    {
        MslGroupPort data{"239.8.8.1", static_cast<uint16>(port++)};
        MslGroupPort ack{"239.8.8.2", static_cast<uint16>(port++)};
        ASSERT_EQ(m_table->openSpecial(c.kind, data, ack, "10.0.0.1", 1), 0);
    }
    for (const Case& c : cases)
    {
        Topic t("ab", c.chn);
        MslChannelRecord* rec = open(t, MSL_PUBLISHER_ROLE);
        EXPECT_EQ(rec, &m_table->special(c.kind)) << c.chn;
        EXPECT_EQ(rec->ackJoinCnt, 1) << c.chn;
    }
}
} // namespace
