// Random records into the replication receiver, as a hostile or broken
// publisher on the replication topic could send them: valid ones, mutated
// ones, garbage, parts lost, reordered or split anywhere. The receiver must
// stay up (no sanitizer report), never act on a control event from a record,
// never hand on a pointer it did not make, and keep its on-demand
// registrations within their cap.
#include "FendralCore/tests/replication/ReceiverTestSupport.h"

#include <cstdlib>
#include <random>

namespace
{
class RxRandomTest : public ReceiverFixture
{
protected:
    std::mt19937_64 m_rng;

    uint64 pick(uint64 n) { return std::uniform_int_distribution<uint64>(0, n - 1)(m_rng); }

    std::string randomBytes(size_t n)
    {
        std::string s(n, '\0');
        for (char& c : s)
            c = static_cast<char>(pick(256));
        return s;
    }

    const char* channelName()
    {
        static const char* names[] = {"CLI", "MCAST", "APPTOPIC", "SRV", "RTEST_FW_REPL", "NOPE", "SRV:x", ""};
        if (pick(3) == 0)
        {
            m_name = "SRV:" + std::to_string(pick(1000));
            return m_name.c_str();
        }
        return names[pick(sizeof(names) / sizeof(names[0]))];
    }

    // One record: mostly well-formed, with a field or a byte broken now and then.
    std::string record()
    {
        FwIntMessage m{};
        if (pick(4) == 0)
        {
            m = eventRecord(static_cast<FwEventID>(pick(90)), channelName());
            m.appMsg.event.eventParam.resHandlePtr = reinterpret_cast<ResourceHandle*>(pick(1 << 20));
        }
        else
        {
            static const ExtChannelType chn[] = {TCP_CHANNEL, UDP_CHANNEL, MSG_TOPIC_CHANNEL};
            const size_t len = pick(8) == 0 ? Data_t::MAX_DATA_LEN : pick(300);
            m = dataRecord(chn[pick(3)], channelName(), randomBytes(len),
                           pick(3) == 0 ? OUTGOING_DATA : INCOMING_DATA, static_cast<int32>(pick(3)), pick(3) == 0);
            m.appMsg.data.peerAppInstId = static_cast<int32>(pick(2));
            if (pick(4) == 0)
                ResourceManager::copyResourceName(m.recipientTxt, pick(2) ? "FWD_THREAD" : "OWNER");
        }
        std::string bytes(reinterpret_cast<const char*>(&m), m.usedSize());
        switch (pick(10))
        {
        case 0: // a byte anywhere
            bytes[pick(bytes.size())] = static_cast<char>(pick(256));
            break;
        case 1: // the length field
            if (bytes.size() > 168)
            {
                const uint32 v = static_cast<uint32>(pick(2) ? pick(5000) : m_rng());
                std::memcpy(bytes.data() + 164, &v, 4);
            }
            break;
        case 2: // cut or stretched
            bytes.resize(pick(2400));
            break;
        case 3: // garbage
            bytes = randomBytes(pick(2400));
            break;
        default:
            break;
        }
        return bytes;
    }

    void feedRandomly(const std::string& rec)
    {
        std::vector<FwIntMessage> parts = wrapBytes(rec);
        const uint64 how = pick(20);
        if (how == 0 && parts.size() > 1)
            parts.erase(parts.begin());
        else if (how == 1 && parts.size() > 1)
            std::swap(parts[0], parts[1]);
        else if (how == 2)
            parts[0].appMsg.data.msgPartNum = static_cast<int32>(m_rng());
        else if (how == 3)
            parts[0].appMsg.data.dataLen = static_cast<uint32>(m_rng());
        for (const FwIntMessage& m : parts)
            m_rx->processMessage(m, m_selfQ.normal.get());
    }

    void checkDelivered(FwMessageQueue& q)
    {
        for (const FwIntMessage& m : takeAll(q))
        {
            if (m.appMsg.type == MSG_DATA)
            {
                ASSERT_LE(m.appMsg.data.dataLen, Data_t::MAX_DATA_LEN);
                void* fd = m.appMsg.data.fdPtr;
                ASSERT_TRUE(fd == nullptr || fd == m_cli || fd == m_mcast || fd == m_topic || fd == m_srv ||
                            isSrvConn(fd))
                    << fd;
            }
            else if (m.appMsg.type == MSG_EVENT)
            {
                ASSERT_EQ(m.appMsg.event.eventParam.resHandlePtr, nullptr);
            }
        }
    }

    bool isSrvConn(void* p)
    {
        ResourceName name{};
        TcpConnResource* r = nullptr;
        for (int32 w = m_registry.getFirstTcpConnRes(name, &r); w == 0; w = m_registry.getNextTcpConnRes(name, &r))
            if (r == p)
                return true;
        return false;
    }

    std::string m_name;
};
} // namespace

TEST_F(RxRandomTest, RandomRecordsNeitherCrashNorEscapeTheirBounds)
{
    uint64 seed = std::random_device{}();
    if (const char* env = std::getenv("REPLICATION_RANDOM_SEED"))
        seed = std::strtoull(env, nullptr, 10);
    m_rng.seed(seed);
    SCOPED_TRACE("REPLICATION_RANDOM_SEED=" + std::to_string(seed));
    start();
    constexpr uint32 CAP = 8;
    m_rx->setSrvDataConnMax(CAP);
    const int32 before = tcpCount();
    for (int i = 0; i < 20000; ++i)
    {
        feedRandomly(record());
        ASSERT_FALSE(m_rx->terminated());
        ASSERT_FALSE(m_rx->switchedToActive());
        ASSERT_LE(m_rx->numSrvDataConns(), CAP);
        if (i % 16 == 0)
        {
            checkDelivered(*m_ownerQ.normal);
            checkDelivered(*m_ownerQ.high);
            checkDelivered(*m_fwdQ.normal);
            takeAll(*m_fwdQ.high);
            m_rx->onTimer();
        }
    }
    EXPECT_LE(tcpCount(), before + static_cast<int32>(CAP));
    EXPECT_GT(m_rx->stats().records, 1000u);
    EXPECT_GT(m_rx->stats().refused, 1000u);
    // Nothing a record said reached the control or messaging thread.
    for (const FwIntMessage& m : takeAll(*m_ctlQ.high))
        EXPECT_EQ(m.appMsg.event.id, INIT_ACK);
    EXPECT_TRUE(takeAll(*m_svcQ.normal).empty());
}
