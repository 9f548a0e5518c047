// A typed bus channel for messages of type T. Publishing calls each
// subscriber's onData directly on the publisher's thread, with the message by
// address and the publisher's name; there is no queue and no copy. The rules
// of OrluBase hold: subscriptions change on the publishing thread, and may
// change from inside a delivery.
#pragma once

#include "zunq/bus/OrluBase.h"

#include <string>

template <typename T>
class OrluSubscriber;
template <typename T>
class OrluPublisher;

template <typename T>
class Orlu : public OrluBase
{
public:
    Orlu(const std::string& name, const std::string& group)
        : OrluBase(name, group)
    {
    }
    virtual ~Orlu() = default;

    virtual void subscribe(OrluSubscriber<T>* subscriber) { subscribeT(subscriber); }
    virtual void unsubscribe(OrluSubscriber<T>* subscriber) { unsubscribeT(subscriber); }

protected:
    friend class OrluPublisher<T>;

    // Subscribers receive `data` itself; none may keep its address past onData.
    // The walk is inlined here, each subscriber reached through its onDataT.
    void forward(const std::string& name, const T& data)
    {
        const void* self = static_cast<const OrluBase*>(this);
        void* message = const_cast<T*>(&data);
        deliver([&](OrluSubscriberBase* subscriber) { callOnDataT(subscriber, self, name, message); });
    }
};

#include "zunq/bus/OrluPublisher.h"
#include "zunq/bus/OrluSubscriber.h"
