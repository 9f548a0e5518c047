// An IPC channel of the framework, as writer or reader. A reader is
// registered to open on request: it asks for the open when the framework
// reports the channel ready. Data is ignored here; a reader that wants it
// derives and overrides.
#pragma once

#include "kelmora/linehandler/NetworkHandler.h"

class IPCNetworkHandler : public NetworkHandler
{
public:
    using NetworkHandler::NetworkHandler;

    void onNetworkData(const char*, unsigned int) override {}
    void onNetworkEvent(EventMsg* event) override;

    bool registerSendIpc(const char* name);
    bool registerReceiveIpc(const char* name);
    // 0 on success.
    int sendToIpc(const char* name, const char* data, unsigned int length);
};
