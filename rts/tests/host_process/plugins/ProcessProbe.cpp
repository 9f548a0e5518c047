// A plug-in the process tests load into the real rtsd ("--shared-objects").
// Its module factory runs after every module of the program and, on the
// default session's thread, every 50 ms:
//   - publishes one line data record on the default group's line data
//     channel when "ProbeLineData" is true (a busy channel for the
//     statistics report);
//   - once "ProbeQuitAfterMs" has passed (0: never), or once the file
//     "ProbeQuitFile" exists, invokes the admin method "quit" as the admin
//     interface would and logs its answer;
//   - once the file "ProbeInvokeWhenFile" exists, invokes the admin method
//     "ProbeInvoke" ("<method> <argument>...") once and logs its answer.
// It counts every TerminateAll it receives in the log. With "ProbeRecoveryKey"
// it also keeps a file recovery handler's sequence records in the segment of
// that key, and logs at each TerminateAll whether the segment is still attached.
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/recovery/FileRecoveryHandler.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/bus/Orlu.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <atomic>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Only the sequence records: the probe replays no recording.
class ProbeRecovery : public DRAVEK::Recovery::FileRecoveryHandler
{
public:
    using FileRecoveryHandler::FileRecoveryHandler;
    DRAVEK::Recovery::RecoveryLocalFileReader* getLocalFileReader(const std::string&,
                                                                  DRAVEK::Recovery::MessageHandlerZunq&) override
    {
        return nullptr;
    }
};

class ProcessProbe : public TarvokTimerHandler, public OrluSubscriber<TerminateAll>
{
public:
    ProcessProbe(Log& log, KeshSession& kesh, Orlu<LineData>* lineData, long quitAfterMs, std::string quitFile,
                 std::string invokeWhenFile, std::string invoke)
        : OrluSubscriber<TerminateAll>("ProcessProbe"), mLog(log), mKesh(kesh), mQuitAfterMs(quitAfterMs),
          mQuitFile(std::move(quitFile)), mInvokeWhenFile(std::move(invokeWhenFile)), mInvoke(std::move(invoke))
    {
        mPublisher.setDestination(lineData);
    }

    void start(TarvokSession& session) { mTimer.create(&session, this, 50, nullptr); }

    void onTimer(TarvokTimer*) override
    {
        mElapsedMs += 50;
        mPublisher.publish(mRecord);
        const bool quitNow = (mQuitAfterMs > 0 && mElapsedMs >= mQuitAfterMs) ||
                             (!mQuitFile.empty() && ::access(mQuitFile.c_str(), F_OK) == 0);
        if (quitNow && !mQuitSent)
        {
            mQuitSent = true;
            quit();
        }
        struct stat st{};
        if (!mInvokeWhenFile.empty() && !mInvoked && ::stat(mInvokeWhenFile.c_str(), &st) == 0)
        {
            mInvoked = true;
            invoke();
        }
    }

    void onData(const Orlu<TerminateAll>&, const std::string& name, const TerminateAll& data) override
    {
        mLog.info() << "ProcessProbe: TerminateAll " << ++mTerminates << " from " << name << " (" << data.getReason()
                    << ")";
        if (mRecovery != nullptr)
            mLog.info() << "ProcessProbe: recovery segment attached at TerminateAll: "
                        << (mRecovery->isAttached() ? "yes" : "no");
    }

    // Told of TerminateAll before the probe.
    ProbeRecovery* mRecovery = nullptr;

private:
    void invoke()
    {
        std::istringstream words(mInvoke);
        std::string name;
        words >> name;
        KeshParamList in, out;
        int i = 0;
        for (std::string arg; words >> arg;)
            in.add("Arg" + std::to_string(i++), arg);
        for (KeshMethod* method : mKesh.getMethods())
        {
            if (method->getName() != name)
                continue;
            method->invoke(in, out);
            const KeshParam* first = out.getParam(std::size_t{0});
            mLog.info() << "ProcessProbe: " << name << " answered: " << (first != nullptr ? first->getValue() : "");
            return;
        }
        mLog.error() << "ProcessProbe: no method " << name;
    }

    void quit()
    {
        for (KeshMethod* method : mKesh.getMethods())
        {
            if (method->getName() != "quit")
                continue;
            KeshParamList in, out;
            method->invoke(in, out);
            const KeshParam* message = out.getParam(std::string("Message"));
            mLog.info() << "ProcessProbe: quit answered: " << (message != nullptr ? message->getValue() : "");
            return;
        }
        mLog.error() << "ProcessProbe: no quit method";
    }

    Log& mLog;
    KeshSession& mKesh;
    long mQuitAfterMs;
    std::string mQuitFile;
    long mElapsedMs = 0;
    bool mQuitSent = false;
    std::string mInvokeWhenFile;
    std::string mInvoke;
    bool mInvoked = false;
    int mTerminates = 0;
    LineDataBasic mRecord;
    OrluPublisher<LineData> mPublisher{"ProcessProbe"};
    TarvokTimer mTimer;
};

} // namespace

struct ProcessProbeModule
{
};

template <>
bool InitModule<ProcessProbeModule>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<ProcessProbe>";
    const std::string& group = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", group, where);
    KeshSession* kesh = requireModule<KeshSession>(list, "KeshSession", group, where);
    TarvokSession* session = requireModule<TarvokSession>(list, "TarvokSessionDefault", group, where);
    auto* terminate = requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", group, where);
    Orlu<LineData>* lineData = nullptr;
    if (config->getBool("ProbeLineData", "", false))
        lineData = requireModule<Orlu<LineData>>(list, "OrluLineData", group, where);

    auto* probe = new ProcessProbe(*log, *kesh, lineData, config->getLong("ProbeQuitAfterMs", "", 0),
                                   config->getString("ProbeQuitFile", "", ""),
                                   config->getString("ProbeInvokeWhenFile", "", ""),
                                   config->getString("ProbeInvoke", "", ""));
    if (const long key = config->getLong("ProbeRecoveryKey", "", 0); key != 0)
    {
        auto* recovery = new ProbeRecovery(static_cast<key_t>(key), 4, *log, *session);
        recovery->getSeqNumStorer("probe");
        terminate->subscribe(recovery);
        probe->mRecovery = recovery;
    }
    terminate->subscribe(probe);
    probe->start(*session);
    log->info() << where << ": probing";
    return true;
}

// After the terminator (990): it sees the same TerminateAll deliveries as the program's last subscriber.
InitModule<ProcessProbeModule> gProcessProbe("ProcessProbe", 995);

extern "C" void tarvok_so_init() {}
