#include "kelmora/linehandler/NetworkApi.h"

#include <atomic>

namespace
{
int sendTcp(const char* n, const char* d, int l, char (*f)[17], bool s)
{
    return sendTcpMessage(n, d, l, f, s);
}
int sendUdp(const char* n, const char* d, int l, char (*f)[17], bool s)
{
    return sendUdpMessage(n, d, l, f, s);
}
int sendIpc(const char* n, const char* d, int l)
{
    return sendIpcMessage(n, d, l);
}

const NetworkApi cFramework{
    initStructParam,
    registerTcpConnection,
    registerListenTcpConnection,
    registerUdpConnection,
    registerListenMulticastConnection,
    registerSendMulticastConnection,
    registerIpc,
    sendNetEvent,
    sendTcp,
    sendUdp,
    sendIpc,
    getErrorCode,
    sendIpcEvent,
};

std::atomic<const NetworkApi*> gCurrent{&cFramework};
} // namespace

const NetworkApi& NetworkApi::current()
{
    return *gCurrent.load(std::memory_order_acquire);
}

const NetworkApi& NetworkApi::framework()
{
    return cFramework;
}

void NetworkApi::install(const NetworkApi* api)
{
    gCurrent.store(api != nullptr ? api : &cFramework, std::memory_order_release);
}
