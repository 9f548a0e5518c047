#include "zunq/bus/OrluBase.h"

#include <algorithm>

constinit thread_local unsigned OrluBase::tDeliveryDepth __attribute__((tls_model("initial-exec"))) = 0;

OrluBase::OrluBase(const std::string& name, const std::string& group)
    : mName(name)
    , mGroup(group)
{
}

OrluBase::~OrluBase() = default;

void OrluBase::subscribeT(OrluSubscriberBase* subscriber)
{
    if (subscriber == nullptr)
        return;
    if (std::find(mSubscribers.begin(), mSubscribers.end(), subscriber) != mSubscribers.end())
        return;
    if (tDeliveryDepth == 0 && mHasGaps)
        compact();
    // Appended behind any walk in progress, so it starts with the next message.
    mSubscribers.push_back(subscriber);
}

void OrluBase::unsubscribeT(OrluSubscriberBase* subscriber)
{
    if (subscriber == nullptr)
        return;
    auto found = std::find(mSubscribers.begin(), mSubscribers.end(), subscriber);
    if (found == mSubscribers.end())
        return;
    if (tDeliveryDepth > 0)
    {
        *found = nullptr;
        mHasGaps = true;
        return;
    }
    mSubscribers.erase(found);
    if (mHasGaps)
        compact();
}

void OrluBase::forwardT(const std::string& publisherName, void* message)
{
    const void* self = static_cast<const OrluBase*>(this);
    deliver([&](OrluSubscriberBase* subscriber) { callOnDataT(subscriber, self, publisherName, message); });
}

void OrluBase::compact()
{
    mSubscribers.erase(std::remove(mSubscribers.begin(), mSubscribers.end(), nullptr), mSubscribers.end());
    mHasGaps = false;
}

void OrluBase::getStats(std::uint64_t& count, std::uint64_t& max, std::uint64_t& total, bool reset)
{
    std::lock_guard lock(mStatsLock);
    const std::uint64_t published = this->published();
    count = published - mIntervalBase;
    total = published - mFullBase;
    max = std::max(mMax, count);
    if (reset)
    {
        mMax = max;
        mIntervalBase = published;
    }
}

void OrluBase::resetStats(bool full)
{
    std::lock_guard lock(mStatsLock);
    const std::uint64_t published = this->published();
    if (full)
    {
        mFullBase = published;
        mMax = 0;
    }
    else
    {
        mMax = std::max(mMax, published - mIntervalBase);
    }
    mIntervalBase = published;
}
