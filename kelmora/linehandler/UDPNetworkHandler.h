// A UDP or multicast channel of the framework, received on the component's
// thread; a multicast sender registration also sets the target of sendByName.
#pragma once

#include "kelmora/linehandler/NetworkHandler.h"

#include "FendralCore/runtime/ResourceParam.h"

#include <netinet/in.h>
#include <string>

class UDPNetworkHandler : public NetworkHandler
{
public:
    using NetworkHandler::NetworkHandler;

    void onNetworkEvent(EventMsg* event) override;
    virtual void onConnect() {}
    virtual void onReadyToConnect() {}

    bool registerUdpService(const char* name, const in_addr& interface, int port, const in_addr& destination,
                            int recvBufSize, UdpMode mode);
    bool registerMulticastService(const char* name, const in_addr& interface, const std::string& group, int port,
                                  int recvBufSize, UdpMode mode);
    bool joinMulticastService(const char* name);
    bool leaveMulticastService(const char* name);
    int sendByName(const char* data, int length);
};
