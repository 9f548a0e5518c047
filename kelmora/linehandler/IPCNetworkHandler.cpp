#include "kelmora/linehandler/IPCNetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"

bool IPCNetworkHandler::registerSendIpc(const char* name)
{
    return impl().registerSendIpc(name);
}

bool IPCNetworkHandler::registerReceiveIpc(const char* name)
{
    return impl().registerReceiveIpc(name);
}

int IPCNetworkHandler::sendToIpc(const char* name, const char* data, unsigned int length)
{
    return impl().sendIpc(name, data, length);
}
