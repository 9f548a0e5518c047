#include "kelmora/recovery/InitLineHandlerZunqRetrans.h"

#include "kelmora/bus/LineHeartbeat.h"
#include "kelmora/bus/SystemEvent.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/LineHandlerModuleSupport.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iomanip>
#include <list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

InitModule<LineHandlerZunqRetrans> initLineHandlerZunqRetrans("LineHandlerZunqRetrans", 802);

namespace
{

const char* const cWhere = "InitModule<LineHandlerZunqRetrans>";

struct LiveFeed
{
    std::string name;
    std::string retranFeed; // empty: the default one
};

// What step 4 learns of the sub-feeds.
struct Roles
{
    std::vector<std::string> retrans;
    std::vector<LiveFeed> live;
    std::set<std::string> inUse;
    std::string defaultFeed;
    int flagged = 0;
    int needDefault = 0;
};

ZunqConfigManager subFeedConfig(const ZunqConfigManager& config, const std::string& subFeed)
{
    ZunqConfigManager c(config);
    c.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
    return c;
}

Roles classify(const std::list<std::string>& subFeeds, const ZunqConfigManager& config, Log& log)
{
    Roles r;
    for (const std::string& subFeed : subFeeds)
    {
        const ZunqConfigManager c = subFeedConfig(config, subFeed);
        if (linehandler::lowerText(c.getString("LineDataFormat", "", "dravek")) != "dravek")
        {
            log.info() << "Sub-feed [" << subFeed << "] is not an ZUNQ multicast data feed.";
            continue;
        }
        const std::string role = linehandler::lowerText(c.getString("FeedRole", "", "live"));
        if (role == "retrans")
        {
            if (c.getBool("DefaultRetranFeed", "", false))
            {
                ++r.flagged;
                r.defaultFeed = subFeed;
            }
            else if (r.flagged == 0 && r.retrans.empty())
                r.defaultFeed = subFeed;
            r.retrans.push_back(subFeed);
            log.info() << "Sub-feed [" << subFeed << "] is an ZUNQ retransmission feed.";
        }
        else if (role == "live")
        {
            LiveFeed live{subFeed, c.getString("RetranFeed", "", "")};
            if (live.retranFeed.empty())
                ++r.needDefault;
            else
                r.inUse.insert(live.retranFeed);
            r.live.push_back(live);
            log.info() << "Sub-feed [" << subFeed << "] is an ZUNQ multicast data feed.";
        }
    }
    if (!r.defaultFeed.empty())
        r.inUse.insert(r.defaultFeed);
    return r;
}

struct Settings
{
    std::string address, port;
    bool nonBlockingConnect = true;
    long connectDelay = 1000, connectDelayMax = 60000, receiveBufferSize = 0, minMessageBufferSize = 32768;
    bool anyFailOk = false, tempFailOk = true, deflated = false, serverDisconnectIsError = true;
    bool tryReconnect = true, trace = false, refresh = false;
    long maxRange = 50000;
    double requestTimeout = LineHandlerZunqRetrans::cDefaultRequestTimeoutMillis / 1000.0; // seconds
};

Settings read(const ZunqConfigManager& c)
{
    Settings s;
    s.address = c.getString("TcpIpAddress", "", "");
    s.port = c.getString("TcpPort", "", "");
    s.nonBlockingConnect = c.getBool("TcpNonBlockingConnect", "--tcp-non-blocking-connect", true);
    s.connectDelay = c.getLong("TcpConnectDelay", "--tcp-connect-delay", 1000);
    s.connectDelayMax = c.getLong("TcpConnectDelayMax", "--tcp-connect-delay-max", 60000);
    s.receiveBufferSize = c.getLong("TcpReceiveBufferSize", "--tcp-receive-buffer-size", 0);
    s.minMessageBufferSize = c.getLong("TcpMinMessageBufferSize", "--tcp-min-message-buffer-size", 32768);
    s.anyFailOk = c.getBool("TcpAnyFailOk", "--tcp-any-fail-ok", false);
    s.tempFailOk = c.getBool("TcpTempFailOk", "--tcp-temp-fail-ok", true);
    s.deflated = c.getBool("TcpDataIsDeflated", "--tcp-data-is-deflated", false);
    s.serverDisconnectIsError = c.getBool("TcpServerDisconnectIsError", "--tcp-server-disconnect-is-error", true);
    s.tryReconnect = c.getBool("TcpTryReconnect", "--tcp-try-reconnect", true);
    s.trace = c.getBool("TraceRetransCommunications", "--trace-retrans-communications", false);
    s.refresh = c.getBool("LineHandlerZunqRefreshEnabled", "--line-handler-zunq-refresh", false);
    s.maxRange = c.getLong("MaxRetransRequestRange", "--max-retrans-request-range", 50000);
    s.requestTimeout = c.getDouble("RetransRequestTimeout", "--retrans-request-timeout", s.requestTimeout);
    return s;
}

void logSettings(Log& log, const Settings& s)
{
    std::ostringstream out;
    out << cWhere << ":" << std::boolalpha << std::left;
    auto line = [&](const char* name, const auto& value) {
        out << "\n" << std::setw(45) << std::string("    ") + name + ":" << value;
    };
    line("TraceRetransCommunications", s.trace);
    line("RefreshEnabled", s.refresh);
    line("MaxRetransRequestRange", s.maxRange);
    line("RetransRequestTimeout", s.requestTimeout);
    log.info() << out.str();
}

unsigned int unsignedSetting(const std::string& where, const char* key, long value)
{
    return static_cast<unsigned int>(linehandler::boundedSetting(where, key, value, UINT_MAX));
}

// Seconds, to whole milliseconds: at least one, at most a day.
unsigned int requestTimeoutMillis(const std::string& where, double seconds)
{
    constexpr double cMaxSeconds = 86400;
    if (!(seconds >= 0.001 && seconds <= cMaxSeconds))
        throw InitModuleError(where, "RetransRequestTimeout must be from 0.001 to 86400 seconds");
    return static_cast<unsigned int>(seconds * 1000 + 0.5);
}

// The hunt list: the primary entry, then each backup "address/port" in order.
void addConnections(LineHandlerZunqRetrans& client, const ZunqConfigManager& c, const Settings& s,
                    const std::string& where, Log& log)
{
    client.addConnection(s.address.c_str(), s.port.c_str());
    const CfgEntry* backups = c.getChild("RetransBackupConnections");
    if (backups == nullptr)
        return;
    for (const std::string& value : backups->values())
    {
        const std::size_t slash = value.find('/');
        if (slash == std::string::npos)
        {
            log.error() << where << ": Illegal address/port (" << value << ")";
            continue;
        }
        client.addConnection(value.substr(0, slash).c_str(), value.substr(slash + 1).c_str());
    }
}

template <typename T>
T* requireIn(ModuleList* list, const std::string& name, const std::string& group, const std::string& missing)
{
    T* module = findModule<T>(list, name, group);
    if (module == nullptr)
        throw InitModuleError(cWhere, "could not find " + missing + " object");
    return module;
}

} // namespace

template <>
bool InitModule<LineHandlerZunqRetrans>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("LineHandlerZunqRetrans");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    Log* log = requireIn<Log>(list, "Log", defaultGroup, "Log");
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    TarvokSession* defaultSession = findModule<TarvokSession>(list, "TarvokSession", defaultGroup);

    const std::string inputFile = config->getString("", "--input-file", "");
    const std::string input = config->getString("", "--input", inputFile);
    if (!input.empty() && input != "none")
    {
        log->info() << "NOT initializing any LineHandlerZunqRetrans objects: we encountered a --input-file parameter ("
                    << input << ")";
        return true;
    }
    if (subFeeds == nullptr || subFeeds->empty())
    {
        log->info() << "NOT initializing any LineHandlerZunqRetrans objects: no subfeed configured";
        return true;
    }

    const Roles roles = classify(*subFeeds, *config, *log);
    if (roles.retrans.empty())
    {
        log->info() << "NOT initializing any LineHandlerZunqRetrans objects: No retransmission feed configured";
        return true;
    }
    if (roles.live.empty())
    {
        log->info() << "NOT initializing any LineHandlerZunqRetrans objects: No live feed configured";
        return true;
    }
    if (roles.retrans.size() > 1 && roles.needDefault > 0)
    {
        if (roles.flagged > 1)
            throw InitModuleError(cWhere, "More than 1 default retransmission sub-feed configured");
        if (roles.flagged == 0)
            throw InitModuleError(cWhere, "No default retransmission sub-feed configured");
    }
    const std::set<std::string> retransFeeds(roles.retrans.begin(), roles.retrans.end());
    bool unknown = false;
    for (const LiveFeed& live : roles.live)
        if (!live.retranFeed.empty() && retransFeeds.count(live.retranFeed) == 0)
        {
            log->info() << "livefeed " << live.name << " specified unknown retransmission feed " << live.retranFeed;
            unknown = true;
        }
    if (unknown)
        throw InitModuleError(cWhere, "Invalid retransmission feed configured");

    Orlu<RefreshRequest>* refreshBus = findModule<Orlu<RefreshRequest>>(list, "OrluRefreshRequest", defaultGroup);
    Orlu<TerminateAll>* terminateAll = findModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup);
    // A channel reaches one live sub-feed: a second one of the same id would
    // have its recovered data land on the first's bus.
    std::map<long, std::string> servedChannels;

    for (const std::string& subFeed : *subFeeds)
    {
        LineMonitor* monitor = requireIn<LineMonitor>(list, "LineMonitor", subFeed, "LineMonitor");
        const ZunqConfigManager c = subFeedConfig(*config, subFeed);
        if (linehandler::lowerText(c.getString("FeedRole", "", "")) != "retrans" || roles.inUse.count(subFeed) == 0)
            continue;
        const Settings s = read(c);
        if (s.address.empty() || s.port.empty())
        {
            log->error() << "No TCP configs on Retrans subfeed " << subFeed;
            continue;
        }
        auto* factory = requireIn<LineDataFactoryDravek>(list, "LineDataFactoryDravek", subFeed,
                                                         "LineDataFactoryDravek");
        TarvokSession* session = findModule<TarvokSession>(list, "TarvokSession", subFeed);
        if (session == nullptr)
            session = defaultSession;
        if (session == nullptr)
            throw InitModuleError(cWhere, "could not find TarvokSession object");
        const std::string where = std::string(cWhere) + "(" + subFeed + ")";
        const unsigned int connectDelay = unsignedSetting(where, "TcpConnectDelay", s.connectDelay);
        const unsigned int connectDelayMax = unsignedSetting(where, "TcpConnectDelayMax", s.connectDelayMax);
        const unsigned int receiveBufferSize = unsignedSetting(where, "TcpReceiveBufferSize", s.receiveBufferSize);
        const unsigned int minMessageBufferSize =
            unsignedSetting(where, "TcpMinMessageBufferSize", s.minMessageBufferSize);
        const auto maxRange =
            static_cast<long>(linehandler::boundedSetting(where, "MaxRetransRequestRange", s.maxRange, LONG_MAX));
        const unsigned int requestTimeout = requestTimeoutMillis(where, s.requestTimeout);

        log->info() << where << ": creating LineHandlerZunqRetrans";
        auto* client = new LineHandlerZunqRetrans(*factory, *session, *log);
        client->setFeedName(subFeed);
        client->setName(s.address + ":" + s.port);
        addConnections(*client, c, s, where, *log);
        client->setNonBlockingConnect(s.nonBlockingConnect);
        client->setConnectDelay(connectDelay, connectDelayMax);
        client->setReceiveBufferSize(receiveBufferSize);
        client->setMinMessageBufferSize(minMessageBufferSize);
        client->setAnyFailOk(s.anyFailOk);
        client->setTempFailOk(s.tempFailOk);
        client->setDataIsDeflated(s.deflated);
        client->setServerDisconnectIsError(s.serverDisconnectIsError);
        client->setTryReconnect(s.tryReconnect);
        client->setTraceRetransCommiunications(s.trace);
        client->setRefreshEnabled(s.refresh);
        client->setMaxRetransRequestRange(maxRange);
        client->setRequestTimeout(requestTimeout);
        client->setConnectedMeansLineUp(true);
        client->setSendHeartbeats(false);
        client->setLineMonitor(monitor);
        logSettings(*log, s);
        // The refresh client listens on the default group's bus.
        client->OrluPublisher<RefreshRequest>::setDestination(refreshBus);
        client->OrluPublisher<LineStatus>::setDestination(
            findModule<Orlu<LineStatus>>(list, "OrluLineStatus", subFeed));
        client->OrluPublisher<LineHeartbeat>::setDestination(
            findModule<Orlu<LineHeartbeat>>(list, "OrluLineHeartbeat", subFeed));
        client->OrluPublisher<SystemEvent>::setDestination(
            findModule<Orlu<SystemEvent>>(list, "OrluSystemEvent", subFeed));
        client->OrluPublisher<TerminateAll>::setDestination(terminateAll);
        try
        {
            if (!client->initNetworkService())
                throw InitModuleError(where, "failed to register TCP Client Service");
        }
        catch (const LineError& e)
        {
            throw InitModuleError(where, e.what());
        }

        for (const LiveFeed& live : roles.live)
        {
            const std::string& served = live.retranFeed.empty() ? roles.defaultFeed : live.retranFeed;
            if (served != subFeed)
                continue;
            log->info() << "Checking live subfeed: " << live.name << ", retran subfeed: " << subFeed;
            auto* block = requireIn<Orlu<LineData>>(list, "OrluLineDataBlock", live.name, "OrluLineDataBlock");
            auto* requests =
                requireIn<Orlu<RetransRequest>>(list, "OrluRetransRequest", live.name, "OrluRetransRequest");
            auto* complete =
                requireIn<Orlu<RetransComplete>>(list, "OrluRetransComplete", live.name, "RetransComplete");
            const long channel = subFeedConfig(*config, live.name).getLong("LiveChannelId", "", 0);
            if (channel == 0)
                throw InitModuleError(cWhere, "No LiveChannelId defined for" + subFeed + " - Mandatory Parameter");
            if (channel < 0 || channel > UINT16_MAX)
                throw InitModuleError(cWhere, "LiveChannelId " + std::to_string(channel) + " of " + live.name +
                                                  " is not a channel id (1 to 65535)");
            const auto [previous, fresh] = servedChannels.emplace(channel, live.name);
            if (!fresh)
                throw InitModuleError(cWhere, "LiveChannelId " + std::to_string(channel) + " of " + live.name +
                                                  " is served for " + previous->second + " already");
            TarvokSession* liveSession = findModule<TarvokSession>(list, "TarvokSession", live.name);
            const auto id = static_cast<std::uint32_t>(channel);
            client->addOrluLineData(id, block, liveSession != nullptr ? liveSession->getRunnable() : nullptr);
            client->addOrluRetransComplete(id, complete);
            requests->subscribe(client);
        }

        registerModule<LineHandlerZunqRetrans>(list, "LineHandlerZunqRetrans", client, subFeed);
        registerModule<LineHandlerLogin>(list, "LineHandlerLogin", client, subFeed);
        registerModule<LineHandlerTcp>(list, "LineHandlerTcp", client, subFeed);
        registerModule<LineHandler>(list, "LineHandler", client, subFeed);
    }
    return true;
}
