// The multicast channels that carry topic data: each a pair of sockets, one
// for data and one for acknowledgements, with a join count per socket. A
// topic of the common pool gets the pair its name (or its logical channel
// number) selects; topics whose indices meet share a pair. A topic with groups
// of its own gets a pair of those groups; the framework's own topics (MRM
// recovery, recovery requests, replication) use the special pairs opened at
// start-up, selected by the pseudo channel numbers 999, 998, 997 and 996.
//
// A publisher joins only the acknowledgement socket of its pair, a subscriber
// only the data socket; the group is left when the last of a socket's joins
// goes. Both sockets of a pair are always open for sending. Every socket
// opened here is registered for reading in the service's multiplexer and
// carries its record as the descriptor's user pointer.
//
// Owned and used by the messaging service thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/PeerLogLimit.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/messaging/MslSettings.h"
#include "FendralCore/messaging/MslSocket.h"

#include <memory>
#include <vector>

class FileDescMultiplexer;
struct MsgTopicResource;

enum MslChannelKind : int32
{
    MSL_TOPIC_CHANNEL = 0,
    MSL_MRM_LOCAL_CHANNEL = 1,
    MSL_MRM_CROSS_SITE_CHANNEL = 2,
    MSL_MRM_REQUEST_CHANNEL = 3,
    MSL_REPLICATION_CHANNEL = 4,
    MSL_CHANNEL_KIND_NUM = 5,
};

// Which socket of the pair a topic's role joins.
enum MslChannelRole : int32
{
    MSL_PUBLISHER_ROLE = 0,  // the acknowledgement socket
    MSL_SUBSCRIBER_ROLE = 1, // the data socket
};

struct MslChannelRecord
{
    MslChannelKind kind = MSL_TOPIC_CHANNEL;
    int32 slot = -1; // -1 for the special pairs
    MslGroupPort data{};
    MslGroupPort ack{};
    std::unique_ptr<MslSocket> dataSock;
    std::unique_ptr<MslSocket> ackSock;
    int32 dataJoinCnt = 0;
    int32 ackJoinCnt = 0;
    // Lines its peers cause, one limiter per socket.
    PeerLogLimit dataLogLimit;
    PeerLogLimit ackLogLimit;

    bool isOpen() const { return dataSock != nullptr && ackSock != nullptr; }
    // Whether the ready descriptor is this pair's data socket (else its ack).
    bool isDataSocket(const FileDescriptor* ready) const;
};

class MslChannelTable
{
public:
    // The pseudo logical channel numbers of the framework's own topics.
    static constexpr int32 MRM_LOCAL_CHN = 999;
    static constexpr int32 MRM_REQUEST_CHN = 998;
    static constexpr int32 REPLICATION_CHN = 997;
    static constexpr int32 MRM_CROSS_SITE_CHN = 996;

    // The pool of settings.dataAddrRange x dataPortRange pairs and numDirect
    // further slots for topics with groups of their own. Sockets are opened
    // through sockets on interfaceTxt (the service's) and registered in mux.
    MslChannelTable(const MslSettings& settings, MslSocketFactory& sockets, FileDescMultiplexer& mux,
                    const char* interfaceTxt, int32 numDirect);
    ~MslChannelTable();

    MslChannelTable(const MslChannelTable&) = delete;
    MslChannelTable& operator=(const MslChannelTable&) = delete;

    // The pool indices of a topic name: a from the sum of its 16 name bytes,
    // p from their exclusive OR, each byte taken unsigned, so that no name
    // selects a slot outside the pool.
    static void poolIndices(const ResourceName& name, int32 addrRange, int32 portRange, int32& addrIdx,
                            int32& portIdx);
    // base with its last octet raised by addrIdx (modulo 256); -1 with
    // MSL_INVALID_ADDR when base is no dotted address.
    static int32 composeGroup(const char* base, int32 addrIdx, IpAddress& out);

    // The pair of a topic, opened when it does not exist yet (a topic with
    // groups of its own on its own interface when it names one), with the
    // join of role made. 0, or -1 with the code:
    // RES_TOPIC_PARA_INVALID for a logical channel number outside the pool,
    // MRM_NOT_AVAILABLE for a special pair that is not open, MSL_LIST_FULL
    // when no slot is left, MSL_INVALID_ADDR, or the socket's code.
    int32 channelFor(const MsgTopicResource& topic, MslChannelRole role, MslChannelRecord*& rec);

    // Opens a special pair at start-up, on interfaceTxt with ttl; no join.
    int32 openSpecial(MslChannelKind kind, const MslGroupPort& data, const MslGroupPort& ack,
                      const char* interfaceTxt, uint16 ttl);
    // A special pair (open or not).
    MslChannelRecord& special(MslChannelKind kind) { return m_special[kind]; }

    // The group joins are counted per socket; leave performs the leave only
    // when the count drops from 1 to 0, a forced leave at once (count 0).
    // -1 with OBJECT_NULL_PTR for a null record.
    int32 joinData(MslChannelRecord* rec);
    int32 joinAck(MslChannelRecord* rec);
    int32 leaveData(MslChannelRecord* rec, bool force);
    int32 leaveAck(MslChannelRecord* rec, bool force);
    int32 join(MslChannelRecord* rec, MslChannelRole role)
    {
        return role == MSL_SUBSCRIBER_ROLE ? joinData(rec) : joinAck(rec);
    }

    int32 size() const { return static_cast<int32>(m_slots.size()); }
    int32 poolSize() const { return m_poolSize; }
    // The record of a table slot (open or not); null outside the table.
    MslChannelRecord* slotRecord(int32 slot);

private:
    const MslSettings& m_settings;
    MslSocketFactory& m_sockets;
    FileDescMultiplexer& m_mux;
    IpAddress m_interfaceTxt{};
    int32 m_poolSize;
    std::vector<MslChannelRecord> m_slots;
    MslChannelRecord m_special[MSL_CHANNEL_KIND_NUM];
    // Open pairs by (data group, data port).
    UnsortedMap<uint64> m_store;

    int32 specialFor(int32 logicalChn, MslChannelRecord*& rec);
    int32 poolSlot(const MsgTopicResource& topic, int32& slot, MslGroupPort& data, MslGroupPort& ack);
    static void directGroups(const MsgTopicResource& topic, MslGroupPort& data, MslGroupPort& ack);
    int32 directSlot(const MsgTopicResource& topic, int32& slot);
    // Opens both sockets of rec and registers them; on failure nothing of
    // the pair is left open or registered.
    int32 openPair(MslChannelRecord& rec, const char* interfaceTxt, uint16 ttl);
    void closePair(MslChannelRecord& rec);
    static uint64 storeKey(const MslGroupPort& data);
    int32 leave(MslChannelRecord* rec, bool data, bool force);
};
