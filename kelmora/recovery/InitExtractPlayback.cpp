#include "kelmora/recovery/ExtractPlayback.h"
#include "kelmora/recovery/KeshExtractPlaybackMethods.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/time/TimeZone.h"

#include <list>
#include <vector>

InitModule<ExtractPlayback> initExtractPlayback("ExtractPlayback", 700);

namespace
{

const std::string cWhere = "InitModule<ExtractPlayback>";

// The line data channels the recorder records. The recorder stays subscribed
// to all of them from creation on (the channels' threads publish while the
// file opens and closes on the control thread), so opening and closing only
// switch writing on and off.
class RegisterExtraction : public ExtractPlaybackActions
{
public:
    RegisterExtraction(std::vector<Orlu<LineData>*> channels, Log& log) : mOrluList(std::move(channels)), mLog(log) {}

    void subscribe(ExtractPlayback& recorder)
    {
        for (Orlu<LineData>* channel : mOrluList)
        {
            mLog.info() << cWhere << ": recording " << channel->getName();
            channel->subscribe(&recorder);
        }
    }

    void extractOn(ExtractPlayback&) override
    {
        mLog.verbose() << "ExtractPlayback: recording " << mOrluList.size() << " channel(s)";
    }
    void extractOff(ExtractPlayback&) override
    {
        mLog.verbose() << "ExtractPlayback: recording stopped on " << mOrluList.size() << " channel(s)";
    }

private:
    std::vector<Orlu<LineData>*> mOrluList;
    Log& mLog;
};

// A window time from the configuration: empty, or a time the window can use.
std::string windowTime(const ZunqConfigManager& config, const std::string& key, const std::string& option)
{
    const std::string text = config.getString(key, option, "");
    if (!text.empty() && !Time(text.c_str(), TimeZone::local()).isSet())
        throw InitModuleError(cWhere, key + " is not a time of day: " + text);
    return text;
}

} // namespace

template <>
bool InitModule<ExtractPlayback>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("ExtractPlayback");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    KeshSession* kesh = findModule<KeshSession>(list, "KeshSession", defaultGroup);
    TarvokSession* session = requireModule<TarvokSession>(list, "TarvokSessionDefault", defaultGroup, cWhere);
    auto* terminate = requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup, cWhere);

    const std::string file = config->getString("ExtractFile", "--extract-file", "", true);
    const std::string pattern = config->getString("", "--extract", file, true);
    const bool meta = config->getBool("ExtractMetaData", "--extract-meta", true);
    const std::string start = windowTime(*config, "ExtractStart", "--extract-start");
    const std::string stop = windowTime(*config, "ExtractStop", "--extract-stop");
    const bool filterPlayback = config->getBool("FilterPlayback", "--filter-playback", false, true);
    const bool milliseconds =
        config->getBool("ExtractMillisecondTimeStamps", "--extract-millisecond-time-stamps", false);
    const std::string zone = config->getString("ExtractTimeZone", "--extract-time-zone", "TZ");
    const std::string hint = config->getString("ExtractHint", "--extract-hint", "");

    const std::list<std::string> groups = subFeeds != nullptr ? *subFeeds : std::list<std::string>{defaultGroup};
    std::vector<Orlu<LineData>*> channels;
    for (const std::string& group : groups)
    {
        std::vector<const char*> names;
        if (filterPlayback)
            names.push_back("OrluLinePlaybackFilter");
        names.push_back("OrluLineDataBlock");
        names.push_back("OrluLineData");
        for (const char* name : names)
            if (auto* channel = findModule<Orlu<LineData>>(list, name, group))
                channels.push_back(channel);
    }

    // Both live until the process exits.
    auto* actions = new RegisterExtraction(std::move(channels), *log);
    auto* recorder = new ExtractPlayback(*session, *log, pattern, start, stop, meta, actions);
    recorder->setMillisecondTimestamps(milliseconds);
    recorder->setTimeZone(zone.c_str());
    recorder->setExtractHint(hint.c_str());

    if (kesh != nullptr)
    {
        kesh->addMethod(new KeshResetExtractPlayback(*recorder));
        kesh->addMethod(new KeshSetStartExtractPlayback(*recorder));
        kesh->addMethod(new KeshSetStopExtractPlayback(*recorder));
    }
    else
    {
        log->warning() << cWhere << ": no KeshSession: the extract recorder has no admin methods";
    }

    actions->subscribe(*recorder);
    terminate->subscribe(recorder);
    return true;
}
