// What a thread's network delivery calls for data and events of a channel.
// A handler registers under its channel's resource name with
// Runnable::insertNetworkHandleMap and runs on the channel's thread.
// onNetworkData and onNetworkEvent may throw the line exceptions or
// std::invalid_argument; the delivery then calls the matching on... hook.
#pragma once

#include "kelmora/linehandler/LineConnectError.h"
#include "kelmora/linehandler/LineEof.h"
#include "kelmora/linehandler/LineError.h"
#include "kelmora/linehandler/LineTerminate.h"

#include <stdexcept>

struct EventMsg;

class NetworkHandler
{
public:
    virtual ~NetworkHandler() = default;

    virtual void onNetworkData(const char* buffer, unsigned int length) = 0;
    virtual void onLineEof(LineEof& e) = 0;
    virtual void onLineError(LineError& e) = 0;
    virtual void onLineConnectError(LineConnectError& e) = 0;
    virtual void onLineTerminate(LineTerminate& e) = 0;
    virtual void onInvalidArg(std::invalid_argument& e) = 0;
    virtual void onNetworkEvent(EventMsg* event) = 0;
};
