// Bus message: take the lines of a group (or one multicast line, named by its
// group address and port) down or bring them back, optionally reverting after
// an interval. Carried on the channels of module "OrluLineControl"; outside
// parties publish it. The message keeps its own copies of the address and
// port texts: a control is applied a moment after it is published and
// reverted much later, when the publisher's texts may be gone.
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
    // Null: the whole group. The texts stay valid while the control is unchanged.
    const char* mcAddr() const;
    // Copies the text; null clears it.
    void setMcAddr(const char* address);
    const char* addrPort() const;
    void setAddrPort(const char* port);

    // "NONE", "RECONNECT", "DISCONNECT"; "UNKNOWN" for any other value.
    static std::string str(ContolAction action);

private:
    LineControlImpl* mImpl;
};
