#include "kelmora/recovery/LineHandlerZunqRefresh.h"

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/filter/LineFilter.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/recovery/MessageHandler.h"
#include "kelmora/recovery/MessageHandlerZunq.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cctype>
#include <list>
#include <sstream>
#include <vector>

InitModule<LineHandlerZunqRefresh> initLineHandlerZunqRefresh("LineHandlerZunqRefresh", 800);

namespace
{

const std::string cWhere = "InitModule<LineHandlerZunqRefresh>";
// A field of a line specification, and a default interface, is read into a
// buffer of 100 characters, its terminator included.
constexpr std::size_t cMaxField = 99;
constexpr long cMaxTimeoutSeconds = 86400;

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

struct Settings
{
    std::string interface1;
    std::string interface2;
    long udpBufferSize = LineHandlerMulticast::cDefaultUdpBufferSize;
    long readsPerIoEvent = 10;
    bool compressed = false;
    bool checkForClassD = false;
    bool sendFlush = true;
    bool refreshOnStart = false;
    long cacheSize = 10000;
    long timeoutSeconds = LineHandlerZunqRefresh::cDefaultTimeoutMs / 1000;
};

void requireFieldSize(const std::string& key, const std::string& value)
{
    if (value.size() > cMaxField)
        throw InitModuleError(cWhere, key + " is longer than " + std::to_string(cMaxField) + " characters");
}

Settings readSettings(const ZunqConfigManager& config)
{
    Settings s;
    const std::string common = config.getString("DefaultMulticastInterface", "--default-multicast-interface", "");
    s.interface1 = config.getString("DefaultMulticastInterface1", "--default-multicast-interface1", "");
    s.interface2 = config.getString("DefaultMulticastInterface2", "--default-multicast-interface2", "");
    if (!common.empty())
        s.interface1 = s.interface2 = common;
    requireFieldSize("DefaultMulticastInterface", common);
    requireFieldSize("DefaultMulticastInterface1", s.interface1);
    requireFieldSize("DefaultMulticastInterface2", s.interface2);
    s.udpBufferSize = config.getLong("UdpBufferSize", "--udp-buffer-size", LineHandlerMulticast::cDefaultUdpBufferSize);
    s.readsPerIoEvent = config.getLong("ReadsPerIoEvent", "--reads-per-io-event", 10);
    s.compressed = config.getBool("MulticastDataIsCompressed", "--multicast-data-is-compressed", false);
    s.checkForClassD = config.getBool("CheckForClassD", "--check-for-class-d", false);
    s.sendFlush = config.getBool("LineHandlerZunqRefreshSendPublisherFlushMsg",
                                 "--line-handler-multicast-send-publisher-flush-msg", true, true);
    s.refreshOnStart = config.getBool("RefreshOnStart", "--refresh-on-start", false, true);
    s.cacheSize = config.getLong("RefreshDataCacheSize", "--refresh-data-cache-size", 10000);
    // The pool needs an entry for the first packet.
    if (s.cacheSize < 1)
        throw InitModuleError(cWhere, "RefreshDataCacheSize must be at least 1, not " + std::to_string(s.cacheSize));
    s.timeoutSeconds = config.getLong("RefreshTimeout", "--refresh-timeout", s.timeoutSeconds);
    if (s.timeoutSeconds < 1 || s.timeoutSeconds > cMaxTimeoutSeconds)
        throw InitModuleError(cWhere, "RefreshTimeout must be 1 to " + std::to_string(cMaxTimeoutSeconds) +
                                          " seconds, not " + std::to_string(s.timeoutSeconds));
    return s;
}

// The thread a session runs on, for comparing sub-feeds.
const void* threadOf(const TarvokSession& session)
{
    return session.getRunnable() != nullptr ? static_cast<const void*>(session.getRunnable())
                                            : static_cast<const void*>(&session);
}

// The lines of one sub-feed from its RefreshListen values; true when any value was taken.
bool addLines(LineHandlerZunqRefresh& client, const CfgEntry& listen, const std::string& subFeed, long channelId,
              LineDataFactoryDravek& factory, TarvokSession& session, const Settings& s, Log& log,
              const std::string& subWhere)
{
    bool taken = false;
    int number = 0;
    for (const std::string& value : listen.values())
    {
        if (value.empty())
            continue;
        taken = true;
        for (const std::string& spec : split(value, ','))
        {
            const std::vector<std::string> fields = split(spec, '/');
            const bool tooLong = std::any_of(fields.begin(), fields.begin() + std::min<std::size_t>(fields.size(), 4),
                                             [](const std::string& f) { return f.size() > cMaxField; });
            if (fields.size() < 3 || tooLong)
            {
                log.error() << "Bad parameter: " << spec;
                continue;
            }
            std::string interface = fields[0];
            if (interface.empty() || interface == "default1")
                interface = s.interface1;
            else if (interface == "default2")
                interface = s.interface2;
            const std::string& group = fields[1];
            const std::string& port = fields[2];
            log.info() << " line parameter: " << interface << ", " << group << ", " << port;
            LineHandlerMulticast* line =
                client.addLineHandlerMulticast(static_cast<std::uint32_t>(channelId), factory, session);
            if (line == nullptr)
                throw InitModuleError(subWhere, "could not find LineHandlerMulticast object");
            line->setFeedName(subFeed + ":r" + std::to_string(++number));
            line->setName(group + ":" + port);
            line->setCheckForClassD(s.checkForClassD);
            line->setUdpBufferSize(s.udpBufferSize);
            try
            {
                line->setMulticastParams(interface, group, port, false);
            }
            catch (const LineError& e)
            {
                throw InitModuleError(subWhere, std::string("refresh line ") + spec + ": " + e.what());
            }
            line->setReadsPerIoEvent(s.readsPerIoEvent);
            line->setDataIsCompressed(s.compressed);
            line->setSendPubFlushMsg(s.sendFlush);
        }
    }
    return taken;
}

} // namespace

template <>
bool InitModule<LineHandlerZunqRefresh>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("LineHandlerZunqRefresh");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    if (!config->getBool("LineHandlerZunqRefreshEnabled", "--line-handler-zunq-refresh", false, true))
        return true;
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup, cWhere);
    auto* msgPubAdmin = requireModule<Orlu<MsgPubAdmin>>(list, "OrluMsgPubAdmin", defaultGroup, cWhere);

    const std::string inputFile = config->getString("InputFile", "--input-file", "", true);
    const std::string input = config->getString("", "--input", inputFile, true);
    if (!input.empty() && input != "none")
    {
        log->info() << cWhere
                    << ": NOT initializing any LineHandlerZunqRefresh objects: we encountered a --input-file parameter ("
                    << input << ")";
        return true;
    }
    if (subFeeds == nullptr)
    {
        log->verbose() << cWhere << ": NOT initializing any LineHandlerZunqRefresh objects: no SubFeeds defined";
        return true;
    }
    const Settings s = readSettings(*config);
    auto* requests = findModule<Orlu<RefreshRequest>>(list, "OrluRefreshRequest", defaultGroup);
    if (requests == nullptr)
    {
        log->warning() << "InitLineHandlerRefresh: Unable to find OrluRefreshRequest object. Not initializing.";
        return true;
    }

    // Lives until the process exits; the request bus refers to it.
    auto* client = new LineHandlerZunqRefresh(*log, s.cacheSize);
    client->OrluPublisher<MsgPubAdmin>::setDestination(msgPubAdmin);
    client->setMaxMulticastReadsPerChance(s.readsPerIoEvent);
    client->setRefreshTimeout(s.timeoutSeconds * 1000);
    requests->subscribe(client);
    registerModule<LineHandlerZunqRefresh>(list, "LineHandlerZunqRefresh", client, defaultGroup);

    if (!subFeeds->empty())
        log->info() << cWhere << ":";
    bool anyListen = false;
    std::string firstSubFeed;
    for (const std::string& subFeed : *subFeeds)
    {
        ZunqConfigManager cfg(*config);
        cfg.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        if (lowerCase(cfg.getString("FeedRole", "", "live", true)) != "live")
            continue;
        log->info() << cWhere << " Checking live subfeed:" << subFeed;
        auto* factory = findModule<LineDataFactoryDravek>(list, "LineDataFactoryDravek", subFeed);
        auto* session = findModule<TarvokSession>(list, "TarvokSession", subFeed);
        const long channelId = cfg.getLong("LiveChannelId", "", 0, true);
        if (channelId == 0)
            throw InitModuleError(cWhere, "No LiveChannelId defined for" + subFeed + " - Mandatory Parameter");
        const std::string subWhere = cWhere + "(" + subFeed + ")";
        if (factory == nullptr)
            throw InitModuleError(subWhere, "could not find LineDataFactory object");
        if (session == nullptr)
            throw InitModuleError(subWhere, "could not find TarvokSession object");
        const CfgEntry* section = config->getChild(subFeed);
        if (section == nullptr)
            throw InitModuleError(subWhere, "could not find subfeed params");
        const CfgEntry* listen = section->getChild("RefreshListen");
        if (listen == nullptr)
            continue;
        // One client, one thread: the channels' lines, filters and handlers share it.
        TarvokSession* clientSession = client->getSession();
        if (clientSession != nullptr && threadOf(*clientSession) != threadOf(*session))
            throw InitModuleError(subWhere, "refresh channels must share one session thread: sub-feed " +
                                                firstSubFeed + " runs on [" + clientSession->getName() + "], " +
                                                subFeed + " on [" + session->getName() + "]");
        if (clientSession == nullptr)
        {
            client->setSession(*session);
            firstSubFeed = subFeed;
        }
        if (addLines(*client, *listen, subFeed, channelId, *factory, *session, s, *log, subWhere))
            anyListen = true;

        auto* handler = dynamic_cast<DRAVEK::Recovery::MessageHandlerZunq*>(
            findModule<MessageHandler>(list, "MessageHandler", subFeed));
        if (handler == nullptr)
            throw InitModuleError(cWhere, "could not find MessageHandlerZunq object");
        auto* filter = findModule<LineFilter>(list, "LineFilter", subFeed);
        if (filter == nullptr)
            throw InitModuleError(cWhere, "could not find LineFilter object");
        client->addMessageHandler(static_cast<std::uint32_t>(channelId), handler);
        client->addLineFilter(static_cast<std::uint32_t>(channelId), filter);

        if (s.refreshOnStart)
        {
            log->info() << subWhere << " Sending refresh request at SOD for channel [" << channelId << "]";
            RefreshRequest request;
            request.mChannelId = channelId;
            request.mCancel = false;
            request.mSpoolRealtimeMessage = true;
            client->handleRefreshRequest(subFeed, request);
        }
    }
    if (!anyListen)
        log->warning() << cWhere
                       << ": NOT initializing any LineHandlerZunqRefresh objects: no valid Listen parameters found";
    return true;
}
