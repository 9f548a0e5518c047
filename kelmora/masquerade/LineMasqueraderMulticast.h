// Re-sends the bytes of every line data record it receives as one UDP
// datagram to an IP multicast group: to a fixed group and port its user
// sets, or by default to the very group and port the record came from, so
// that downstream receivers see the feed as if it came from its source. It
// owns its datagram socket (opened close-on-exec, closed with the object).
//
// Runs on the thread of the bus it is subscribed to; nothing is locked.
// With the system's default loopback, a process that also listens to the
// group receives its own re-sends.
#pragma once

#include "kelmora/linedata/LineData.h"
#include "kelmora/masquerade/LineMasquerader.h"
#include "zunq/bus/Orlu.h"

#include <memory>
#include <string>

class LineMasqueraderMulticastImpl;
class Log;
class TarvokSession;

class LineMasqueraderMulticast : public LineMasquerader, public OrluSubscriber<LineData>
{
public:
    // Opens the socket; LineError when it cannot.
    LineMasqueraderMulticast(const std::string& interface, TarvokSession& session, Log& log);
    ~LineMasqueraderMulticast() override;

    // Opens a fresh socket on the interface (the old one is closed) and
    // applies the TTL in force; a destination set earlier stays.
    virtual void init();
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override;
    virtual void setTtl(long ttl);
    virtual long getTtl();
    // A fixed destination for every record.
    virtual void setSource(const std::string& group, long port);
    virtual void setInterface(const std::string& interface);

    int getSocket() const;

private:
    std::unique_ptr<LineMasqueraderMulticastImpl> mImpl;
};
