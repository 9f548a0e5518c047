// The shared work of the network adapters: registration records, the
// handle-map entry, network events and sends. Runs only on the thread of its
// session; reports failure by result and log line, throws nothing.
#pragma once

#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/ResourceParam.h"

#include <netinet/in.h>
#include <string>

class Log;
class NetworkHandler;
class TarvokSession;

class NetworkHandlerImpl
{
public:
    NetworkHandlerImpl(NetworkHandler& handler, TarvokSession& session, Log& log);

    bool registerTCPClientService(const char* name, const std::string& address, int port, unsigned int recvBufSize);
    bool registerTCPServerService(const char* name, const std::string& address, int port);
    bool registerUdpService(const char* name, const in_addr& interface, int port, const in_addr& destination,
                            int recvBufSize, UdpMode mode);
    bool registerMulticastService(const char* name, const in_addr& interface, const std::string& group, int port,
                                  int recvBufSize, UdpMode mode);
    bool registerSendIpc(const char* name);
    bool registerReceiveIpc(const char* name);
    bool registerAcceptedClient(const char (&name)[17], NetworkHandler* client);

    bool sendNetworkEvent(const char* name, FwEventID event);
    int sendTcp(const char* name, const char* data, unsigned int length);
    int sendByName(const char* data, int length);
    int sendIpc(const char* name, const char* data, unsigned int length);
    // Asks the framework to open a reader registered to open on request.
    bool requestIpcOpen(const char* name);

    void setAcceptedByServer(bool accepted) { mAcceptedByServer = accepted; }
    bool isAcceptedByServer() const { return mAcceptedByServer; }
    const char* getThreadName() const { return mName; }
    const char* getSenderName() const { return mSenderName; }

    static std::string eventToString(int event);

private:
    // Debug builds: the calling framework thread is the session's.
    void checkOwner() const;
    bool enter(const char (&name)[17]);
    // The UDP and multicast name checks: a name over 16 characters is logged;
    // one whose cut form another resource holds is refused.
    bool checkDatagramName(const char* who, const char* name, const char (&cut)[17]);
    bool registerIpc(const char* who, const char* name, IpcAccessMode mode);

    NetworkHandler& mHandler;
    TarvokSession& mSession;
    Log& mLogger;
    char mName[17] = {};
    char mSenderName[17] = {};
    bool mAcceptedByServer = false;
};
