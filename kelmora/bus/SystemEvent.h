// Bus message: an event of a login line.
#pragma once

#include <string>

class SystemEvent
{
public:
    enum EventType : int
    {
        OK = 0,
        RESET = 1,
        LOGIN_RESET_BEGIN = 2,
        LOGIN_RESET_END = 3
    };

    SystemEvent(EventType type) : mType(type) {}
    SystemEvent(const SystemEvent&) = default;
    SystemEvent& operator=(const SystemEvent&) = default;
    SystemEvent& operator=(EventType type)
    {
        mType = type;
        return *this;
    }

    bool operator==(const SystemEvent& other) const { return mType == other.mType; }
    bool operator!=(const SystemEvent& other) const { return mType != other.mType; }
    bool operator==(EventType type) const { return mType == type; }
    bool operator!=(EventType type) const { return mType != type; }

    void copy(const SystemEvent& other) { mType = other.mType; }
    EventType type() const { return mType; }
    // "prog-error" for a value without a name.
    std::string str() const;

private:
    EventType mType;
};
