#include "rts/server/TcpSessionObjectPool.h"

#include "rts/server/RtsTcpSession.h"

TcpSessionObjectPool::TcpSessionObjectPool(TarvokSession& session, Log& log, std::size_t count)
    : mSession(session), mLog(log)
{
    mAll.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        mAll.push_back(std::make_unique<RtsTcpSession>(mSession, mLog));
        mAvailablePtrs.push_back(mAll.back().get());
    }
    mFree = count;
    mTotalAlloc = count;
}

TcpSessionObjectPool::~TcpSessionObjectPool() = default;

RtsTcpSession* TcpSessionObjectPool::acquire()
{
    if (mFree > 0)
        return mAvailablePtrs[--mFree];
    ++mTotalAlloc;
    mAll.push_back(std::make_unique<RtsTcpSession>(mSession, mLog));
    return mAll.back().get();
}

void TcpSessionObjectPool::release(RtsTcpSession* session)
{
    if (mFree < mAvailablePtrs.size())
        mAvailablePtrs[mFree] = session;
    else
        mAvailablePtrs.push_back(session);
    ++mFree;
}
