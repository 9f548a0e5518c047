// Bus message: take the lines of a group (or one multicast line, named by its
// group address and port) down or bring them back, optionally reverting after
// an interval. Carried on the channels of module "OrluLineControl"; outside
// parties publish it. The address and port texts are the publisher's: the
// message keeps only pointers to them, so the publisher keeps them valid
// until the control and any revert derived from it have run.
#pragma once

#include <string>

class LineControlImpl;

class LineControl
{
public:
    enum ContolAction : int
    {
        NONE = 0,
        RECONNECT = 1,
        DISCONNECT = 2
    };

    LineControl();
    LineControl(const LineControl& other);
    LineControl& operator=(const LineControl& other);
    ~LineControl();

    ContolAction getAction() const;
    void setAction(ContolAction action);
    // Milliseconds; 0 means no revert.
    unsigned int getRevertInterval() const;
    void setRevertInterval(unsigned int interval);
    // Null: the whole group.
    const char* mcAddr() const;
    void setMcAddr(const char* address);
    const char* addrPort() const;
    void setAddrPort(const char* port);

    // "NONE", "RECONNECT", "DISCONNECT"; "UNKNOWN" for any other value.
    static std::string str(ContolAction action);

private:
    LineControlImpl* mImpl;
};
