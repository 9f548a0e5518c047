// What a thread's network delivery calls for data and events of a channel,
// and the common base of the network adapters. An adapter registers under
// its channel's resource name with Runnable::insertNetworkHandleMap, runs
// on the channel's thread and leaves the map when destroyed. onNetworkData and onNetworkEvent may throw the
// line exceptions or std::invalid_argument; the delivery then calls the
// matching on... hook.
#pragma once

#include "kelmora/linehandler/LineConnectError.h"
#include "kelmora/linehandler/LineEof.h"
#include "kelmora/linehandler/LineError.h"
#include "kelmora/linehandler/LineTerminate.h"
#include "kelmora/thread/TarvokHandler.h"

#include <memory>
#include <stdexcept>

struct EventMsg;
class Log;
class NetworkHandlerImpl;
class TarvokSession;

class NetworkHandler : public TarvokHandler
{
public:
    NetworkHandler(TarvokSession& session, Log& log);
    ~NetworkHandler() override;

    NetworkHandler(const NetworkHandler&) = delete;
    NetworkHandler& operator=(const NetworkHandler&) = delete;

    virtual void onNetworkData(const char* buffer, unsigned int length) = 0;
    virtual void onLineEof(LineEof&) {}
    virtual void onLineError(LineError&) {}
    virtual void onLineConnectError(LineConnectError&) {}
    virtual void onLineTerminate(LineTerminate&) {}
    virtual void onInvalidArg(std::invalid_argument&) {}
    virtual void onNetworkEvent(EventMsg* event) = 0;

protected:
    NetworkHandlerImpl& impl() const { return *mPimpl; }
    // The line "<class>::onNetworkEvent(<feed>) received event|<id>|".
    void logUnknownEvent(const char* className, int id);

    std::unique_ptr<NetworkHandlerImpl> mPimpl;
    Log& mLogger;
    char mFeedName[17] = {};
};
