// Base (or member) of a component that publishes messages of type T. Until a
// destination channel is set, publishing does nothing. publish returns after
// every subscriber's onData has returned.
#pragma once

#include "zunq/bus/Orlu.h"

#include <string>

template <typename T>
class OrluPublisher
{
public:
    static inline const std::string EMPTY_STRING;

    explicit OrluPublisher(const std::string& name)
        : mName(name)
    {
    }
    virtual ~OrluPublisher() = default;

    void setDestination(Orlu<T>* orlu) { mOrlu = orlu; }
    Orlu<T>* getDestination() const { return mOrlu; }

    void publish(const T& data)
    {
        if (mOrlu != nullptr)
            mOrlu->forward(mName, data);
    }

    const std::string& getName() const { return mName; }
    void setName(const std::string& name) { mName = name; }
    const std::string& getOrluName() const { return mOrlu != nullptr ? mOrlu->getName() : EMPTY_STRING; }

protected:
    Orlu<T>* mOrlu = nullptr;
    std::string mName;
};
