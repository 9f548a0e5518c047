// The listening side of the TCP masqueraders. It registers a TCP server with
// the framework on an interface and port, and for every accepted client
// creates a connection object (create), subscribes it to the line data bus
// it redistributes and refuses an address that already holds as many live
// connections as allowed. It follows the sequence numbers on that bus so
// that a new client starts from the latest one.
//
// Connection objects made by the default create belong to the manager and
// are deleted after they close, at the next accepted connection or with the
// manager; objects a subclass's create makes stay the subclass's.
//
// Runs on the thread of its session, which must be the thread that
// publishes the bus it redistributes; nothing is locked.
#pragma once

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/linehandler/TCPServerNetworkHandler.h"
#include "kelmora/masquerade/LineMasqueraderManager.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <memory>
#include <string>

class LineMasqueraderManagerTcpImpl;

enum TCP_CONNECT_STATUS
{
    TCP_DISCONNECT = 0,
    TCP_DELAY_CONNECT = 1, // listening asked for, framework not ready yet
    TCP_READY_CONNECT = 2, // framework ready, not listening
    TCP_CONNECT = 3,       // listening
};

class LineMasqueraderManagerTcp : public LineMasqueraderManager,
                                  public TCPServerNetworkHandler,
                                  public OrluSubscriber<LineData>,
                                  public OrluSubscriber<TerminateAll>
{
public:
    // The thread messages that carry a TerminateAll from another thread.
    static constexpr std::uint32_t cThreadDataType = Zunq::APPLICATION_RESERVED - 31;

    LineMasqueraderManagerTcp(TarvokSession& session, Log& log);
    ~LineMasqueraderManagerTcp() override;

    LineMasqueraderTcp* create() override;
    // Called with every new connection object before it is bound; empty here.
    virtual void initialize(LineMasqueraderTcp* connection);
    // Follows the sequence number.
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override;
    // Stops listening, on the manager's thread; accepted connections stay.
    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& data) override;
    virtual void setFeedName(const std::string& name);
    virtual void setTcpIpAddress(const std::string& address);
    virtual void setTcpService(const std::string& service);
    virtual void setLogTcpBuffer(bool on);
    virtual void setDeflateData(bool on);
    virtual bool getDeflateData() const;
    virtual void setOrluLineData(Orlu<LineData>* orlu);
    virtual void initListen();
    virtual void closeListen();
    virtual void setSeqNum(unsigned int seqNum);
    virtual void setMaxQueueBufferSize(int size);
    virtual int getMaxQueueBufferSize();
    virtual void setInitialBufferSize(int size);
    virtual int getInitialBufferSize();
    void onReadyToConnect() override;
    void onConnectFail() override;
    void onNewConnect(EventMsg* event) override;
    // After a client was accepted; empty here.
    virtual void onConnected(const char* connectionId, const LineMasqueraderTcp* connection);
    // For a subclass that keeps a list of its clients; empty here.
    virtual void removeClient(const char* connectionId);

    // Live connections an address may hold; 0 means no limit.
    void setMaxConnectionsPerIpAddress(unsigned short max);

    TCP_CONNECT_STATUS getListenState() const;
    unsigned int getSeqNum() const;
    // Live connections of a client address (dotted), as the limit counts them.
    unsigned int liveConnections(const std::string& address) const;
    // Closed connection objects of the default create not yet deleted.
    std::size_t closedAwaitingDelete() const;

private:
    friend class LineMasqueraderManagerTcpImpl;
    std::unique_ptr<LineMasqueraderManagerTcpImpl> mImpl;
};
