// A listening TCP connection of the framework: each accepted connection
// arrives as onNewConnect, and the server hands it to a client adapter.
#pragma once

#include "kelmora/linehandler/NetworkHandler.h"

#include <string>

class TCPClientNetworkHandler;

class TCPServerNetworkHandler : public NetworkHandler
{
public:
    using NetworkHandler::NetworkHandler;

    void onNetworkData(const char*, unsigned int) override {}
    void onNetworkEvent(EventMsg* event) override;
    virtual void onNewConnect(EventMsg* event) = 0;
    virtual void onConnectFail() {}
    virtual void onReadyToConnect() {}

    bool registerTCPServerService(const char* name, const std::string& address, int port);
    bool startListenService(const char* name);
    bool disconnectService(const char* name);
    // Makes `client` the receiver of the accepted connection `name`.
    bool registerAcceptedClient(const char (&name)[17], TCPClientNetworkHandler* client);
};
