#include "kelmora/linehandler/NetworkHandlerImpl.h"

#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/linehandler/NetworkHandler.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <arpa/inet.h>
#include <cassert>
#include <cstring>

namespace
{
constexpr unsigned short cSendTtl = 100;

template <std::size_t N>
void copyText(char (&dst)[N], const char* src)
{
    // Cut to the field, always terminated.
    const std::size_t n = ::strnlen(src, N - 1);
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, N - n);
}

template <std::size_t N>
void copyAddress(char (&dst)[N], const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    copyText(dst, text);
}

void cutName(char (&dst)[17], const char* name)
{
    copyText(dst, name);
}
} // namespace

NetworkHandlerImpl::NetworkHandlerImpl(NetworkHandler& handler, TarvokSession& session, Log& log)
    : mHandler(handler), mSession(session), mLogger(log)
{
    if (Runnable* runnable = session.getRunnable())
        runnable->getResourceName(mName);
}

void NetworkHandlerImpl::checkOwner() const
{
#ifndef NDEBUG
    // Before the framework runs threads (registration at start-up) there is
    // no calling Runnable; once there is, it must be the session's.
    Runnable* caller = Runnable::current();
    assert(caller == nullptr || mSession.getRunnable() == nullptr || caller == mSession.getRunnable());
#endif
}

bool NetworkHandlerImpl::enter(const char (&name)[17])
{
    return Runnable::insertNetworkHandleMap(name, &mHandler, mLogger);
}

bool NetworkHandlerImpl::registerTCPClientService(const char* name, const std::string& address, int port,
                                                  unsigned int recvBufSize)
{
    checkOwner();
    const NetworkApi& api = NetworkApi::current();
    TcpConnParam param;
    if (api.initStructParam(TCPCONN_PARAM, &param, sizeof param) != 0)
    {
        mLogger.error() << "NetworkHandlerImpl::registerTCPClientService(" << name
                        << ") failed to register tcp service, error:" << api.getErrorCode();
        return false;
    }
    char key[17];
    cutName(key, name);
    copyText(param.connNameTxt, name);
    copyText(param.threadNameTxt, mName);
    param.channelType = NORMAL_CHANNEL;
    param.tcpMode = TCP_CLIENT_DATA_MODE;
    copyText(param.remoteAddrTxt, address.c_str());
    param.remotePort = static_cast<uint16>(port);
    param.msgFormat = MSG_FORMAT_RAW;
    if (recvBufSize != 0)
        param.recvBufSize = static_cast<int32>(recvBufSize);
    param.replicationMode = NO_REPLICATION;
    param.connectAtStartup = false;
    param.openInStandbyMode = true;
    if (api.registerTcpConnection(&param) != 0)
    {
        mLogger.error() << "NetworkHandlerImpl::registerTCPClientService(" << name
                        << ") failed to register tcp service, error:" << api.getErrorCode();
        return false;
    }
    return enter(key);
}

bool NetworkHandlerImpl::registerTCPServerService(const char* name, const std::string& address, int port)
{
    checkOwner();
    const NetworkApi& api = NetworkApi::current();
    TcpConnParam param;
    char key[17];
    cutName(key, name);
    bool done = api.initStructParam(TCPCONN_PARAM, &param, sizeof param) == 0;
    if (done)
    {
        copyText(param.connNameTxt, name);
        copyText(param.threadNameTxt, mName);
        param.channelType = NORMAL_CHANNEL;
        param.tcpMode = TCP_SERVER_LISTEN_MODE;
        copyText(param.interfaceTxt, address.c_str());
        param.localPort = static_cast<uint16>(port);
        param.msgFormat = MSG_FORMAT_RAW;
        param.replicationMode = NO_REPLICATION;
        param.connectAtStartup = false;
        param.openInStandbyMode = false;
        done = api.registerListenTcpConnection(&param) == 0 && enter(key);
    }
    if (!done)
    {
        mLogger.error() << "NetworkHandlerImpl::registerTCPServerService(" << name
                        << ") failed to register tcp service, error:" << api.getErrorCode();
        return false;
    }
    mLogger.info() << "NetworkHandlerImpl::registerTCPServerService(" << name
                   << ") registered tcp service successfully";
    return true;
}

bool NetworkHandlerImpl::checkDatagramName(const char* who, const char* name, const char (&cut)[17])
{
    if (std::strlen(name) <= 16)
        return true;
    mLogger.error() << "NetworkHandlerImpl::" << who << "(" << name << "): feed name|" << name
                    << "| is longer than 16 characters. It may have potential issue";
    unsigned long holder = 0;
    if (Runnable::getNetworkHandleMap(cut, holder))
    {
        // Going on would hand this adapter's traffic to the other resource.
        mLogger.error() << "NetworkHandlerImpl::" << who << "(" << name << "): feed name|" << cut
                        << "| is already registered";
        return false;
    }
    return true;
}

bool NetworkHandlerImpl::registerUdpService(const char* name, const in_addr& interface, int port,
                                            const in_addr& destination, int recvBufSize, UdpMode mode)
{
    checkOwner();
    const NetworkApi& api = NetworkApi::current();
    char key[17];
    cutName(key, name);
    if (!checkDatagramName("registerUdpService", name, key))
        return false;
    UdpConnParam param;
    if (api.initStructParam(UDPCONN_PARAM, &param, sizeof param) != 0)
    {
        mLogger.error() << "NetworkHandlerImpl::registerUdpService(" << name << "): feed name|" << name
                        << "| failed to initStructParam";
        return false;
    }
    copyText(param.connNameTxt, key);
    copyText(param.threadNameTxt, mName);
    param.channelType = NORMAL_CHANNEL;
    param.udpMode = mode;
    copyAddress(param.interfaceTxt, interface);
    copyAddress(param.destAddrTxt, destination);
    param.port = static_cast<uint16>(port);
    param.recvBufSize = recvBufSize;
    param.mcastSendTtl = cSendTtl;
    param.replicationMode = NO_REPLICATION;
    param.connectAtStartup = false;
    param.openInStandbyMode = true;
    if (api.registerUdpConnection(&param) != 0)
    {
        mLogger.error() << "NetworkHandlerImpl::registerUdpService(" << name
                        << ") failed to register UDP service, thread: " << mName << ", error:" << api.getErrorCode();
        return false;
    }
    mLogger.info() << "NetworkHandlerImpl::registerUdpService(" << name << ") registered UDP service";
    return enter(key);
}

bool NetworkHandlerImpl::registerMulticastService(const char* name, const in_addr& interface, const std::string& group,
                                                  int port, int recvBufSize, UdpMode mode)
{
    checkOwner();
    const NetworkApi& api = NetworkApi::current();
    char key[17];
    cutName(key, name);
    if (!checkDatagramName("registerMulticastService", name, key))
        return false;
    UdpConnParam param;
    // Without the defaults the record would go out half uninitialised.
    if (api.initStructParam(UDPCONN_PARAM, &param, sizeof param) != 0)
    {
        mLogger.error() << "NetworkHandlerImpl::registerMulticastService(" << name << "): feed name|" << name
                        << "| failed to initStructParam";
        return false;
    }
    copyText(param.connNameTxt, key);
    copyText(param.threadNameTxt, mName);
    param.udpMode = mode;
    copyAddress(param.interfaceTxt, interface);
    copyText(param.destAddrTxt, group.c_str());
    param.port = static_cast<uint16>(port);
    param.recvBufSize = recvBufSize;
    param.replicationMode = NO_REPLICATION;
    param.connectAtStartup = false;
    param.openInStandbyMode = true;
    if (mode == MULTICAST_RECEIVER_MODE)
    {
        if (api.registerListenMulticastConnection(&param) != 0)
        {
            mLogger.error() << "NetworkHandlerImpl::registerMulticastService(" << name
                            << ") failed to register multicast service, thread: " << mName
                            << ", error:" << api.getErrorCode();
            return false;
        }
        mLogger.info() << "NetworkHandlerImpl::registerMulticastService(" << name
                       << ") registered multicast receiver service";
    }
    else if (mode == MULTICAST_SENDER_MODE)
    {
        param.mcastSendTtl = cSendTtl;
        param.connectAtStartup = true;
        if (api.registerSendMulticastConnection(&param) != 0)
        {
            mLogger.error() << "NetworkHandlerImpl::registerMulticastService(" << name
                            << ") failed to register multicast sender service, error:" << api.getErrorCode();
            return false;
        }
        copyText(mSenderName, key);
        mLogger.info() << "NetworkHandlerImpl::registerMulticastService(" << name
                       << ") registered multicast sender service";
    }
    return enter(key);
}

bool NetworkHandlerImpl::registerIpc(const char* who, const char* name, IpcAccessMode mode)
{
    checkOwner();
    const NetworkApi& api = NetworkApi::current();
    IpcParam param;
    if (api.initStructParam(IPC_PARAM, &param, sizeof param) != 0)
        return false;
    char key[17];
    cutName(key, name);
    copyText(param.ipcNameTxt, name);
    copyText(param.threadNameTxt, mName);
    param.accessMode = mode;
    if (mode == IPC_READER_MODE)
        param.openAtStartup = false;
    if (api.registerIpc(&param) != 0)
    {
        mLogger.error() << "NetworkHandlerImpl::" << who << "(" << name
                        << ") failed to register tcp service, error:" << api.getErrorCode();
        return false;
    }
    return enter(key);
}

bool NetworkHandlerImpl::registerSendIpc(const char* name)
{
    return registerIpc("registerSendIpc", name, IPC_WRITER_MODE);
}

bool NetworkHandlerImpl::registerReceiveIpc(const char* name)
{
    return registerIpc("registerReceiveIpc", name, IPC_READER_MODE);
}

bool NetworkHandlerImpl::registerAcceptedClient(const char (&name)[17], NetworkHandler* client)
{
    checkOwner();
    return Runnable::insertNetworkHandleMap(name, client, mLogger);
}

bool NetworkHandlerImpl::sendNetworkEvent(const char* name, FwEventID event)
{
    checkOwner();
    if (mAcceptedByServer && event == CONN_TERM)
    {
        // Data still queued for the connection must find no handler. A
        // connection the peer closed first has been terminated already, so
        // its entry may be gone: that is no error.
        char key[17];
        cutName(key, name);
        unsigned long handle = 0;
        if (Runnable::getNetworkHandleMap(key, handle))
            Runnable::removeNetworkHandleMap(key, mLogger);
    }
    const NetworkApi& api = NetworkApi::current();
    if (api.sendNetEvent(name, event, nullptr) == 0)
        return true;
    const int code = api.getErrorCode();
    if (event == CONN_TERM && code == RES_NOT_EXIST)
        return true; // already gone
    mLogger.warning() << "NetworkHandlerImpl::sendNetworkEvent(" << name << ") failed to send network event ["
                      << eventToString(event) << "], error:" << code;
    return false;
}

int NetworkHandlerImpl::sendTcp(const char* name, const char* data, unsigned int length)
{
    checkOwner();
    return NetworkApi::current().sendTcpMessage(name, data, static_cast<int>(length), nullptr, true);
}

int NetworkHandlerImpl::sendByName(const char* data, int length)
{
    checkOwner();
    return NetworkApi::current().sendUdpMessage(mSenderName, data, length, nullptr, true);
}

int NetworkHandlerImpl::sendIpc(const char* name, const char* data, unsigned int length)
{
    checkOwner();
    return NetworkApi::current().sendIpcMessage(name, data, static_cast<int>(length));
}

bool NetworkHandlerImpl::requestIpcOpen(const char* name)
{
    checkOwner();
    const NetworkApi& api = NetworkApi::current();
    if (api.sendIpcEvent(name, IPC_OPEN_RQS, nullptr) == 0)
        return true;
    mLogger.warning() << "NetworkHandlerImpl::requestIpcOpen(" << name << ") failed to send network event ["
                      << eventToString(IPC_OPEN_RQS) << "], error:" << api.getErrorCode();
    return false;
}

std::string NetworkHandlerImpl::eventToString(int event)
{
    switch (event)
    {
    case CONN_RQS:
        return "CONN_RQS";
    case CONN_TERM:
        return "CONN_TERM";
    case CONN_LISTEN:
        return "CONN_LISTEN";
    case MCAST_JOIN:
        return "MCAST_JOIN";
    case MCAST_LEAVE:
        return "MCAST_LEAVE";
    default:
        return std::to_string(event);
    }
}
