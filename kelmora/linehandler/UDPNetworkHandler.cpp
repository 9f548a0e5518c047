#include "kelmora/linehandler/UDPNetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"

void UDPNetworkHandler::onNetworkEvent(EventMsg* event)
{
    switch (event->id)
    {
    case CONNECTED:
        onConnect();
        break;
    case CONN_READY_TO_OPEN:
        onReadyToConnect();
        break;
    default:
        logUnknownEvent("UDPNetworkHandler", event->id);
        break;
    }
}

bool UDPNetworkHandler::registerUdpService(const char* name, const in_addr& interface, int port,
                                           const in_addr& destination, int recvBufSize, UdpMode mode)
{
    return impl().registerUdpService(name, interface, port, destination, recvBufSize, mode);
}

bool UDPNetworkHandler::registerMulticastService(const char* name, const in_addr& interface,
                                                 const std::string& group, int port, int recvBufSize, UdpMode mode)
{
    return impl().registerMulticastService(name, interface, group, port, recvBufSize, mode);
}

bool UDPNetworkHandler::joinMulticastService(const char* name)
{
    return impl().sendNetworkEvent(name, MCAST_JOIN);
}

bool UDPNetworkHandler::leaveMulticastService(const char* name)
{
    return impl().sendNetworkEvent(name, MCAST_LEAVE);
}

int UDPNetworkHandler::sendByName(const char* data, int length)
{
    return impl().sendByName(data, length);
}
