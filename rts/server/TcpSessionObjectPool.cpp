#include "rts/server/TcpSessionObjectPool.h"

#include "rts/server/RtsTcpSession.h"

TcpSessionObjectPool::TcpSessionObjectPool(TarvokSession& session, Log& log, std::size_t count)
    : mSession(session), mLog(log)
{
    for (std::size_t i = 0; i < count; ++i)
        mAvailablePtrs.push_back(new RtsTcpSession(mSession, mLog));
    mFree = count;
    mTotalAlloc = count;
}

TcpSessionObjectPool::~TcpSessionObjectPool()
{
    while (mFree > 0)
        delete mAvailablePtrs[--mFree];
}

RtsTcpSession* TcpSessionObjectPool::acquire()
{
    if (mFree > 0)
        return mAvailablePtrs[--mFree];
    ++mTotalAlloc;
    return new RtsTcpSession(mSession, mLog);
}

void TcpSessionObjectPool::release(RtsTcpSession* session)
{
    if (mFree < mAvailablePtrs.size())
        mAvailablePtrs[mFree] = session;
    else
        mAvailablePtrs.push_back(session);
    ++mFree;
}
