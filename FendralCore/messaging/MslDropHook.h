// A test facility: drops a seeded fraction of the datagrams the messaging
// service receives, so that real processes can be run under loss. Off unless
// the framework configuration sets MSL_TEST_DROP (a fraction above 0, at most
// 1); MSL_TEST_DROP_SD seeds it. MSL_TEST_DROP_FILE names a file: while it
// exists every datagram is dropped (looked at every few milliseconds), so a
// test can make one process miss a stretch of traffic. Never set in
// production.
//
// MslLossySocket puts the hook in front of one socket's receive path; every
// socket of a service shares that service's hook.
//
// Used by the messaging service thread; tests read the count from theirs.
#pragma once

#include "FendralCore/messaging/MslSocket.h"

#include <atomic>
#include <string>

class MslDropHook
{
public:
    static constexpr int64 DROP_FILE_CHECK_NS = 2000000;

    MslDropHook(double fraction, uint64 seed, std::string dropFile = {});

    // Whether the next datagram is dropped.
    bool dropNext();
    uint64 numDropped() const { return m_numDropped.load(std::memory_order_relaxed); }

private:
    uint64 m_threshold; // drop when the next random number is below it
    bool m_all;
    uint64 m_state;
    std::atomic<uint64> m_numDropped{0};
    std::string m_dropFile;
    bool m_dropFileSeen = false;
    int64 m_dropFileCheckedNs = 0;

    uint64 nextRandom();
    bool dropFileExists();
};

class MslLossySocket : public MslSocket
{
public:
    MslLossySocket(std::unique_ptr<MslSocket> inner, MslDropHook& hook);

    FileDescriptor* waitable() override { return m_inner->waitable(); }
    int32 send(const char* buf, int32 len) override { return m_inner->send(buf, len); }
    int32 receive(char* buf, int32 capacity, int32& length, sockaddr_in& from) override;
    int32 receiveBatch(MslDatagramSlot* slots, int32 n, int32& count) override;
    int32 join() override { return m_inner->join(); }
    int32 leave() override { return m_inner->leave(); }
    uint64 truncatedCount() const override { return m_inner->truncatedCount(); }

private:
    std::unique_ptr<MslSocket> m_inner;
    MslDropHook& m_hook;
};

// Opens through another factory and puts the hook in front of each socket.
class MslLossySocketFactory : public MslSocketFactory
{
public:
    MslLossySocketFactory(MslSocketFactory& inner, MslDropHook& hook) : m_inner(inner), m_hook(hook) {}
    std::unique_ptr<MslSocket> open(const MslSocketSpec& spec) override;

private:
    MslSocketFactory& m_inner;
    MslDropHook& m_hook;
};
