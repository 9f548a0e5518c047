#include "kelmora/bus/OrluChannelFactory.h"

#include "kelmora/bus/BackupLineChange.h"
#include "kelmora/bus/LineAdmin.h"
#include "kelmora/bus/LineHeartbeat.h"
#include "kelmora/bus/MhMode.h"
#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/bus/MsgZunq.h"
#include "kelmora/bus/RefreshRequest.h"
#include "kelmora/bus/RetransComplete.h"
#include "kelmora/bus/RetransRequest.h"
#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/bus/SystemEvent.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/OrluStatsCollector.h"
#include "kelmora/supervision/LineControl.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/NamedThreads.h"
#include "zunq/log/Log.h"

#include <list>

namespace
{

using SubFeedList = std::list<std::string>;

constexpr OrluChannelSpec cLineDataBlockSpec{"OrluLineDataBlock", "LineDataBlock", OrluShape::PerGroupOrGeneral,
                                             ".", false, false, true};

// Creates one channel and registers it as `spec.moduleName` in `group`.
template <typename T>
void addChannel(ModuleList* list, const OrluChannelSpec& spec, const std::string& channelName,
                const std::string& groupText, const std::string& group)
{
    auto* channel = new Orlu<T>(channelName, groupText);
    if (spec.reportStats)
        if (auto* collector = findModule<OrluStatsCollector>(list, "OrluStatsCollector", list->defaultGroup()))
            collector->addOrlu(channel);
    registerModule<Orlu<T>>(list, spec.moduleName, channel, group);
}

// Creates the channels of `spec` as Orlu<T> and registers them in `list`.
template <typename T>
bool createOrluChannels(ModuleList* list, const OrluChannelSpec& spec)
{
    const std::string module = spec.moduleName;
    const std::string where = "InitModule<" + module + ">";
    Log* log = requireModule<Log>(list, "Log", ModuleListBase::cDefaultGroup, where);
    const std::string& defaultGroup = list->defaultGroup();
    const SubFeedList* subFeeds = findModule<SubFeedList>(list, "SubFeeds", defaultGroup);
    const bool haveSubFeeds = subFeeds != nullptr && !subFeeds->empty();

    auto general = [&](const std::string& logText) {
        log->info() << logText;
        addChannel<T>(list, spec, spec.typeName, "", defaultGroup);
    };
    auto perGroup = [&](const std::string& group, bool groupText) {
        log->info() << where << "(" << group << "): creating " << module << " instance";
        addChannel<T>(list, spec, std::string(spec.typeName) + spec.separator + group, groupText ? group : "", group);
    };
    const std::string generalText = where + ": creating " + module + " instance";

    switch (spec.shape)
    {
    case OrluShape::Single:
        general("InitModule<Tclass>: creating " + module + "instance");
        break;
    case OrluShape::PerGroupOrGeneral:
        if (!haveSubFeeds)
        {
            general(generalText);
            break;
        }
        for (const std::string& group : *subFeeds)
            perGroup(group, false);
        break;
    case OrluShape::GeneralAndPerGroup:
        general(haveSubFeeds ? where + ": creating general " + module + " instance" : generalText);
        if (haveSubFeeds)
            for (const std::string& group : *subFeeds)
                perGroup(group, false);
        break;
    case OrluShape::OverGroupList:
    {
        const SubFeedList groups = haveSubFeeds ? *subFeeds : SubFeedList{defaultGroup};
        for (const std::string& group : groups)
            perGroup(group, spec.groupTextIsGroup);
        if (spec.generalAfterGroups)
            general(generalText);
        break;
    }
    }
    return true;
}

} // namespace

#define KELMORA_ORLU_FACTORY(Type)                                                                           \
    template <>                                                                                              \
    bool InitModule<Orlu<Type>>::createModule(ModuleList* list, ZunqConfigManager*)                          \
    {                                                                                                        \
        return createOrluChannels<Type>(list, OrluChannelTraits<Type>::spec);                                \
    }

KELMORA_ORLU_FACTORY(TerminateAll)
KELMORA_ORLU_FACTORY(MsgPubAdmin)
KELMORA_ORLU_FACTORY(LineAdmin)
KELMORA_ORLU_FACTORY(LineControl)
KELMORA_ORLU_FACTORY(LineHeartbeat)
KELMORA_ORLU_FACTORY(LineStatus)
KELMORA_ORLU_FACTORY(RetransComplete)
KELMORA_ORLU_FACTORY(SystemEvent)
KELMORA_ORLU_FACTORY(LineData)
KELMORA_ORLU_FACTORY(BackupLineChange)
KELMORA_ORLU_FACTORY(MhMode)
KELMORA_ORLU_FACTORY(RefreshRequest)
KELMORA_ORLU_FACTORY(RetransRequest)
KELMORA_ORLU_FACTORY(SeqNumGap)

#undef KELMORA_ORLU_FACTORY

template <>
bool InitModule<OrluLineDataBlock>::createModule(ModuleList* list, ZunqConfigManager*)
{
    return createOrluChannels<LineData>(list, cLineDataBlockSpec);
}

template <>
bool InitModule<OrluMsgZunq>::createModule(ModuleList* list, ZunqConfigManager*)
{
    // The log is used only when present.
    const std::string module = "OrluMsgZunq";
    const std::string where = "InitModule<" + module + ">";
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = findModule<Log>(list, "Log", ModuleListBase::cDefaultGroup);
    const OrluChannelSpec spec{"OrluMsgZunq", "MsgZunq", OrluShape::Single, ".", false, false, true};
    if (log != nullptr)
        log->info() << where << ": creating Orlu object";
    addChannel<MsgZunq>(list, spec, "MsgZunq", "", defaultGroup);

    // One more per thread that sends feed messages, in that thread's group.
    const NamedThreads* threads = findModule<NamedThreads>(list, "NamedThreads", defaultGroup);
    if (threads == nullptr)
        return true;
    for (const std::string& name : *threads)
    {
        const NamedThread* thread = findModule<NamedThread>(list, "NamedThread", name);
        if (thread == nullptr)
            continue;
        if (!thread->isMsgSending())
        {
            if (log != nullptr)
                log->verbose() << where << "(" << name << "): NOT creating a OrluMsgZunq as \"IsMsgSending\" "
                               << "parameter is \"false\"";
            continue;
        }
        if (log != nullptr)
            log->info() << where << "(" << name << "): creating Orlu object";
        addChannel<MsgZunq>(list, spec, "MsgZunq", "", name);
    }
    return true;
}

namespace
{

InitModule<Orlu<MsgPubAdmin>> initOrluMsgPubAdmin("OrluMsgPubAdmin", 80);
InitModule<Orlu<TerminateAll>> initOrluTerminateAll("OrluTerminateAll", 80);
InitModule<Orlu<LineAdmin>> initOrluLineAdmin("OrluLineAdmin", 200);
InitModule<Orlu<LineControl>> initOrluLineControl("OrluLineControl", 200);
InitModule<Orlu<LineHeartbeat>> initOrluLineHeartbeat("OrluLineHeartbeat", 200);
InitModule<Orlu<LineStatus>> initOrluLineStatus("OrluLineStatus", 200);
InitModule<Orlu<RetransComplete>> initOrluRetransComplete("OrluRetransComplete", 200);
InitModule<Orlu<SystemEvent>> initOrluSystemEvent("OrluSystemEvent", 200);
InitModule<Orlu<LineData>> initOrluLineData("OrluLineData", 251);
InitModule<OrluLineDataBlock> initOrluLineDataBlock("OrluLineDataBlock", 251);
InitModule<Orlu<BackupLineChange>> initOrluBackupLineChange("OrluBackupLineChange", 253);
InitModule<Orlu<MhMode>> initOrluMhMode("OrluMhMode", 253);
InitModule<Orlu<RefreshRequest>> initOrluRefreshRequest("OrluRefreshRequest", 253);
InitModule<Orlu<RetransRequest>> initOrluRetransRequest("OrluRetransRequest", 253);
InitModule<Orlu<SeqNumGap>> initOrluSeqNumGap("OrluSeqNumGap", 253);
InitModule<OrluMsgZunq> initOrluMsgZunq("OrluMsgZunq", 268);

} // namespace
