// A feed line received on a UDP socket of the handler's own: each datagram,
// inflated first when the line is compressed, becomes the handler's one
// LineData record on the line data bus, framed by start-batch and flush
// messages when asked. The socket is not handed to the framework: the handler
// polls its own epoll set on its own thread, driven by a message it keeps
// sending itself through the thread's queue, so the thread's other work runs
// between passes. It binds the configured port and joins the group when the
// address is a multicast one. Configured by its creator through the setters
// and setUdpParams; runs on its session's thread and takes no lock.
#pragma once

#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/linehandler/UDPNetworkHandler.h"

#include <cstdint>
#include <memory>
#include <string>

class LineHandlerUDPImpl;

class LineHandlerUDP : public LineHandler, public UDPNetworkHandler, public OrluPublisher<MsgPubAdmin>
{
public:
    static constexpr unsigned int cMaxDatagram = 8388608;
    static constexpr int cDefaultUdpBufferSize = 262144;
    static constexpr int cMaxEvents = 10;

    LineHandlerUDP(LineDataFactory& factory, TarvokSession& session, Log& log);
    // Stops polling and closes the socket and the epoll descriptor.
    ~LineHandlerUDP() override;

    void connect() override;
    // Closes the socket and stops the self-signal loop.
    void disconnect() override;
    bool connected() const override { return false; }
    void onLineDown(const std::string& reason, LineStatus::StatusType status, bool isError) override;
    void onData(const Orlu<Zunq::ThreadData>& orlu, const std::string& name, const Zunq::ThreadData& data) override;

    void setName(const std::string& name);
    // Resolves the service (LineError when it is bad), labels the record
    // and connects when asked. The int argument is not used.
    void setUdpParams(const std::string& interface, const std::string& service, const std::string& group, int unused,
                      bool connectOnInit);

    // UDPNetworkHandler
    void onNetworkData(const char* data, unsigned int length) override;
    void onLineEof(LineEof& e) override;
    void onLineError(LineError& e) override;
    void onLineConnectError(LineConnectError& e) override;
    void onLineTerminate(LineTerminate& e) override;
    void onInvalidArg(std::invalid_argument& e) override;

    void setReadsPerIoEvent(long reads);
    void setDataIsCompressed(bool on);
    void setCheckForClassD(bool on);
    void setSendPubFlushMsg(bool on);
    void setSelfSignal(bool on);
    int getSocket() const;
    int getPort() const;

    void sendPubStartBatchMsg();
    void sendPubFlushMsg();
    // Queues the next poll; true when it was queued (or one already is).
    bool selfSignal();
    void handlePollEvent();
    void _read(int unused = 0);
    void read(int unused = 0);
    // One datagram handed in by a caller.
    void processNetworkData(const char* data, unsigned int length);

    // Datagrams dropped whole: empty, or not inflatable.
    std::uint64_t getDroppedCount() const;

private:
    friend class LineHandlerUDPImpl;
    std::unique_ptr<LineHandlerUDPImpl> mImpl;
};
