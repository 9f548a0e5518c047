// Base of a component that consumes messages of type T from a channel. The
// component implements onData, which runs on the publisher's thread; `name` is
// the name of the publisher that sent the message, not the channel's.
#pragma once

#include "zunq/bus/Orlu.h"
#include "zunq/bus/OrluSubscriberBase.h"

#include <string>

template <typename T>
class OrluSubscriber : public OrluSubscriberBase
{
public:
    explicit OrluSubscriber(const std::string& name)
        : OrluSubscriberBase(name)
    {
    }
    virtual ~OrluSubscriber() = default;

    virtual void onData(const Orlu<T>& orlu, const std::string& name, const T& data) = 0;

protected:
    void onDataT(const void* orlu, const std::string& name, void* data) override
    {
        const auto& channel = static_cast<const Orlu<T>&>(*static_cast<const OrluBase*>(orlu));
        onData(channel, name, *static_cast<const T*>(data));
    }
};
