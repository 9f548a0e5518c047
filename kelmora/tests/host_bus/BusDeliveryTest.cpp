#include "HostTestSupport.h"

#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/supervision/LineStatus.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace
{

class TestLineData : public LineData
{
public:
    LineData* clone() const override { return new TestLineData(*this); }
};

struct Delivery
{
    std::string subscriber;
    std::string publisher;
    std::uint32_t seqNum;
    const LineData* record;
    std::thread::id thread;
};

// Records each delivery and runs an optional action inside it.
class Recorder : public OrluSubscriber<LineData>
{
public:
    Recorder(const std::string& name, std::vector<Delivery>& log)
        : OrluSubscriber<LineData>(name)
        , mLog(log)
    {
    }
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override
    {
        channel = &orlu;
        mLog.push_back({getName(), name, data.getSeqNum(), &data, std::this_thread::get_id()});
        if (action)
        {
            auto run = std::move(action); // once
            run();
        }
    }

    std::function<void()> action;
    const Orlu<LineData>* channel = nullptr;

private:
    std::vector<Delivery>& mLog;
};

std::vector<std::string> subscribersOf(const std::vector<Delivery>& log, std::uint32_t seqNum)
{
    std::vector<std::string> names;
    for (const Delivery& d : log)
        if (d.seqNum == seqNum)
            names.push_back(d.subscriber);
    return names;
}

class BusDelivery : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        InitModule<Orlu<LineData>>().createModule(&mList, nullptr);
        mChannel = requireModule<Orlu<LineData>>(&mList, "OrluLineData", "default", "test");
        mPublisher.setDestination(mChannel);
    }

    void publish(std::uint32_t seqNum)
    {
        mRecord.setSeqNum(seqNum);
        mPublisher.publish(mRecord);
    }

    Orlu<LineData>* mChannel = nullptr;
    OrluPublisher<LineData> mPublisher{"LineHandlerMulticast"};
    TestLineData mRecord;
    std::vector<Delivery> mLog;
};

TEST_F(BusDelivery, EverySubscriberGetsTheRecordItselfInSubscriptionOrderOnThePublishersThread)
{
    Recorder a("a", mLog), b("b", mLog), c("c", mLog);
    mChannel->subscribe(&b);
    mChannel->subscribe(&a);
    mChannel->subscribe(&c);
    mChannel->subscribe(&a); // twice is once

    std::thread publisherThread([&] { publish(1); });
    const std::thread::id publisherId = publisherThread.get_id();
    publisherThread.join();

    EXPECT_EQ(subscribersOf(mLog, 1), (std::vector<std::string>{"b", "a", "c"}));
    for (const Delivery& d : mLog)
    {
        EXPECT_EQ(d.publisher, "LineHandlerMulticast") << "the publisher's name, not the channel's";
        EXPECT_EQ(d.record, &mRecord) << "passed by reference, never copied";
        EXPECT_EQ(d.thread, publisherId);
    }
    EXPECT_EQ(a.channel, mChannel);
    EXPECT_EQ(mPublisher.getOrluName(), "LineData.default");
    for (Recorder* r : {&a, &b, &c})
        mChannel->unsubscribe(r);
}

TEST_F(BusDelivery, SubscriptionsChangedInsideADeliveryTakeEffectWithoutSkippingAnyone)
{
    Recorder a("a", mLog), b("b", mLog), c("c", mLog), d("d", mLog), late("late", mLog);
    for (Recorder* r : {&a, &b, &c, &d})
        mChannel->subscribe(r);

    // a removes itself and adds late; b removes c, which has not been called yet.
    a.action = [&] {
        mChannel->unsubscribe(&a);
        mChannel->subscribe(&late);
    };
    b.action = [&] { mChannel->unsubscribe(&c); };
    publish(1);
    EXPECT_EQ(subscribersOf(mLog, 1), (std::vector<std::string>{"a", "b", "d"}));

    publish(2);
    EXPECT_EQ(subscribersOf(mLog, 2), (std::vector<std::string>{"b", "d", "late"}));

    // Unsubscribing the last one inside its own delivery, then a nested publish.
    late.action = [&] {
        mChannel->unsubscribe(&late);
        publish(4);
    };
    publish(3);
    EXPECT_EQ(subscribersOf(mLog, 3), (std::vector<std::string>{"b", "d", "late"}));
    EXPECT_EQ(subscribersOf(mLog, 4), (std::vector<std::string>{"b", "d"}));
    for (Recorder* r : {&b, &d})
        mChannel->unsubscribe(r);
}

TEST_F(BusDelivery, PublishingWithoutADestinationDoesNothing)
{
    Recorder a("a", mLog);
    mChannel->subscribe(&a);
    OrluPublisher<LineData> unbound("unbound");
    EXPECT_EQ(unbound.getOrluName(), "");
    mRecord.setSeqNum(7);
    unbound.publish(mRecord);
    EXPECT_TRUE(mLog.empty());
    mChannel->unsubscribe(&a);
}

} // namespace
