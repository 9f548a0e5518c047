#include "zunq/bus/Orlu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                          void (*)(const volatile void*)) __attribute__((weak));

namespace
{

struct Tick
{
    int n;
};

using Deliveries = std::vector<std::string>;

class Scripted : public OrluSubscriber<Tick>
{
public:
    Scripted(const std::string& name, Deliveries& log)
        : OrluSubscriber<Tick>(name)
        , mLog(log)
    {
    }

    void onData(const Orlu<Tick>& orlu, const std::string& publisher, const Tick& tick) override
    {
        mLog.push_back(getName() + ":" + std::to_string(tick.n));
        lastChannel = &orlu;
        lastPublisher = publisher;
        if (auto action = actions.find(tick.n); action != actions.end())
            action->second();
    }

    std::map<int, std::function<void()>> actions; // by message number
    const Orlu<Tick>* lastChannel = nullptr;
    std::string lastPublisher;

private:
    Deliveries& mLog;
};

TEST(Orlu, DeliversInSubscriptionOrderWithThePublisherName)
{
    Orlu<Tick> channel("LineStatus.xs_1", "");
    Deliveries log;
    Scripted a("A", log);
    Scripted b("B", log);
    channel.subscribe(&b);
    channel.subscribe(&a);
    channel.subscribe(&b); // once only

    OrluPublisher<Tick> publisher("LineHandlerMulticast");
    publisher.publish(Tick{0}); // no destination yet: nothing happens
    EXPECT_EQ(publisher.getOrluName(), "");
    publisher.setDestination(&channel);
    EXPECT_EQ(publisher.getOrluName(), "LineStatus.xs_1");
    publisher.publish(Tick{1});

    EXPECT_EQ(log, (Deliveries{"B:1", "A:1"}));
    EXPECT_EQ(a.lastChannel, &channel);
    EXPECT_EQ(a.lastPublisher, "LineHandlerMulticast");
    EXPECT_EQ(channel.getName(), "LineStatus.xs_1");

    channel.unsubscribe(&b);
    channel.unsubscribe(&b); // a stranger now: nothing happens
    publisher.publish(Tick{2});
    EXPECT_EQ(log.back(), "A:2");
    EXPECT_EQ(log.size(), 3u);
}

TEST(Orlu, SubscriptionsChangedInsideADeliverySkipNoOne)
{
    struct Case
    {
        const char* what;
        // Installs the actions on A, B, C (subscribed in that order) and D (not subscribed).
        std::function<void(Orlu<Tick>&, OrluPublisher<Tick>&, Scripted&, Scripted&, Scripted&, Scripted&)> script;
        Deliveries expected;
    };
    const Case cases[] = {
        {"A removes itself",
         [](auto& ch, auto&, auto& a, auto&, auto&, auto&) { a.actions[1] = [&] { ch.unsubscribe(&a); }; },
         {"A:1", "B:1", "C:1", "B:2", "C:2"}},
        {"B removes C, which has not had it yet",
         [](auto& ch, auto&, auto&, auto& b, auto& c, auto&) { b.actions[1] = [&] { ch.unsubscribe(&c); }; },
         {"A:1", "B:1", "A:2", "B:2"}},
        {"C removes A, which has had it",
         [](auto& ch, auto&, auto& a, auto&, auto& c, auto&) { c.actions[1] = [&] { ch.unsubscribe(&a); }; },
         {"A:1", "B:1", "C:1", "B:2", "C:2"}},
        {"A adds D, which starts with the next message",
         [](auto& ch, auto&, auto& a, auto&, auto&, auto& d) { a.actions[1] = [&] { ch.subscribe(&d); }; },
         {"A:1", "B:1", "C:1", "A:2", "B:2", "C:2", "D:2"}},
        {"B leaves and joins again, now last",
         [](auto& ch, auto&, auto&, auto& b, auto&, auto&) {
             b.actions[1] = [&] {
                 ch.unsubscribe(&b);
                 ch.subscribe(&b);
             };
         },
         {"A:1", "B:1", "C:1", "A:2", "C:2", "B:2"}},
        {"A removes everyone",
         [](auto& ch, auto&, auto& a, auto& b, auto& c, auto&) {
             a.actions[1] = [&] {
                 ch.unsubscribe(&c);
                 ch.unsubscribe(&b);
                 ch.unsubscribe(&a);
             };
         },
         {"A:1"}},
        {"B publishes again and C leaves inside the nested delivery",
         [](auto& ch, auto& pub, auto&, auto& b, auto& c, auto&) {
             b.actions[1] = [&] { pub.publish(Tick{10}); };
             c.actions[10] = [&] { ch.unsubscribe(&c); };
         },
         {"A:1", "B:1", "A:10", "B:10", "C:10", "A:2", "B:2"}},
    };
    for (const Case& c : cases)
    {
        Deliveries log;
        Orlu<Tick> channel("Tick", "");
        OrluPublisher<Tick> publisher("Test");
        publisher.setDestination(&channel);
        Scripted a("A", log), b("B", log), cc("C", log), d("D", log);
        channel.subscribe(&a);
        channel.subscribe(&b);
        channel.subscribe(&cc);
        c.script(channel, publisher, a, b, cc, d);
        publisher.publish(Tick{1});
        publisher.publish(Tick{2});
        EXPECT_EQ(log, c.expected) << c.what;
    }
}

TEST(Orlu, SubscriberMayRemoveAndDestroyItselfInsideADelivery)
{
    Orlu<Tick> channel("Tick", "");
    OrluPublisher<Tick> publisher("Test");
    publisher.setDestination(&channel);
    Deliveries log;
    auto* leaving = new Scripted("Leaving", log);
    Scripted staying("Staying", log);
    leaving->actions[1] = [&channel, leaving] {
        channel.unsubscribe(leaving);
        delete leaving; // the core must not touch it again
    };
    channel.subscribe(leaving);
    channel.subscribe(&staying);
    publisher.publish(Tick{1});
    publisher.publish(Tick{2});
    EXPECT_EQ(log, (Deliveries{"Leaving:1", "Staying:1", "Staying:2"}));
}

TEST(Orlu, ExceptionFromASubscriberReachesThePublisherAndTheChannelStaysUsable)
{
    Orlu<Tick> channel("Tick", "");
    OrluPublisher<Tick> publisher("Test");
    publisher.setDestination(&channel);
    Deliveries log;
    Scripted a("A", log), b("B", log);
    a.actions[1] = [&] {
        channel.unsubscribe(&b);
        throw std::runtime_error("line error");
    };
    channel.subscribe(&a);
    channel.subscribe(&b);
    EXPECT_THROW(publisher.publish(Tick{1}), std::runtime_error);
    channel.subscribe(&b);
    publisher.publish(Tick{2});
    EXPECT_EQ(log, (Deliveries{"A:1", "A:2", "B:2"}));
}

TEST(Orlu, CountsIntervalsMaximumAndTotal)
{
    Orlu<Tick> channel("LineData.xs_1", "");
    OrluPublisher<Tick> publisher("Test");
    publisher.setDestination(&channel);
    auto publishMany = [&](int n) {
        for (int i = 0; i < n; ++i)
            publisher.publish(Tick{i});
    };
    struct Step
    {
        std::function<void()> act;
        std::uint64_t count, max, total;
    };
    const Step steps[] = {
        {[&] { publishMany(5); }, 5, 5, 5},
        {[&] { channel.resetStats(false); }, 0, 5, 5},
        {[&] { publishMany(3); }, 3, 5, 8},
        {[&] {
             std::uint64_t c, m, t;
             channel.getStats(c, m, t, true); // reading ends the interval
         },
         0, 5, 8},
        {[&] { publishMany(7); }, 7, 7, 15},
        {[&] { channel.resetStats(true); }, 0, 0, 0},
    };
    int index = 0;
    for (const Step& step : steps)
    {
        step.act();
        std::uint64_t count = 99, max = 99, total = 99;
        channel.getStats(count, max, total, false);
        EXPECT_EQ(count, step.count) << "step " << index;
        EXPECT_EQ(max, step.max) << "step " << index;
        EXPECT_EQ(total, step.total) << "step " << index;
        ++index;
    }
}

TEST(Orlu, CountersReadAndResetOnAnotherThreadLoseNoMessage)
{
    Orlu<Tick> channel("Tick", "");
    OrluPublisher<Tick> publisher("Test");
    publisher.setDestination(&channel);
    constexpr std::uint64_t messages = 200000;
    std::atomic<bool> done{false};
    std::uint64_t counted = 0;
    std::thread reader([&] {
        while (!done.load())
        {
            std::uint64_t count, max, total;
            channel.getStats(count, max, total, true);
            counted += count;
        }
    });
    for (std::uint64_t i = 0; i < messages; ++i)
        publisher.publish(Tick{static_cast<int>(i)});
    done = true;
    reader.join();
    std::uint64_t count, max, total;
    channel.getStats(count, max, total, false);
    EXPECT_EQ(counted + count, messages);
    EXPECT_EQ(total, messages);
}

TEST(Orlu, SeveralPublishingThreadsAreAllCounted)
{
    // The first publisher counts without a locked add; the others must not
    // lose messages to it or to each other.
    Orlu<Tick> channel("Tick", "");
    constexpr int threads = 4;
    constexpr std::uint64_t each = 50000;
    std::vector<std::thread> publishers;
    for (int t = 0; t < threads; ++t)
        publishers.emplace_back([&] {
            OrluPublisher<Tick> publisher("Test");
            publisher.setDestination(&channel);
            for (std::uint64_t i = 0; i < each; ++i)
                publisher.publish(Tick{static_cast<int>(i)});
        });
    for (std::thread& t : publishers)
        t.join();
    std::uint64_t count, max, total;
    channel.getStats(count, max, total, false);
    EXPECT_EQ(total, threads * each);
    EXPECT_EQ(count, threads * each);
}

thread_local bool tCounting = false;
thread_local std::size_t tAllocations = 0;
void countAllocation(const volatile void*, std::size_t)
{
    if (tCounting)
        ++tAllocations;
}
void ignoreFree(const volatile void*) {}

TEST(Orlu, PublishingAllocatesNothing)
{
    if (__sanitizer_install_malloc_and_free_hooks == nullptr)
        GTEST_SKIP() << "needs the sanitizer allocator hooks";
    __sanitizer_install_malloc_and_free_hooks(countAllocation, ignoreFree);

    struct Quiet : OrluSubscriber<Tick>
    {
        Quiet() : OrluSubscriber<Tick>("Quiet") {}
        void onData(const Orlu<Tick>&, const std::string&, const Tick& tick) override { sum += tick.n; }
        long sum = 0;
    };
    Orlu<Tick> empty("Empty", "");
    Orlu<Tick> busy("Busy", "");
    Quiet subscribers[4];
    for (Quiet& s : subscribers)
        busy.subscribe(&s);
    OrluPublisher<Tick> toEmpty("Test");
    OrluPublisher<Tick> toBusy("Test");
    toEmpty.setDestination(&empty);
    toBusy.setDestination(&busy);

    tCounting = true;
    for (int i = 0; i < 1000; ++i)
    {
        toEmpty.publish(Tick{i});
        toBusy.publish(Tick{i});
    }
    tCounting = false;
    EXPECT_EQ(tAllocations, 0u);
    EXPECT_EQ(subscribers[3].sum, 999 * 1000 / 2);
}

} // namespace
