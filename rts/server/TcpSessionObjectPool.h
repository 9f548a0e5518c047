// The retransmission server's sessions, built in advance so that accepting a
// connection allocates nothing: a stack whose top is the session released
// last. The pool never refuses; with every session in use it creates one
// more. It owns the free sessions; a session in use belongs to its connection
// until it releases itself. Server thread only.
#pragma once

#include <cstddef>
#include <deque>

class Log;
class RtsTcpSession;
class TarvokSession;

class TcpSessionObjectPool
{
public:
    TcpSessionObjectPool(TarvokSession& session, Log& log, std::size_t count);
    ~TcpSessionObjectPool();

    TcpSessionObjectPool(const TcpSessionObjectPool&) = delete;
    TcpSessionObjectPool& operator=(const TcpSessionObjectPool&) = delete;

    RtsTcpSession* acquire();
    void release(RtsTcpSession* session);

    std::size_t numTotalAllocated() const { return mTotalAlloc; }
    std::size_t numAvailable() const { return mFree; }

private:
    TarvokSession& mSession;
    Log& mLog;
    std::deque<RtsTcpSession*> mAvailablePtrs;
    std::size_t mFree = 0;
    std::size_t mTotalAlloc = 0;
};
