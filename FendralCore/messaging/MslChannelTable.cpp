#include "FendralCore/messaging/MslChannelTable.h"

#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwLog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
void setText(IpAddress& out, const char* text)
{
    std::memset(out, 0, sizeof(IpAddress));
    if (text != nullptr)
        std::memcpy(out, text, strnlen(text, sizeof(IpAddress) - 1));
}

bool isPseudoChannel(int32 chn)
{
    return chn == MslChannelTable::MRM_LOCAL_CHN || chn == MslChannelTable::MRM_REQUEST_CHN ||
           chn == MslChannelTable::REPLICATION_CHN || chn == MslChannelTable::MRM_CROSS_SITE_CHN;
}
} // namespace

bool MslChannelRecord::isDataSocket(const FileDescriptor* ready) const
{
    return dataSock != nullptr && dataSock->waitable() == ready;
}

MslChannelTable::MslChannelTable(const MslSettings& settings, MslSocketFactory& sockets, FileDescMultiplexer& mux,
                                 const char* interfaceTxt, int32 numDirect)
    : m_settings(settings), m_sockets(sockets), m_mux(mux),
      m_poolSize(settings.dataAddrRange * settings.dataPortRange),
      m_slots(static_cast<size_t>(m_poolSize + (numDirect > 0 ? numDirect : 0)))
{
    setText(m_interfaceTxt, interfaceTxt);
    for (size_t i = 0; i < m_slots.size(); ++i)
        m_slots[i].slot = static_cast<int32>(i);
    for (int32 k = 0; k < MSL_CHANNEL_KIND_NUM; ++k)
        m_special[k].kind = static_cast<MslChannelKind>(k);
}

MslChannelTable::~MslChannelTable()
{
    for (MslChannelRecord& rec : m_slots)
        closePair(rec);
    for (MslChannelRecord& rec : m_special)
        closePair(rec);
}

void MslChannelTable::poolIndices(const ResourceName& name, int32 addrRange, int32 portRange, int32& addrIdx,
                                  int32& portIdx)
{
    uint32 sum = 0;
    uint32 xorAll = 0;
    for (int i = 0; i < 16; ++i)
    {
        const auto byte = static_cast<unsigned char>(name[i]);
        sum += byte;
        xorAll ^= byte;
    }
    addrIdx = static_cast<int32>(sum % static_cast<uint32>(addrRange));
    portIdx = static_cast<int32>(xorAll % static_cast<uint32>(portRange));
}

int32 MslChannelTable::composeGroup(const char* base, int32 addrIdx, IpAddress& out)
{
    in_addr addr{};
    if (base == nullptr || inet_pton(AF_INET, base, &addr) != 1)
        return fwFail(MSL_INVALID_ADDR, -1);
    const uint32 host = ntohl(addr.s_addr);
    const uint32 octet = ((host & 0xFFu) + static_cast<uint32>(addrIdx)) % 256u;
    addr.s_addr = htonl((host & 0xFFFFFF00u) | octet);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &addr, text, sizeof(text)) == nullptr)
        return fwFail(MSL_INVALID_ADDR, -1);
    setText(out, text);
    return 0;
}

uint64 MslChannelTable::storeKey(const MslGroupPort& data)
{
    in_addr addr{};
    inet_pton(AF_INET, data.groupTxt, &addr);
    return (static_cast<uint64>(ntohl(addr.s_addr)) << 16) | data.port;
}

MslChannelRecord* MslChannelTable::slotRecord(int32 slot)
{
    if (slot < 0 || slot >= size())
        return nullptr;
    return &m_slots[static_cast<size_t>(slot)];
}

int32 MslChannelTable::specialFor(int32 logicalChn, MslChannelRecord*& rec)
{
    switch (logicalChn)
    {
    case MRM_LOCAL_CHN:
        rec = &m_special[MSL_MRM_LOCAL_CHANNEL];
        break;
    case MRM_REQUEST_CHN:
        rec = &m_special[MSL_MRM_REQUEST_CHANNEL];
        break;
    case REPLICATION_CHN:
        rec = &m_special[MSL_REPLICATION_CHANNEL];
        break;
    default:
        rec = &m_special[MSL_MRM_CROSS_SITE_CHANNEL];
        break;
    }
    return rec->isOpen() ? 0 : fwFail(MRM_NOT_AVAILABLE, -1);
}

int32 MslChannelTable::poolSlot(const MsgTopicResource& topic, int32& slot, MslGroupPort& data, MslGroupPort& ack)
{
    const int32 chn = topic.regParam.logicalChnNum;
    int32 addrIdx = 0;
    int32 portIdx = 0;
    poolIndices(topic.topicNameTxt, m_settings.dataAddrRange, m_settings.dataPortRange, addrIdx, portIdx);
    // The replication topic comes here only when its own pair is missing.
    if (chn != -1 && chn != REPLICATION_CHN)
    {
        if (chn < 0 || chn >= m_settings.dataAddrRange)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "Logical channel number [%d] assigned to topic [%.16s] exceeds the available range [0-%d].", chn,
                  topic.topicNameTxt, m_settings.dataAddrRange - 1);
            return fwFail(RES_TOPIC_PARA_INVALID, -1);
        }
        addrIdx = chn;
    }
    slot = m_settings.dataPortRange * addrIdx + portIdx;
    if (composeGroup(m_settings.dataChnBase.groupTxt, addrIdx, data.groupTxt) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] composing Data channel address [%d]. Errno [%d], %s", MSL_INVALID_ADDR,
              addrIdx, error, std::strerror(error));
        return fwFail(MSL_INVALID_ADDR, -1);
    }
    if (composeGroup(m_settings.dataAckChnBase.groupTxt, addrIdx, ack.groupTxt) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] composing Data ACK channel address [%d]. Errno [%d], %s",
              MSL_INVALID_ADDR, addrIdx, error, std::strerror(error));
        return fwFail(MSL_INVALID_ADDR, -1);
    }
    data.port = static_cast<uint16>((m_settings.dataChnBase.port + portIdx) % 65536);
    ack.port = static_cast<uint16>((m_settings.dataAckChnBase.port + portIdx) % 65536);
    return 0;
}

void MslChannelTable::directGroups(const MsgTopicResource& topic, MslGroupPort& data, MslGroupPort& ack)
{
    const MsgTopicParam& p = topic.regParam;
    std::memcpy(data.groupTxt, p.topicDataMcastTxt, sizeof(IpAddress));
    data.groupTxt[sizeof(IpAddress) - 1] = '\0';
    data.port = p.topicDataPortNum;
    std::memcpy(ack.groupTxt, p.topicAckMcastTxt, sizeof(IpAddress));
    ack.groupTxt[sizeof(IpAddress) - 1] = '\0';
    ack.port = p.topicAckPortNum;
}

int32 MslChannelTable::directSlot(const MsgTopicResource& topic, int32& slot)
{
    if (topic.mcastWithinLogicalChnList)
    {
        if (topic.posMcastRange < 0 || topic.posMcastRange >= m_poolSize)
        {
            fwLog(LOG_LEVEL_ERROR, "Topic [%.16s] names the channel slot [%d] outside the pool of [%d].",
                  topic.topicNameTxt, topic.posMcastRange, m_poolSize);
            return fwFail(RES_TOPIC_PARA_INVALID, -1);
        }
        slot = topic.posMcastRange;
        return 0;
    }
    for (int32 s = m_poolSize; s < size(); ++s)
    {
        if (!m_slots[static_cast<size_t>(s)].isOpen())
        {
            slot = s;
            return 0;
        }
    }
    fwLog(LOG_LEVEL_ERROR, "The channel record list is full when trying to create new multicast channel for topic [%s].",
          MslPeerText(topic.topicNameTxt).c_str());
    return fwFail(MSL_LIST_FULL, -1);
}

int32 MslChannelTable::channelFor(const MsgTopicResource& topic, MslChannelRole role, MslChannelRecord*& rec)
{
    rec = nullptr;
    const int32 chn = topic.regParam.logicalChnNum;
    if (isPseudoChannel(chn))
    {
        MslChannelRecord* special = nullptr;
        if (specialFor(chn, special) == 0)
        {
            if (join(special, role) != 0)
                return -1;
            rec = special;
            return 0;
        }
        if (chn != REPLICATION_CHN)
            return -1;
    }

    int32 slot = -1;
    MslGroupPort data{};
    MslGroupPort ack{};
    const bool direct = topic.directMcastAssigned;
    if (direct)
        directGroups(topic, data, ack);
    else if (poolSlot(topic, slot, data, ack) != 0)
        return -1;

    // An open pair of these groups is shared, whichever topic opened it.
    DataValueType value = 0;
    MslChannelRecord* found = nullptr;
    if (m_store.getValueByKey(storeKey(data), value, false))
        found = reinterpret_cast<MslChannelRecord*>(value);
    else
    {
        if (direct && directSlot(topic, slot) != 0)
            return -1;
        found = &m_slots[static_cast<size_t>(slot)];
    }
    if (found->isOpen())
    {
        if (join(found, role) != 0)
            return -1;
        rec = found;
        return 0;
    }

    found->data = data;
    found->ack = ack;
    const char* interfaceTxt = direct && topic.interfaceTxt[0] != '\0' ? topic.interfaceTxt : m_interfaceTxt;
    if (openPair(*found, interfaceTxt, m_settings.mcastTtl) != 0)
        return -1;
    if (join(found, role) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        closePair(*found);
        return fwFail(code, -1);
    }
    m_store.insert(storeKey(data), reinterpret_cast<DataValueType>(found), true);
    rec = found;
    return 0;
}

int32 MslChannelTable::openSpecial(MslChannelKind kind, const MslGroupPort& data, const MslGroupPort& ack,
                                   const char* interfaceTxt, uint16 ttl)
{
    MslChannelRecord& rec = m_special[kind];
    rec.data = data;
    rec.ack = ack;
    return openPair(rec, interfaceTxt, ttl);
}

int32 MslChannelTable::openPair(MslChannelRecord& rec, const char* interfaceTxt, uint16 ttl)
{
    MslSocketSpec spec{};
    setText(spec.interfaceTxt, interfaceTxt);
    spec.ttl = ttl;
    spec.loopback = m_settings.loopback;
    spec.sendBufSize = m_settings.mcastSendBuf;
    spec.recvBufSize = m_settings.mcastRecvBuf;
    std::memcpy(spec.groupTxt, rec.data.groupTxt, sizeof(IpAddress));
    spec.port = rec.data.port;
    rec.dataSock = m_sockets.open(spec);
    std::memcpy(spec.groupTxt, rec.ack.groupTxt, sizeof(IpAddress));
    spec.port = rec.ack.port;
    if (rec.dataSock != nullptr)
        rec.ackSock = m_sockets.open(spec);
    if (rec.dataSock == nullptr || rec.ackSock == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : SOCK_ERROR;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] opening the multicast channel [%s:%d] [%s:%d].", code, rec.data.groupTxt,
              rec.data.port, rec.ack.groupTxt, rec.ack.port);
        closePair(rec);
        return fwFail(code, -1);
    }
    for (MslSocket* sock : {rec.dataSock.get(), rec.ackSock.get()})
    {
        sock->waitable()->setInfoPtr(&rec);
        if (m_mux.addFileDesc(sock->waitable(), IO_WAIT_READ) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] adding the multicast channel [%s:%d] to the descriptor multiplexer.",
                  code, rec.data.groupTxt, rec.data.port);
            closePair(rec);
            return fwFail(code, -1);
        }
    }
    rec.dataJoinCnt = 0;
    rec.ackJoinCnt = 0;
    return 0;
}

void MslChannelTable::closePair(MslChannelRecord& rec)
{
    for (std::unique_ptr<MslSocket>* sock : {&rec.dataSock, &rec.ackSock})
    {
        if (*sock == nullptr)
            continue;
        // Not registered (a failed open) answers an error, which is fine here.
        m_mux.removeFileDesc((*sock)->waitable());
        sock->reset();
    }
    if (rec.slot >= 0)
    {
        DataValueType value = 0;
        const uint64 key = storeKey(rec.data);
        if (m_store.getValueByKey(key, value, false) && reinterpret_cast<MslChannelRecord*>(value) == &rec)
            m_store.remove(key);
    }
    rec.dataJoinCnt = 0;
    rec.ackJoinCnt = 0;
}

int32 MslChannelTable::joinData(MslChannelRecord* rec)
{
    if (rec == nullptr || rec->dataSock == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "The channel record pointer must not be NULL.");
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    if (rec->dataJoinCnt == 0 && rec->dataSock->join() != 0)
        return -1;
    ++rec->dataJoinCnt;
    return 0;
}

int32 MslChannelTable::joinAck(MslChannelRecord* rec)
{
    if (rec == nullptr || rec->ackSock == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "The channel record pointer must not be NULL.");
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    if (rec->ackJoinCnt == 0 && rec->ackSock->join() != 0)
        return -1;
    ++rec->ackJoinCnt;
    return 0;
}

int32 MslChannelTable::leave(MslChannelRecord* rec, bool data, bool force)
{
    MslSocket* sock = rec == nullptr ? nullptr : (data ? rec->dataSock.get() : rec->ackSock.get());
    if (sock == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "The channel record pointer must not be NULL.");
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    int32& count = data ? rec->dataJoinCnt : rec->ackJoinCnt;
    if (count == 0)
        return 0;
    if (!force && count > 1)
    {
        --count;
        return 0;
    }
    count = 0;
    return sock->leave();
}

int32 MslChannelTable::leaveData(MslChannelRecord* rec, bool force)
{
    return leave(rec, true, force);
}

int32 MslChannelTable::leaveAck(MslChannelRecord* rec, bool force)
{
    return leave(rec, false, force);
}
