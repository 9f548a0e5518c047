#include "kelmora/linehandler/TCPServerNetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"
#include "kelmora/linehandler/TCPClientNetworkHandler.h"

void TCPServerNetworkHandler::onNetworkEvent(EventMsg* event)
{
    switch (event->id)
    {
    case NEW_CONNECT:
        onNewConnect(event);
        break;
    case CONNECT_FAIL:
        onConnectFail();
        break;
    case CONN_READY_TO_OPEN:
        onReadyToConnect();
        break;
    default:
        logUnknownEvent("TCPServerNetworkHandler", event->id);
        break;
    }
}

bool TCPServerNetworkHandler::registerTCPServerService(const char* name, const std::string& address, int port)
{
    return impl().registerTCPServerService(name, address, port);
}

bool TCPServerNetworkHandler::startListenService(const char* name)
{
    return impl().sendNetworkEvent(name, CONN_LISTEN);
}

bool TCPServerNetworkHandler::disconnectService(const char* name)
{
    return impl().sendNetworkEvent(name, CONN_TERM);
}

bool TCPServerNetworkHandler::registerAcceptedClient(const char (&name)[17], TCPClientNetworkHandler* client)
{
    client->setAcceptedByServer(true);
    return impl().registerAcceptedClient(name, client);
}
