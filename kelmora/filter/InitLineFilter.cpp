#include "kelmora/filter/InitLineFilter.h"

#include "kelmora/filter/KeshResetSequenceNumber.h"
#include "kelmora/filter/KeshSendTestRetransRequest.h"
#include "kelmora/filter/KeshSetGapLimitSize.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <sstream>

InitModule<LineFilter> initLineFilter("LineFilter", 410);

namespace
{

struct Channels
{
    KeshSession* keshSession;
    TarvokSession* session;
    Orlu<LineAdmin>* lineAdmin;
    Orlu<LineData>* raw;
    Orlu<LineData>* filtered;
    Orlu<SeqNumGap>* seqNumGap;
    Orlu<RetransRequest>* retransRequest;
    Orlu<MsgStartOfDay>* startOfDay;
    LineDataFactory* factory;
    Orlu<BackupLineChange>* backupLineChange;
    Orlu<MhMode>* mhMode;
    Orlu<MsgPubAdmin>* pubAdmin;
    Orlu<RefreshRequest>* refreshRequest;
};

Channels lookUp(const ModuleList& list, const std::string& group)
{
    const std::string& general = list.defaultGroup();
    Channels c{};
    c.keshSession = findModule<KeshSession>(&list, "KeshSession", group);
    c.session = findModule<TarvokSession>(&list, "TarvokSession", group);
    c.lineAdmin = findModule<Orlu<LineAdmin>>(&list, "OrluLineAdmin", group);
    c.raw = findModule<Orlu<LineData>>(&list, "OrluLineDataBlock", group);
    c.filtered = findModule<Orlu<LineData>>(&list, "OrluLineData", group);
    c.seqNumGap = findModule<Orlu<SeqNumGap>>(&list, "OrluSeqNumGap", group);
    c.retransRequest = findModule<Orlu<RetransRequest>>(&list, "OrluRetransRequest", group);
    c.startOfDay = findModule<Orlu<MsgStartOfDay>>(&list, "OrluMsgStartOfDay", general);
    c.factory = findModule<LineDataFactory>(&list, "LineDataFactory", group);
    c.backupLineChange = findModule<Orlu<BackupLineChange>>(&list, "OrluBackupLineChange", group);
    c.mhMode = findModule<Orlu<MhMode>>(&list, "OrluMhMode", group);
    c.pubAdmin = findModule<Orlu<MsgPubAdmin>>(&list, "OrluMsgPubAdmin", general);
    c.refreshRequest = findModule<Orlu<RefreshRequest>>(&list, "OrluRefreshRequest", general);
    return c;
}

void check(const Channels& c, bool useBackupLine, const std::string& where)
{
    // The backup-line channel counts only when a backup line is used.
    const void* backupLineChange = useBackupLine ? static_cast<const void*>(c.backupLineChange) : &c;
    const std::pair<const void*, const char*> required[] = {
        {c.keshSession, "KeshSession"},
        {c.session, "TarvokSession"},
        {c.lineAdmin, "OrluLineAdmin"},
        {c.raw, "OrluLineDataBlock"},
        {c.filtered, "OrluLineData"},
        {c.retransRequest, "OrluRetransRequest"},
        {c.seqNumGap, "OrluSeqNumGap"},
        {c.mhMode, "OrluMhMode"},
        {c.pubAdmin, "OrluMsgPubAdmin"},
        {c.factory, "LineDataFactory"},
        {backupLineChange, "OrluBackupLineChange"},
        {c.refreshRequest, "OrluRefreshRequest"},
    };
    for (const auto& [module, name] : required)
        if (module == nullptr)
            throw InitModuleError(where, std::string("could not find ") + name + " object");
}

struct Settings
{
    bool retransActive, discardForwardRetrans;
    long retransMaxGapSize, gapLimitSize, maxValidGapSize;
    double gapLimitTime;
    bool continueProcessing, gapShutdown, resumeOnGapFill;
    double requestRetransTime;
    long gapLimitStartOfDay;
    bool ignoreAllDataInSleepMode, forceTrue, forceFalse, handleBackwardReset;
    long backwardResetTimeLimit;
    bool checkEveryMessageInBlock, logRetrans;
    long initialSeqNum;
    bool publishWholeBlocks;
    std::string feedId;
    bool sendPubFlushMsg, heartbeatsHavePrevSeqNum;
    double minSeqNumSetInterval;
    bool autoDetectReset;
    long highWater, lowWater;
    double heartbeatsControlTime, heartbeatsPerCycle;
    bool refreshOnSeqReset;
};

// Rows 3 to 32, in order, with the validations; rows 12 and 24 from the main
// configuration, which a sub-feed's own value does not reach.
Settings read(const ZunqConfigManager& cfg, const ZunqConfigManager& main, const std::string& where)
{
    Settings s{};
    s.retransActive = cfg.getBool("LineFilterRetransActive", "--retrans-active", false, true);
    s.discardForwardRetrans = cfg.getBool("LineFilterDiscardForwardRetrans", "--discard-forward-retrans", false, true);
    s.retransMaxGapSize = cfg.getLong("LineFilterRetransMaxGapSize", "--retrans-max-gap-size", 500, true);
    s.gapLimitSize = cfg.getLong("LineFilterGapLimitSize", "--gap-limit-size", 1000, true);
    s.maxValidGapSize = cfg.getLong("LineFilterMaxValidGapSize", "--max-valid-gap-size", 0, true);
    s.gapLimitTime = cfg.getDouble("LineFilterGapLimitTime", "--gap-limit-time", 0.5, true);
    s.continueProcessing = cfg.getBool("LineFilterContinueProcessingAfterGapLimitTimeout",
                                       "--gap-limit-continue-processing", true, true);
    s.gapShutdown = cfg.getBool("LineFilterGapShutdown", "--gap-shutdown", false, true);
    s.resumeOnGapFill = cfg.getBool("LineFilterResumeOnGapFill", "--resume-on-gap-fill", false, true);
    s.requestRetransTime = main.getDouble("LineFilterRequestRetransTime", "--request-retrans-time", 0.0, true);
    s.gapLimitStartOfDay = cfg.getLong("LineFilterGapLimitStartOfDay", "--gap-limit-start-of-day", 1000, true);
    s.ignoreAllDataInSleepMode =
        cfg.getBool("LineFilterIgnoreAllDataInSleepMode", "--ignore-all-data-in-sleep-mode", false, true);
    s.forceTrue = cfg.getBool("LineFilterCheckEveryMessageInBlockForceTrue",
                              "--line-filter-check-every-message-in-block-force-true", false, true);
    s.forceFalse = cfg.getBool("LineFilterCheckEveryMessageInBlockForceFalse",
                               "--line-filter-check-every-message-in-block-force-false", false, true);
    s.handleBackwardReset = cfg.getBool("LineFilterHandleBackwardSequenceReset",
                                        "--line-filter-handle-backward-sequence-reset", false, true);
    s.backwardResetTimeLimit = cfg.getLong("LineFilterBackwardSequenceResetTimeLimit",
                                           "--line-filter-backward-sequence-reset-time-limit", 2000000000, true);
    if (s.forceTrue && s.forceFalse)
        throw InitModuleError("InitModule<LineFilter>", "cannot force 'LineFilterCheckEveryMessageInBlock' true and false");
    if (s.forceTrue || s.forceFalse)
        s.checkEveryMessageInBlock = s.forceTrue;
    else
        s.checkEveryMessageInBlock =
            cfg.getBool("LineFilterCheckEveryMessageInBlock", "--check-every-message-in-block", false, true);
    s.logRetrans = cfg.getBool("LineFilterLogRetrans", "--log-retrans", false, true);
    s.initialSeqNum = cfg.getLong("LineFilterInitialSeqNum", "", 0, false);
    s.publishWholeBlocks = cfg.getBool("LineFilterPublishWholeBlocks", "", false, false);
    s.feedId = cfg.getString("FeedId", "", "", false);
    s.sendPubFlushMsg = main.getBool("LineFilterSendPublisherFlushMsg", "--line-filter-send-publisher-flush-msg",
                                     false, true);
    s.heartbeatsHavePrevSeqNum = cfg.getBool("LineFilterHeartbeatsHavePrevSeqNum", "", true, true);
    s.minSeqNumSetInterval = cfg.getDouble("LineFilterMinSeqNumberSetInterval",
                                           "--line-filter-min-seq-number-set-interval", 0.0, true);
    s.autoDetectReset = cfg.getBool("LineFilterAutoDetectSeqNumberReset", "--line-filter-auto-detect-seq-number-reset",
                                    false, true);
    s.highWater = cfg.getLong("LineFilterSeqNumberResetHighWater", "--line-filter-seq-number-reset-high-water", 0, true);
    s.lowWater = cfg.getLong("LineFilterSeqNumberResetLowWater", "--line-filter-seq-number-reset-low-water", 0, true);
    s.heartbeatsControlTime = cfg.getDouble("HeartbeatsControlTime", "", 0.0, true);
    s.heartbeatsPerCycle = cfg.getDouble("HeartbeatsPerCycle", "", 0.0, true);
    s.refreshOnSeqReset = cfg.getBool("RefreshOnSeqReset", "--refresh-on-seq-reset", false, true);

    if (s.autoDetectReset)
    {
        if (s.highWater == 0)
            throw InitModuleError(where,
                                  "LineFilterAutoDetectSeqNumberReset is true, but LineFilterSeqNumberResetHighWater is not set.");
        if (s.lowWater == 0)
            throw InitModuleError(where,
                                  "LineFilterAutoDetectSeqNumberReset is true, but LineFilterSeqNumberResetLowWater is not set.");
        if (s.highWater <= s.lowWater)
            throw InitModuleError(where, "LineFilterSeqNumberResetHighWater must be higher than LineFilterSeqNumberResetLowWater.");
    }
    if (s.maxValidGapSize == 1)
        throw InitModuleError(where, "LineFilterMaxValidGapSize should be 0 or greater than 1");
    // The spool's pool is sized from it at once: a negative value would skip
    // every gap and a huge one ask for more memory than there is.
    if (s.gapLimitSize < 0 || s.gapLimitSize > static_cast<long>(UINT32_MAX))
        throw InitModuleError(where, "LineFilterGapLimitSize must be between 0 and " + std::to_string(UINT32_MAX));
    return s;
}

std::string padded(std::string label, std::size_t width)
{
    if (label.size() < width)
        label.resize(width, ' ');
    return label;
}

std::string formatG(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string dump(const Settings& s, const std::string& where)
{
    auto b = [](bool v) { return std::string(v ? "true" : "false"); };
    std::ostringstream out;
    out << where << " parameters:\n";
    out << padded("  FeedId:", 33) << s.feedId << "\n";
    out << padded("  LineFilterRetransActive:", 33) << b(s.retransActive) << "\n";
    out << padded("  LineFilterRetransMaxGapSize:", 33) << s.retransMaxGapSize << "\n";
    out << padded("  LineFilterGapLimitSize:", 33) << s.gapLimitSize << "\n";
    out << padded("  LineFilterGapLimitTime:", 33) << formatG(s.gapLimitTime) << "\n";
    out << padded("  LineFilterGapShutdown:", 33) << b(s.gapShutdown) << "\n";
    out << padded("  LineFilterResumeOnGapFill", 33) << b(s.resumeOnGapFill) << "\n";
    out << padded("  LineFilterRequestRetransTime:", 33) << formatG(s.requestRetransTime) << "\n";
    out << padded("  LineFilterGapLimitStartOfDay:", 33) << s.gapLimitStartOfDay << "\n";
    out << padded("  LineFilterInitialSeqNum:", 33) << s.initialSeqNum << "\n";
    out << padded("  LineFilterPublishWholeBlocks:", 33) << b(s.publishWholeBlocks) << "\n";
    out << padded("  LineFilterCheckEveryMessageInBlock:", 48) << b(s.checkEveryMessageInBlock) << "\n";
    out << padded("  LineFilterCheckEveryMessageInBlockForceTrue:", 48) << b(s.forceTrue) << "\n";
    out << padded("  LineFilterCheckEveryMessageInBlockForceFalse:", 48) << b(s.forceFalse) << "\n";
    out << "  LineFilterHeartbeatsHavePrevSeqNum: " << b(s.heartbeatsHavePrevSeqNum) << "\n";
    out << "  LineFilterMinSeqNumberSetInterval: " << formatG(s.minSeqNumSetInterval) << "\n";
    out << "  LineFilterAutoDetectSeqNumberReset: " << b(s.autoDetectReset) << "\n";
    out << "  LineFilterSeqNumberResetHighWater: " << s.highWater << "\n";
    out << "  LineFilterSeqNumberResetLowWater: " << s.lowWater << "\n";
    out << "  LineFilterDiscardForwardRetrans: " << b(s.discardForwardRetrans) << "\n";
    out << "  LineFilterHandleBackwardSequenceReset: " << b(s.handleBackwardReset) << "\n";
    out << "  LineFilterBackwardSequenceResetTimeLimit: " << s.backwardResetTimeLimit << "\n";
    out << "  LineFilterContinueProcessingAfterGapLimitTimeout : " << b(s.continueProcessing) << "\n";
    out << "  HeartbeatsControlTime: " << formatG(s.heartbeatsControlTime) << "\n";
    out << "  HeartbeatsPerCycle: " << formatG(s.heartbeatsPerCycle) << "\n";
    out << "  RefreshOnSeqReset " << b(s.refreshOnSeqReset) << "\n";
    return out.str();
}

void apply(const Settings& s, LineFilter& f)
{
    f.setFeedId(s.feedId);
    f.setRetransActive(s.retransActive);
    f.setDiscardForwardRetrans(s.discardForwardRetrans);
    f.setRetransMaxGapSize(static_cast<unsigned long>(s.retransMaxGapSize));
    f.setGapLimitSize(static_cast<unsigned long>(s.gapLimitSize));
    f.setGapLimitTime(s.gapLimitTime);
    f.setGapLimitTimeOriginal(s.gapLimitTime);
    f.setGapShutdown(s.gapShutdown);
    f.setResumeOnGapFill(s.resumeOnGapFill);
    f.setRequestRetransTime(s.requestRetransTime);
    f.setMaxValidGapSize(static_cast<unsigned long>(s.maxValidGapSize));
    f.setGapLimitStartOfDay(static_cast<unsigned long>(s.gapLimitStartOfDay));
    f.setLogRetrans(s.logRetrans);
    f.setNextSeqNum(s.initialSeqNum, false);
    f.setPublishWholeBlocks(s.publishWholeBlocks);
    f.setCheckEveryMessageInBlock(s.checkEveryMessageInBlock);
    f.setSendPubFlushMsg(s.sendPubFlushMsg);
    f.setHeartbeatsHavePrevSeqNum(s.heartbeatsHavePrevSeqNum);
    f.setIgnoreAllDataInSleepMode(s.ignoreAllDataInSleepMode);
    f.setMinSeqNumberSetInterval(s.minSeqNumSetInterval);
    f.setAutoSeqNumberResetDetect(s.autoDetectReset);
    f.setAutoSeqNumberResetHighWater(static_cast<unsigned int>(s.highWater));
    f.setAutoSeqNumberResetLowWater(static_cast<unsigned int>(s.lowWater));
    f.setHandleBackwardSequenceReset(s.handleBackwardReset);
    f.setBackwardSequenceResetTimeLimit(s.backwardResetTimeLimit);
    f.setHeartbeatsControlTime(s.heartbeatsControlTime);
    f.setNumberHeartbeatsPerControlTime(s.heartbeatsPerCycle);
    f.setRefreshOnSeqReset(s.refreshOnSeqReset);
    f.setContinueProcessingAfterTimeOut(s.continueProcessing);
}

void wire(LineFilter& filter, const Channels& c, KeshResetSequenceNumber& reset)
{
    static_cast<OrluPublisher<LineData>&>(filter).setDestination(c.filtered);
    static_cast<OrluPublisher<RetransRequest>&>(filter).setDestination(c.retransRequest);
    static_cast<OrluPublisher<SeqNumGap>&>(filter).setDestination(c.seqNumGap);
    static_cast<OrluPublisher<MsgPubAdmin>&>(filter).setDestination(c.pubAdmin);
    static_cast<OrluPublisher<BackupLineChange>&>(filter).setDestination(c.backupLineChange);
    static_cast<OrluPublisher<RefreshRequest>&>(filter).setDestination(c.refreshRequest);
    c.raw->subscribe(static_cast<OrluSubscriber<LineData>*>(&filter));
    c.lineAdmin->subscribe(static_cast<OrluSubscriber<LineAdmin>*>(&filter));
    if (c.startOfDay != nullptr)
        c.startOfDay->subscribe(static_cast<OrluSubscriber<MsgStartOfDay>*>(&filter));
    c.mhMode->subscribe(static_cast<OrluSubscriber<MhMode>*>(&filter));
    reset.setDestination(c.lineAdmin);
}

} // namespace

template <>
bool InitModule<LineFilter>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string general = list->defaultGroup();
    Log* log = findModule<Log>(list, "Log", general);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", general);
    if (log == nullptr)
        throw InitModuleError("InitModule<LineFilter>", "could not find Log object");
    if (subFeeds == nullptr)
    {
        log->verbose() << "InitModule<LineFilter>: NOT initializing any LineFilter objects: no SubFeeds defined\n";
        return true;
    }
    const std::list<std::string> groups = subFeeds->empty() ? std::list<std::string>{general} : *subFeeds;
    log->info() << "InitModule<LineFilter>: creating LineFilter object(s)\n";
    for (const std::string& group : groups)
    {
        ZunqConfigManager cfg(*config);
        if (group != general)
            cfg.addConfigBase(group, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        const std::string where = "InitModule<LineFilter>(" + group + ")";
        const bool useBackupLine = cfg.getBool("UseBackupLine", "", false, false);
        const Channels channels = lookUp(*list, group);
        check(channels, useBackupLine, where);
        if (!cfg.getBool("UseLineFilter", "", true, false))
        {
            log->verbose() << where << ": not initializing LineFilter for subfeed: " << group << "\n";
            continue;
        }
        // Owned here until registered: contradictory settings free it.
        auto owned = std::make_unique<LineFilter>("LineFilter(" + group + ")", *channels.session, *log,
                                                  channels.factory, useBackupLine);
        const Settings settings = read(cfg, *config, where);
        LineFilter* filter = owned.release();
        log->info() << dump(settings, where);
        apply(settings, *filter);

        auto* reset = new KeshResetSequenceNumber();
        auto* testRequest = new KeshSendTestRetransRequest(*filter);
        auto* gapLimit = new KeshSetGapLimitSize(*filter);
        channels.keshSession->addMethod(reset);
        channels.keshSession->addMethod(testRequest);
        channels.keshSession->addMethod(gapLimit);
        wire(*filter, channels, *reset);
        registerModule<LineFilter>(list, "LineFilter", filter, group);
    }
    return true;
}
