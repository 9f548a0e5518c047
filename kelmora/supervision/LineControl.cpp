#include "kelmora/supervision/LineControl.h"

class LineControlImpl
{
public:
    LineControl::ContolAction mAction = LineControl::NONE;
    unsigned int mInterval = 0;
    const char* mMcAddr = nullptr;
    const char* mAddrPort = nullptr;
};

LineControl::LineControl()
    : mImpl(new LineControlImpl)
{
}

LineControl::LineControl(const LineControl& other)
    : mImpl(new LineControlImpl(*other.mImpl))
{
}

LineControl& LineControl::operator=(const LineControl& other)
{
    if (this != &other)
        *mImpl = *other.mImpl;
    return *this;
}

LineControl::~LineControl()
{
    delete mImpl;
}

LineControl::ContolAction LineControl::getAction() const
{
    return mImpl->mAction;
}

void LineControl::setAction(ContolAction action)
{
    mImpl->mAction = action;
}

unsigned int LineControl::getRevertInterval() const
{
    return mImpl->mInterval;
}

void LineControl::setRevertInterval(unsigned int interval)
{
    mImpl->mInterval = interval;
}

const char* LineControl::mcAddr() const
{
    return mImpl->mMcAddr;
}

void LineControl::setMcAddr(const char* address)
{
    mImpl->mMcAddr = address;
}

const char* LineControl::addrPort() const
{
    return mImpl->mAddrPort;
}

void LineControl::setAddrPort(const char* port)
{
    mImpl->mAddrPort = port;
}

std::string LineControl::str(ContolAction action)
{
    switch (action)
    {
    case NONE: return "NONE";
    case RECONNECT: return "RECONNECT";
    case DISCONNECT: return "DISCONNECT";
    default: return "UNKNOWN";
    }
}
