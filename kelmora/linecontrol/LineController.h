// Takes the lines of one group (a sub-feed or the default group) down and
// brings them back on a LineControl request, for all lines of the group at
// once or for one multicast line keyed by its group address and port, and
// undoes the action by itself after the request's interval.
//
// A request may arrive on any thread: it is carried to the controller's
// session thread by a thread message, stored there and applied 1 ms later
// by a timer of that session, so every connect and disconnect of a line
// runs on the session's thread. A thread without a Runnable cannot send, so
// a request published there (before the framework runs) is stored where it
// arrives. Handlers are added at start-up, before the framework runs.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "kelmora/supervision/LineControl.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <memory>
#include <string>

class LineControllerImpl;
class LineHandler;
class Log;
class TarvokSession;

class LineController : public OrluSubscriber<LineControl>
{
public:
    static constexpr std::uint32_t cThreadDataType = Zunq::APPLICATION_RESERVED - 29;

    LineController(const std::string& name, const std::string& subfeed, TarvokSession& session, Log& log);
    ~LineController() override;

    LineController(const LineController&) = delete;
    LineController& operator=(const LineController&) = delete;

    // Whether a request with another action replaces one still pending.
    void setUseOverridesExisting(bool on);
    bool getUseOverridesExisting() const;
    // A handler of whole-group control; null is ignored, a second add acts twice.
    void addLineHandler(LineHandler* handler);
    // One line under "<address>:<port>"; a later add of the same key replaces
    // the earlier line. Ignored for a null handler or an empty text.
    void addIndividual(LineHandler* handler, const char* address, const char* port);
    void onData(const Orlu<LineControl>& orlu, const std::string& name, const LineControl& control) override;

    const std::string& getControllerName() const;
    const std::string& getSubfeed() const;

private:
    std::unique_ptr<LineControllerImpl> mImpl;
};

// Factory "LineController" (priority 250): a general controller for the
// default group and one per sub-feed, each subscribed to its group's
// "OrluLineControl" channel and registered as "LineController" there.
template <>
bool InitModule<LineController>::createModule(ModuleList* list, ZunqConfigManager* config);
