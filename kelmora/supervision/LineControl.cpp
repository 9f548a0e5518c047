#include "kelmora/supervision/LineControl.h"

#include <optional>

class LineControlImpl
{
public:
    LineControl::ContolAction mAction = LineControl::NONE;
    unsigned int mInterval = 0;
    std::optional<std::string> mMcAddr;
    std::optional<std::string> mAddrPort;
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
    return mImpl->mMcAddr ? mImpl->mMcAddr->c_str() : nullptr;
}

void LineControl::setMcAddr(const char* address)
{
    if (address != nullptr)
        mImpl->mMcAddr = address;
    else
        mImpl->mMcAddr.reset();
}

const char* LineControl::addrPort() const
{
    return mImpl->mAddrPort ? mImpl->mAddrPort->c_str() : nullptr;
}

void LineControl::setAddrPort(const char* port)
{
    if (port != nullptr)
        mImpl->mAddrPort = port;
    else
        mImpl->mAddrPort.reset();
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
