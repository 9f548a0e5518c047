#include "kelmora/thread/TarvokSession.h"

#include "kelmora/thread/OrvaneClient.h"
#include "kelmora/thread/OrvaneIpcMsg.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sys/utsname.h>
#include <unistd.h>

TarvokSession::TarvokSession() = default;

TarvokSession::~TarvokSession()
{
    destroy();
}

TarvokStatus TarvokSession::destroy()
{
    std::lock_guard lock(mSessionLock);
    mRequestListeners.clear();
    return gStatusOk;
}

TarvokStatus TarvokSession::getName(std::string& name) const
{
    name = mName;
    return gStatusOk;
}

TarvokStatus TarvokSession::setName(const std::string& name)
{
    mName = name;
    mLogStr = "TarvokSession(" + mName + ")";
    return gStatusOk;
}

TarvokStatus TarvokSession::createReplySubject(char* buffer, unsigned int size)
{
    if (buffer != nullptr && size > 0)
        std::snprintf(buffer, size, "%s.%ld.%ld", getHostIdStr().c_str(), getPid(),
                      static_cast<long>(getUniqueId()));
    return gStatusOk;
}

void TarvokSession::addOrvaneRequestListener(const char* subject, TarvokListener* listener)
{
    std::lock_guard lock(mSessionLock);
    mRequestListeners[subject != nullptr ? subject : ""].push_back(listener);
}

void TarvokSession::getOrvaneRequestListener(const char* subject, std::vector<TarvokListener*>& out)
{
    std::lock_guard lock(mSessionLock);
    auto it = mRequestListeners.find(subject != nullptr ? subject : "");
    if (it == mRequestListeners.end())
        out.clear();
    else
        out = it->second;
}

void TarvokSession::removeOrvaneRequestListener(TarvokListener* listener)
{
    std::lock_guard lock(mSessionLock);
    for (auto it = mRequestListeners.begin(); it != mRequestListeners.end();)
    {
        auto& v = it->second;
        v.erase(std::remove(v.begin(), v.end(), listener), v.end());
        it = v.empty() ? mRequestListeners.erase(it) : std::next(it);
    }
}

TarvokStatus TarvokSession::handleQelmoError(int code, const char* context)
{
    TarvokStatus status(code, context != nullptr ? context : "");
    if (mLog != nullptr)
        mLog->error() << mLogStr << "::handleQelmoError(" << code << ") " << code << ": Context ["
                      << status.getContext() << "] " << status.getText();
    return status;
}

long TarvokSession::getPid()
{
    static const long pid = static_cast<long>(::getpid());
    return pid;
}

uint64_t TarvokSession::getUniqueId()
{
    // Several threads build reply subjects at once.
    static std::atomic<uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed);
}

const std::string& TarvokSession::getHostIdStr()
{
    static const std::string host = [] {
        utsname u{};
        if (::uname(&u) != 0)
            return std::string();
        std::string node = u.nodename;
        return node.substr(0, node.find('.'));
    }();
    return host;
}

bool TarvokSession::send(const TarvokOldMsg& msg)
{
    if (mOrvaneClient == nullptr)
    {
        if (mLog != nullptr)
            mLog->error() << "TarvokSessionImpl::sendOrvaneIpcMsg(): orvane handler is not defined";
        return false;
    }
    OrvaneIpcMsg record;
    buildOrvaneIpcMsg(msg, record);
    // A line that cannot send says so in its own log.
    mOrvaneClient->sendTo(reinterpret_cast<const char*>(&record), static_cast<int>(sizeof record), "unspecified");
    return true;
}

std::vector<std::string> TarvokSession::getOrvaneRequestSubjects()
{
    std::lock_guard lock(mSessionLock);
    std::vector<std::string> subjects;
    for (const auto& [subject, listeners] : mRequestListeners)
        if (!listeners.empty())
            subjects.push_back(subject);
    return subjects;
}
