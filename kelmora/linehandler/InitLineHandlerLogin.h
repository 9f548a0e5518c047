// Start-up of the login-session lines: the factory configures each
// LineHandlerLogin that a module of lower priority registered in a sub-feed
// whose LineHandlerType lists login (credentials, timers, reset window, gap
// and duplicate actions, when to log in), binds its gap reports, gives it
// its admin methods and, when asked, a logout at termination.
#pragma once

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linehandler/LineHandlerLogin.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <memory>

class Log;

template <>
bool InitModule<LineHandlerLogin>::createModule(ModuleList* list, ZunqConfigManager* config);

// Sends its line's logout when the process is told to terminate. The notice
// comes on the publisher's thread; the logout is sent on the line's own
// thread, carried there by a thread message when they differ.
class LogoutTerminator : public OrluSubscriber<TerminateAll>
{
public:
    static constexpr std::uint32_t cThreadDataType = Zunq::APPLICATION_RESERVED - 27;

    // Before the framework runs, on the thread that builds the modules.
    LogoutTerminator(LineHandlerLogin& handler, Log& log);
    ~LogoutTerminator() override;

    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& data) override;

private:
    class HopTaker;
    LineHandlerLogin& mHandler;
    Log& mLog;
    std::unique_ptr<HopTaker> mHopTaker;
    Orlu<Zunq::ThreadData>* mHopBus = nullptr;
};
