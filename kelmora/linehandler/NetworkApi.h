// The framework calls the network adapters make, gathered in one table so a
// test can script the codes a real socket cannot produce on demand. Outside
// tests the table is the framework C API itself.
#pragma once

#include "FendralServices/api/FwServices.h"

struct NetworkApi
{
    int (*initStructParam)(StructParamType, void*, int);
    int (*registerTcpConnection)(const TcpConnParam*);
    int (*registerListenTcpConnection)(const TcpConnParam*);
    int (*registerUdpConnection)(const UdpConnParam*);
    int (*registerListenMulticastConnection)(const UdpConnParam*);
    int (*registerSendMulticastConnection)(const UdpConnParam*);
    int (*registerIpc)(const IpcParam*);
    int (*sendNetEvent)(const char*, FwEventID, AppEventParam*);
    int (*sendTcpMessage)(const char*, const char*, int, char (*)[17], bool);
    int (*sendUdpMessage)(const char*, const char*, int, char (*)[17], bool);
    int (*sendIpcMessage)(const char*, const char*, int);
    int (*getErrorCode)();
    int (*sendIpcEvent)(const char*, FwEventID, AppEventParam*);

    // The table in use, and the framework's own.
    static const NetworkApi& current();
    static const NetworkApi& framework();
    // Tests only, while no adapter runs; null restores the framework's.
    static void install(const NetworkApi* api);
};
