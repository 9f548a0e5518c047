// A feed line received from a multicast group, or as directed UDP to a
// unicast address, through the framework's UDP service: each datagram,
// inflated first when the line is compressed, becomes one LineData record on
// the sub-feed's raw line data bus, framed by start-batch and flush messages
// for downstream publishers when asked. The handler is its own UDP adapter
// and runs on its session's thread. The receive buffer and the record are
// reused for every datagram; subscribers copy what they keep.
#pragma once

#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/linehandler/UDPNetworkHandler.h"

#include <cstdint>
#include <memory>
#include <string>

class LineHandlerMulticastImpl;

class LineHandlerMulticast : public LineHandler, public UDPNetworkHandler, public OrluPublisher<MsgPubAdmin>
{
public:
    static constexpr unsigned int cBufferSize = 1500;
    static constexpr int cDefaultUdpBufferSize = 262144;

    enum MC_CONNECT_STATUS : int
    {
        MC_DISCONNECT = 0,
        MC_DELAY_CONNECT = 1,
        MC_READY_CONNECT = 2,
        MC_CONNECT = 3
    };

    LineHandlerMulticast(LineDataFactory& factory, TarvokSession& session, Log& log);
    ~LineHandlerMulticast() override;

    void connect() override;
    void disconnect() override;
    bool connected() const override;
    void onLineDown(const std::string& reason, LineStatus::StatusType status, bool isError) override;

    // UDPNetworkHandler
    void onNetworkData(const char* data, unsigned int length) override;
    void onReadyToConnect() override;
    void onLineEof(LineEof& e) override;
    void onLineError(LineError& e) override;
    void onLineConnectError(LineConnectError& e) override;
    void onLineTerminate(LineTerminate& e) override;
    void onInvalidArg(std::invalid_argument& e) override;

    void setName(const std::string& name);
    const std::string& getName() const { return LineHandler::getName(); }

    // Before setMulticastParams to take effect.
    void setUdpBufferSize(long size);
    void setReadsPerIoEvent(long reads);
    void setDataIsCompressed(bool on);
    void setCheckForClassD(bool on);
    void setSendPubFlushMsg(bool on);
    // Resolves, registers the UDP service under the feed name (set it first)
    // and joins when asked; LineError on a bad service or a refused registration.
    void setMulticastParams(const std::string& interface, const std::string& group, const std::string& service);
    void setMulticastParams(const std::string& interface, const std::string& group, const std::string& service,
                            bool connectOnInit);

    MC_CONNECT_STATUS getConnectStatus() const;
    // Datagrams dropped whole: empty, too long, or not inflatable.
    std::uint64_t getDroppedCount() const;

private:
    friend class LineHandlerMulticastImpl;
    std::unique_ptr<LineHandlerMulticastImpl> mImpl;
};
