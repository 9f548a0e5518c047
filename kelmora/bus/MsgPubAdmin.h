// Bus message: an administrative action for a downstream message publisher.
#pragma once

#include <string>

class MsgPubAdmin
{
public:
    enum Action : int
    {
        NOT_VALID = 0,
        READY = 1,
        CLOSE = 2,
        START_BATCH = 3,
        FLUSH = 4
    };

    MsgPubAdmin() = default;
    explicit MsgPubAdmin(Action action) : mAction(action) {}
    virtual ~MsgPubAdmin() = default;
    MsgPubAdmin(const MsgPubAdmin&) = default;
    MsgPubAdmin& operator=(const MsgPubAdmin&) = default;

    void setAction(Action action) { mAction = action; }
    Action getAction() const { return mAction; }
    void setPubName(const std::string& name) { mPubName = name; }
    const std::string& getPubName() const { return mPubName; }

private:
    Action mAction = NOT_VALID;
    std::string mPubName;
};
