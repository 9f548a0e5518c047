#include "kelmora/linehandler/TCPClientNetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"

#include <cstring>

void TCPClientNetworkHandler::onNetworkEvent(EventMsg* event)
{
    switch (event->id)
    {
    case CONNECTED:
        onConnect();
        break;
    case DISCONNECTED: {
        onDisconnect();
        char name[17] = {};
        std::memcpy(name, event->eventParam.resNameTxt, 16);
        disconnectService(name);
        break;
    }
    case CONNECT_FAIL:
        onConnectFail();
        break;
    case CONN_READY_TO_OPEN:
        onReadyToConnect();
        break;
    default:
        logUnknownEvent("TCPClientNetworkHandler", event->id);
        break;
    }
}

bool TCPClientNetworkHandler::registerTCPClientService(const char* name, const std::string& address, int port,
                                                       unsigned int recvBufSize)
{
    std::memset(mFeedName, 0, sizeof mFeedName);
    std::strncpy(mFeedName, name, sizeof mFeedName - 1);
    return impl().registerTCPClientService(name, address, port, recvBufSize);
}

bool TCPClientNetworkHandler::connectService(const char* name)
{
    return impl().sendNetworkEvent(name, CONN_RQS);
}

bool TCPClientNetworkHandler::disconnectService(const char* name)
{
    return impl().sendNetworkEvent(name, CONN_TERM);
}

int TCPClientNetworkHandler::sendToNetwork(const char* name, const char* data, unsigned int length)
{
    return impl().sendTcp(name, data, length);
}

void TCPClientNetworkHandler::setAcceptedByServer(bool accepted)
{
    impl().setAcceptedByServer(accepted);
}
