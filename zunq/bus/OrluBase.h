// The untyped core of a bus channel: its name and group, its subscribers and
// its message counters. forwardT calls every subscriber at once, on the
// caller's thread, in subscription order; it allocates nothing and takes no
// lock. A subscriber may subscribe or unsubscribe (itself or another) from
// inside a delivery: a removed subscriber is not called again, no one is
// skipped, and one added during a delivery receives the next message.
//
// Threads: subscriptions change on the thread that publishes on the channel,
// or before publishing starts. Several threads may publish at once on an
// unchanging channel. The counters may be read and reset from any thread.
#pragma once

#include "zunq/bus/OrluSubscriberBase.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class OrluBase
{
public:
    OrluBase(const std::string& name, const std::string& group);
    virtual ~OrluBase();

    OrluBase(const OrluBase&) = delete;
    OrluBase& operator=(const OrluBase&) = delete;

    const std::string& getName() const { return mName; }
    const std::string& getGroup() const { return mGroup; }

    // Subscribing twice is subscribing once; unsubscribing a stranger does nothing.
    void subscribeT(OrluSubscriberBase* subscriber);
    void unsubscribeT(OrluSubscriberBase* subscriber);
    void forwardT(const std::string& publisherName, void* message);

    // count: messages of the current interval; max: the largest count of any
    // interval since the last full reset, the current one included; total:
    // messages since the last full reset. With `reset` the current interval
    // ends with the reading, so no message falls between reading and reset.
    void getStats(std::uint64_t& count, std::uint64_t& max, std::uint64_t& total, bool reset);
    // full: every counter back to zero; otherwise the current interval ends.
    void resetStats(bool full);

protected:
    // The walk of forwardT: `call(subscriber)` for each subscriber present
    // when it starts, in order, skipping those removed meanwhile. Inline, so
    // that a typed channel reaches its subscribers without a further call.
    template <typename Call>
    void deliver(Call&& call)
    {
        countPublished();
        // Subscribers added during this delivery sit beyond `count`.
        const std::size_t count = mSubscribers.size();
        if (count == 0)
            return;
        DeliveryDepth depth(*this);
        for (std::size_t i = 0; i < count; ++i)
        {
            // Indexed afresh each time: a subscribe inside a delivery may move the storage.
            OrluSubscriberBase* subscriber = mSubscribers[i];
            if (subscriber != nullptr)
                call(subscriber);
        }
    }

    // A channel's way into its subscriber's protected onDataT.
    static void callOnDataT(OrluSubscriberBase* subscriber, const void* orlu, const std::string& name, void* data)
    {
        subscriber->onDataT(orlu, name, data);
    }

private:
    // The first thread to publish owns the plain counter and bumps it without a
    // locked instruction (a channel almost always has one publisher); any other
    // thread adds to the shared atomic one. Readers sum both, so no message is
    // lost from the counts however many threads publish.
    void countPublished()
    {
        const void* self = &tDeliveryDepth;
        const void* owner = mOwner.load(std::memory_order_relaxed);
        if (owner == self || (owner == nullptr && mOwner.compare_exchange_strong(owner, self, std::memory_order_relaxed)))
            mOwnerPublished.store(mOwnerPublished.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        else
            mSharedPublished.fetch_add(1, std::memory_order_relaxed);
    }
    std::uint64_t published() const
    {
        return mOwnerPublished.load(std::memory_order_relaxed) + mSharedPublished.load(std::memory_order_relaxed);
    }

    // How deeply this thread is inside deliveries of any channel. While it is
    // inside one, removals leave a null slot so that no walk loses its place.
    // Per thread rather than per channel, so publishing costs no shared write.
    static constinit thread_local unsigned tDeliveryDepth __attribute__((tls_model("initial-exec")));

    // Holds the depth for one walk, also when a subscriber throws.
    struct DeliveryDepth
    {
        explicit DeliveryDepth(OrluBase& c) : channel(c) { ++tDeliveryDepth; }
        ~DeliveryDepth()
        {
            if (--tDeliveryDepth == 0 && channel.mHasGaps)
                channel.compact();
        }
        OrluBase& channel;
    };

    // Drops the slots of subscribers removed during deliveries.
    void compact();

    const std::string mName;
    const std::string mGroup;
    std::vector<OrluSubscriberBase*> mSubscribers;
    bool mHasGaps = false;

    // Written by publishers only; readers keep their own bases. The owner is
    // known by the address of its thread's delivery depth.
    std::atomic<const void*> mOwner{nullptr};
    std::atomic<std::uint64_t> mOwnerPublished{0};
    std::atomic<std::uint64_t> mSharedPublished{0};
    std::mutex mStatsLock;
    std::uint64_t mIntervalBase = 0;
    std::uint64_t mFullBase = 0;
    std::uint64_t mMax = 0;
};
