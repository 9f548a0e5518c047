// The factories of the host's bus channels. Each creates its channels during
// module creation, on the main thread, and registers each as a module
// Module<Orlu<T>> named "Orlu" + type, in a module group; components find a
// channel only there, by module name and group (their sub-feed, or the
// default group). A channel's own name only labels it in reports.
//
// Shapes, over the sub-feed list (module "SubFeeds" in the default group, a
// std::list<std::string>; absent or empty means no sub-feeds), g being each
// sub-feed name in order:
//   Single:             one channel "<Type>" in the default group.
//   PerGroupOrGeneral:  "<Type>.g" in group g for each g; without sub-feeds
//                       one "<Type>" in the default group.
//   GeneralAndPerGroup: "<Type>" in the default group, then "<Type>.g" in g.
//   OverGroupList:      "<Type><sep>g" in group g for each g of the sub-feed
//                       list, or of the one default group name without one.
// Every factory needs the module "Log" in the default group. The line data,
// line data block and MsgZunq channels are also reported to the statistics
// collector, when it exists.
#pragma once

#include "kelmora/bus/OrluLineDataBlock.h"
#include "kelmora/bus/OrluMsgZunq.h"
#include "kelmora/runtime/InitModule.h"
#include "zunq/bus/Orlu.h"

#include <string>

enum class OrluShape
{
    Single,
    PerGroupOrGeneral,
    GeneralAndPerGroup,
    OverGroupList
};

struct OrluChannelSpec
{
    const char* moduleName;
    const char* typeName;
    OrluShape shape;
    // Between type name and group in a per-group channel's name.
    const char* separator = ".";
    // The channel's group text is the group name (otherwise empty).
    bool groupTextIsGroup = false;
    // A general channel "<Type>" in the default group after the per-group ones.
    bool generalAfterGroups = false;
    // Each channel is handed to the statistics collector ("OrluStatsCollector"
    // in the default group) when there is one.
    bool reportStats = false;
};

// What each message type's channels look like; specialised per type below,
// together with the declaration of its factory's createModule.
template <typename T>
struct OrluChannelTraits;

template <>
bool InitModule<OrluLineDataBlock>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<OrluMsgZunq>::createModule(ModuleList* list, ZunqConfigManager* config);

class TerminateAll;
class MsgPubAdmin;
class LineAdmin;
class LineControl;
class LineHeartbeat;
class LineStatus;
class RetransComplete;
class SystemEvent;
class LineData;
class BackupLineChange;
class MhMode;
class RefreshRequest;
class RetransRequest;
class SeqNumGap;

#define KELMORA_ORLU_TRAITS(Type, ...)                                                                       \
    template <>                                                                                              \
    struct OrluChannelTraits<Type>                                                                           \
    {                                                                                                        \
        static constexpr OrluChannelSpec spec{__VA_ARGS__};                                                  \
    };                                                                                                       \
    template <>                                                                                              \
    bool InitModule<Orlu<Type>>::createModule(ModuleList* list, ZunqConfigManager* config);

KELMORA_ORLU_TRAITS(TerminateAll, "OrluTerminateAll", "TerminateAll", OrluShape::Single)
KELMORA_ORLU_TRAITS(MsgPubAdmin, "OrluMsgPubAdmin", "MsgPubAdmin", OrluShape::Single)
KELMORA_ORLU_TRAITS(LineAdmin, "OrluLineAdmin", "LineAdmin", OrluShape::PerGroupOrGeneral)
KELMORA_ORLU_TRAITS(LineControl, "OrluLineControl", "LineControl", OrluShape::GeneralAndPerGroup)
KELMORA_ORLU_TRAITS(LineHeartbeat, "OrluLineHeartbeat", "LineHeartbeat", OrluShape::OverGroupList, ".", true)
KELMORA_ORLU_TRAITS(LineStatus, "OrluLineStatus", "LineStatus", OrluShape::OverGroupList, ".", true)
KELMORA_ORLU_TRAITS(RetransComplete, "OrluRetransComplete", "RetransComplete", OrluShape::PerGroupOrGeneral)
KELMORA_ORLU_TRAITS(SystemEvent, "OrluSystemEvent", "SystemEvent", OrluShape::OverGroupList, ".", true)
KELMORA_ORLU_TRAITS(LineData, "OrluLineData", "LineData", OrluShape::OverGroupList, ".", false, false, true)
KELMORA_ORLU_TRAITS(BackupLineChange, "OrluBackupLineChange", "BackupLineChange", OrluShape::OverGroupList, "", true)
KELMORA_ORLU_TRAITS(MhMode, "OrluMhMode", "MhMode", OrluShape::OverGroupList, ".", true)
KELMORA_ORLU_TRAITS(RefreshRequest, "OrluRefreshRequest", "RefreshRequest", OrluShape::OverGroupList, ".", true,
                    true)
KELMORA_ORLU_TRAITS(RetransRequest, "OrluRetransRequest", "RetransRequest", OrluShape::OverGroupList, ".", true)
KELMORA_ORLU_TRAITS(SeqNumGap, "OrluSeqNumGap", "SeqNumGap", OrluShape::OverGroupList, ".", true)

#undef KELMORA_ORLU_TRAITS
