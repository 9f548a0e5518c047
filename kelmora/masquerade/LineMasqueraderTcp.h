// One accepted downstream TCP client connection, fed with the raw bytes of
// every line data record published on the bus it is subscribed to,
// optionally through one continuous deflate stream that lasts as long as the
// object (the client inflates the whole connection as one stream). Bytes the
// socket does not take at once wait in a WriteBuffer, and every later send
// goes behind them, so the client receives everything in order.
//
// The manager creates, binds and subscribes connections; derived session
// classes read what the client sends through fromClient and learn of the end
// through onClosed. Everything runs on the thread of the session the object
// was built with; nothing is locked.
#pragma once

#include "kelmora/linedata/LineData.h"
#include "kelmora/linehandler/TCPClientNetworkHandler.h"
#include "kelmora/masquerade/LineMasquerader.h"
#include "zunq/bus/Orlu.h"

#include <memory>
#include <string>

class LineMasqueraderTcp;
class LineMasqueraderTcpImpl;

// Told once when a connection ends (closed, or destroyed while open); the
// manager that accepted it counts its address's live connections by it.
class LineMasqueraderTcpObserver
{
public:
    virtual ~LineMasqueraderTcpObserver() = default;
    virtual void onConnectionEnded(LineMasqueraderTcp& connection) = 0;
};

class LineMasqueraderTcp : public LineMasquerader, public TCPClientNetworkHandler, public OrluSubscriber<LineData>
{
public:
    LineMasqueraderTcp(const std::string& name, TarvokSession& session, Log& log);
    ~LineMasqueraderTcp() override;

    virtual void setConnection(const char (&resourceName)[17], const std::string& connectionId);
    virtual void setAccepted(bool accepted);
    virtual void setSeqNum(unsigned int seqNum);
    virtual unsigned int getSeqNum() const;
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override;
    void onDisconnect() override;
    // Bytes from an accepted client; empty here.
    virtual void fromClient(LineData&) {}
    virtual void setOrluLineData(Orlu<LineData>* orlu);
    virtual void setLogTcpBuffer(bool on);
    // Sends or queues the bytes; a line error closes the connection.
    virtual void sendTo(const char* data, int len, const char* context);
    // Ends the connection once; with `disconnect` the framework closes it too.
    virtual void closeFd(bool disconnect);
    virtual const std::string& getConnectionId() const;
    virtual bool connected() const;
    // Called at the end of closeFd; empty here.
    virtual void onClosed() {}
    // The client's IPv4 address in host byte order, and its port.
    virtual unsigned int getIpAddresAsInt() const;
    virtual unsigned short getPort() const;
    void onNetworkData(const char* data, unsigned int len) override;

    // Deflate can be switched on once; it stays for the object's life.
    void setDeflateData(bool on);
    bool getDeflateData() const;
    int getUsedPendingBufferSize() const;
    void setInitialBufferSize(int size);
    void setMaxQueueBufferSize(int size);
    int getMaxQueueBufferSize() const;

    // The manager that counts this connection; null detaches it.
    void setObserver(LineMasqueraderTcpObserver* observer);

private:
    friend class LineMasqueraderTcpImpl;
    std::unique_ptr<LineMasqueraderTcpImpl> mImpl;
};
