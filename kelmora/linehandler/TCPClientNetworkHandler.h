// A TCP client connection of the framework: registered, opened and closed by
// name; its data and events reach the derived component on its thread.
#pragma once

#include "kelmora/linehandler/NetworkHandler.h"

#include <string>

class TCPClientNetworkHandler : public NetworkHandler
{
public:
    using NetworkHandler::NetworkHandler;

    void onNetworkEvent(EventMsg* event) override;
    virtual void onConnect() {}
    virtual void onDisconnect() {}
    virtual void onConnectFail() {}
    virtual void onReadyToConnect() {}

    bool registerTCPClientService(const char* name, const std::string& address, int port, unsigned int recvBufSize);
    bool connectService(const char* name);
    bool disconnectService(const char* name);
    // Bytes sent, or 0 or -1 with the framework error code set.
    int sendToNetwork(const char* name, const char* data, unsigned int length);
    void setAcceptedByServer(bool accepted);
};
