// Bus message: the state of a feed line or of a whole sub-feed, carried on
// the channels of module "OrluLineStatus". Line handlers publish it for their
// line, the line monitor for its sub-feed. A plain value: copied, compared
// and printed as a short fixed text.
#pragma once

#include <string>

class LineStatus
{
public:
    enum StatusType : int
    {
        OFF = 0,
        UP = 1,
        PART = 2,
        DOWN = 3,
        UNKNOWN = 4,
        WAIT = 5,
        DISABLED = 6
    };

    LineStatus(StatusType type) : mType(type) {}
    LineStatus(const LineStatus&) = default;
    ~LineStatus() = default;

    LineStatus& operator=(const LineStatus& other)
    {
        if (this != &other)
            mType = other.mType;
        return *this;
    }
    LineStatus& operator=(const StatusType& type)
    {
        mType = type;
        return *this;
    }

    bool operator==(const LineStatus& other) const { return mType == other.mType; }
    bool operator==(StatusType type) const { return mType == type; }
    bool operator!=(const LineStatus& other) const { return mType != other.mType; }
    bool operator!=(StatusType type) const { return mType != type; }

    void copy(const LineStatus& other) { mType = other.mType; }
    StatusType type() const { return mType; }
    // "off", "up", "part", "down", "unkn", "wait", "dsbl"; "err" for any other value.
    const char* str() const;

private:
    StatusType mType;
};
