// The log lines one peer causes (a client connection, a line, an IPC or
// admin peer: a malformed or partial packet, a refused request, an empty
// datagram, a bad wire record): the first 10 in a minute are written, then
// one line a minute with the number held back, and the rest of the count
// when the peer goes away. Our own errors and state changes never pass here.
//
// One per peer, used on the thread that handles the peer.
#pragma once

#include "FendralCore/foundation/PeerLogLimit.h"

#include <string>

class Log;

class PeerLog
{
public:
    explicit PeerLog(PeerLogLimit::Clock clock = nullptr) : mLimit(clock), mClock(clock) {}

    // Whether the peer's next line is written; a count held back in the
    // minute before goes first, as a warning of `who`.
    bool admit(Log& log, const std::string& who);
    // The peer went away: what is still held back, as a warning of `who`.
    // The next peer starts with a full minute's allowance.
    void close(Log& log, const std::string& who);

private:
    PeerLogLimit mLimit;
    PeerLogLimit::Clock mClock;
};
