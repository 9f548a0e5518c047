// The base of a feed's message handler: the component of one sub-feed that
// decodes its filtered line data into feed messages. A plug-in derives its
// handler from it (or from MessageHandlerZunq) and registers it as module
// "MessageHandler" in the sub-feed's group; the factory below finds it, sets
// its debug flag and HA mode and wires its channels.
//
// The base keeps the message-handling mode (MhMode) and the HA mode, both
// UNKNOWN at first, publishes every setMode on its MhMode channel (also an
// unchanged mode), and keeps the sequence number an operator set with a
// SET_SEQNUM LineAdmin (cut to 32 bits). It decides no mode itself.
//
// Thread: every call arrives on the sub-feed's session thread, through the
// channels' direct delivery or an admin method relayed there; start-up runs
// on the main thread before any framework thread. No locks.
#pragma once

#include "kelmora/bus/LineAdmin.h"
#include "kelmora/bus/MhMode.h"
#include "kelmora/bus/SystemEvent.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/supervision/LineStatus.h"
#include "zunq/HaMode.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <memory>
#include <string>

class Log;
struct MessageHandlerImpl;

class MessageHandler : public OrluSubscriber<LineData>,
                       public OrluSubscriber<LineStatus>,
                       public OrluSubscriber<SystemEvent>,
                       public OrluSubscriber<LineAdmin>,
                       public OrluPublisher<MhMode>
{
public:
    // Every channel base carries `name`; subscribes to nothing (the factory wires it).
    MessageHandler(const std::string& name, Log& log);
    // Does not unsubscribe: handlers live until the process exits.
    ~MessageHandler() override;

    MessageHandler(const MessageHandler&) = delete;
    MessageHandler& operator=(const MessageHandler&) = delete;

    // The plug-in's decoding of one filtered record.
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override = 0;
    // A verbose line with the status and the current mode; the mode stays.
    void onData(const Orlu<LineStatus>& orlu, const std::string& name, const LineStatus& status) override;
    // Ignored by the base.
    void onData(const Orlu<SystemEvent>& orlu, const std::string& name, const SystemEvent& event) override;
    // SET_SEQNUM: logged, then setSeqNum with the number cut to 32 bits; other actions ignored.
    void onData(const Orlu<LineAdmin>& orlu, const std::string& name, const LineAdmin& admin) override;

    virtual const std::string& getName() const;
    virtual std::uint32_t getSeqNum() const;
    virtual void setSeqNum(std::uint32_t seqNum);
    virtual const HaMode& getHAMode() const;
    // The one slot every HA mode change reaches: logs, warns on UNKNOWN, stores; publishes nothing.
    virtual void setHAMode(const HaMode& mode);
    // Both end in setHAMode(const HaMode&); a text is parsed by HaMode::stringToMode.
    virtual void setHAMode(HaMode::Mode mode);
    virtual void setHAMode(const std::string& mode);

    const MhMode& getMode() const;
    // Logs the change (verbose when neither mode is NORMAL and one is TEST,
    // else info), warns on UNKNOWN, stores, and publishes the mode when a
    // destination is set: every call, whether the mode changed or not.
    void setMode(const MhMode& mode);
    void setMode(MhMode::Mode mode);
    // Text parsed by MhMode::stringToMode.
    void setMode(const std::string& mode);
    void initialize(const std::string& modeName);

    void setDebug(bool on);
    bool getDebug() const;

protected:
    Log& getLog() const;

private:
    std::unique_ptr<MessageHandlerImpl> mImpl;
};

// Priority 720. Creates no handler: for each sub-feed it finds the plug-in's
// "MessageHandler", sets its debug flag ("MessageHandlerDebug") and HA mode
// ("HaMode", default "active"), adds the admin methods getMode and setHAMode
// (bound to the handler's thread) and wires the sub-feed's LineData channel
// and its admin group's LineAdmin, LineStatus, SystemEvent and MhMode
// channels. The admin group is the sub-feed, or the default group when the
// sub-feed's named thread handles messages. Registers no module of its own.
template <>
bool InitModule<MessageHandler>::createModule(ModuleList* list, ZunqConfigManager* config);
