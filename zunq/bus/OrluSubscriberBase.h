// The untyped side of a bus subscriber: its name and the call through which a
// channel delivers a message. OrluSubscriber<T> turns that call into its typed
// onData. A subscriber must be unsubscribed from its channels before it is
// destroyed.
#pragma once

#include <string>

class OrluBase;

class OrluSubscriberBase
{
public:
    explicit OrluSubscriberBase(const std::string& name);
    virtual ~OrluSubscriberBase();

    const std::string& getName() const { return mName; }
    void setName(const std::string& name) { mName = name; }

protected:
    friend class OrluBase;

    // `orlu` is the delivering channel as a `const OrluBase*`; `name` is the publisher's name.
    virtual void onDataT(const void* orlu, const std::string& name, void* data) = 0;

    std::string mName;
};
