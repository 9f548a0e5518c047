// The retransmission server's sessions, built in advance so that accepting a
// connection allocates nothing: a stack whose top is the session released
// last. The pool never refuses; with every session in use it creates one
// more. A session in use belongs to its connection until it releases
// itself; the pool keeps every session it made and deletes them all when it
// is destroyed, at the end of the process. Server thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

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
    std::vector<std::unique_ptr<RtsTcpSession>> mAll;
    std::size_t mFree = 0;
    std::size_t mTotalAlloc = 0;
};
