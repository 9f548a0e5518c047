// The remote-administration client a session sends its admin records
// through. The send is synchronous on the caller's thread and hands the whole
// record over as one piece; a client whose line is down logs and drops it.
#pragma once

class OrvaneClient
{
public:
    virtual ~OrvaneClient() = default;
    // `context` only labels the client's log lines.
    virtual void sendTo(const char* data, unsigned int length, const char* context) = 0;
};
