#include "kelmora/linehandler/IPCNetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"

#include "FendralCore/runtime/FwIntMessage.h"

void IPCNetworkHandler::onNetworkEvent(EventMsg* event)
{
    if (event->id == IPC_READY_TO_OPEN)
        impl().requestIpcOpen(event->eventParam.resNameTxt);
}

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
