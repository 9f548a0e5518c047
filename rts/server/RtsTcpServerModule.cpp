#include "rts/server/RtsTcpServerModule.h"

#include "kelmora/process/HostMain.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "rts/cache/LineDataCacheManager.h"
#include "rts/clients/RtsClientList.h"
#include "rts/server/RtsAdminMethods.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iomanip>
#include <sstream>

namespace
{

const std::string cWhere = "InitModule<RtsTcpServer>";

// Seconds become 32-bit milliseconds for the timers.
constexpr long cMaxSeconds = UINT32_MAX / 1000;

// A number read as a long into an unsigned 32-bit field: refused when it would
// wrap (in the field, or as milliseconds up to `highest` seconds), or when it
// is below `lowest` (1 for settings that divide, time or budget the server).
unsigned readUnsigned(ZunqConfigManager& config, const std::string& key, const std::string& option, long def,
                      long lowest, long highest = UINT32_MAX)
{
    const long value = config.getLong(key, option, def);
    if (value < lowest || value > highest)
        throw ConfigError(cWhere + ": " + key + " |" + std::to_string(value) + "| must be from "
                          + std::to_string(lowest) + " to " + std::to_string(highest));
    return static_cast<unsigned>(value);
}

} // namespace

template <>
bool InitModule<RtsTcpServer>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("RtsTcpServer");
    const std::string& group = list->defaultGroup();
    Log* log = findModule<Log>(list, "Log", group);
    auto* session = findModule<TarvokSession>(list, "TarvokSession", group);
    auto* clients = findModule<RtsClientList>(list, "RtsClientList", group);
    auto* cache = findModule<LineDataCacheManager>(list, "LineDataCacheManager", group);
    auto* kesh = findModule<KeshSession>(list, "KeshSession", group);
    if (log == nullptr)
        throw InitModuleError(cWhere, "could not find Log object");
    if (session == nullptr)
        throw InitModuleError(cWhere, "could not find TarvokSession object");
    if (clients == nullptr)
        throw InitModuleError(cWhere, "could not find ClientList object");
    if (cache == nullptr)
        throw InitModuleError(cWhere, "could not find CacheManager object");
    if (kesh == nullptr)
        throw InitModuleError(cWhere, "could not find KeshSession object");

    // Read so that they show as used; they change nothing.
    (void)config->getString("RtsMessageHandlerName", "--rts-message-handler-name", "zunq-rts");
    const std::string optionAddress = config->getString("", "--exch-tcp-ip-address", "");
    std::string format = config->getString("LineDataFormat", "", "zunq");
    std::transform(format.begin(), format.end(), format.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });

    log->info() << cWhere << " creating new RtsTcpServer...";
    log->info() << cWhere << " It may take some time to pre-allocate memory.";
    const bool sorvelMode = config->getBool("SORVELMode", "--sorvel-mode", false);
    const bool allowLastSeqNumRequest = config->getBool("AllowLastSeqNumRequest", "", false);
    // An empty pool could send nothing.
    const unsigned poolSize =
        readUnsigned(*config, "RtsPacketBufferPoolSize", "--rts-packet-buffer-pool-size", 50000, 1);
    auto* server = new RtsTcpServer("RtsTcpServer", *session, *log, *clients, *cache, poolSize, sorvelMode,
                                    allowLastSeqNumRequest);
    log->info() << cWhere << " RtsTcpServer created.";

    const bool heartbeatStatus = config->getBool("RtsHeartbeatStatus", "--rts-heartbeat-status", true);
    const unsigned heartbeatInterval =
        readUnsigned(*config, "RtsHeartbeatInterval", "--rts-heartbeat-interval", 30, 1, cMaxSeconds);
    const unsigned maxNumRequests = readUnsigned(*config, "RtsMaxNumRequests", "--rts-max-num-requests", 10, 0);
    const unsigned throttleInterval =
        readUnsigned(*config, "RtsThrottleInterval", "--rts-throttle-interval", 100, 1);
    const unsigned hbRspInterval =
        readUnsigned(*config, "RtsHeartbeatRspInterval", "--rts-heartbeat-rsp-interval", 5, 1, cMaxSeconds);
    const unsigned maxRejectRequests =
        readUnsigned(*config, "RtsMaxNumRejectRequests", "--rts-max-num-reject-requests", 200, 0);
    const unsigned requestInterval = readUnsigned(*config, "RtsRequestInterval", "--rts-request-interval", 50, 0);
    const unsigned packetsPerInterval =
        readUnsigned(*config, "RtsPacketsPerInterval", "--rts-packets-per-interval", 100, 1);
    const unsigned loginTimeout = readUnsigned(*config, "RtsLoginTimeout", "--rts-login-timeout", 60, 1, cMaxSeconds);
    const unsigned maxSeqNumGap = readUnsigned(*config, "RtsMaxSeqNumGap", "--rts-max-seq-num-gap", 10000, 0);
    const unsigned maxMessages = readUnsigned(*config, "RtsMaxMessagesPerClient", "--rts-max-msg-per-client", 0, 0);
    const unsigned maxConnection =
        readUnsigned(*config, "RtsMaxConnectionPerClient", "--rts-max-connection-per-client", 1, 0);
    const unsigned perIpInterval =
        readUnsigned(*config, "RtsMaxConnectionsPerIpInterval", "--rts-max-connections-per-ip-interval", 60, 1, cMaxSeconds);
    const unsigned perIp = readUnsigned(*config, "RtsMaxConnectionsPerIp", "--rts-max-connections-per-ip", 5, 1);
    const bool traceAll = config->getBool("RtsTraceAllCommunications", "--rts-trace-all-communications", false, true);
    const std::string traceUser = config->getString("RtsTraceUser", "--rts-trace-user", "", true);
    const long places = config->getLong("SendTimeNanoDecimalPlaces", "--send-time-nano-decimal-places", 3);
    if (places < 0 || places > 9)
        throw InitModuleError("InitRtsTcpServer", "ERROR SendTimeNanoDecimalPlaces value of [" + std::to_string(places)
                                                      + "] is not correct. Valid values are integers from 0 to 9");
    log->info() << "SendTimeNanoDecimalPlaces = " << places;

    server->setNaglesStatus(false);
    server->setHeartbeatStatus(heartbeatStatus);
    server->setHeartbeatInterval(heartbeatInterval);
    server->setMaxNumRequests(maxNumRequests);
    server->setHbRspInterval(hbRspInterval);
    server->setThrottleInterval(throttleInterval);
    server->setMaxRejectedRequests(maxRejectRequests);
    server->setRequestInterval(requestInterval);
    server->setPacketsPerInterval(packetsPerInterval);
    server->setLoginTimeout(loginTimeout);
    server->setMaxSeqNumGap(maxSeqNumGap);
    server->setMaxNumMessages(maxMessages);
    // The server starts with a per-user limit of 0, which would refuse every logon.
    server->setMaxConnection(maxConnection);
    server->setTraceCommunications(traceAll);
    server->setTraceUser(traceUser);
    server->setMaxConnectionsPerIpInterval(perIpInterval);
    server->setNanoDecimalPlaces(static_cast<int>(places));
    server->setMaxConnectionsPerIp(perIp);

    const std::string address =
        optionAddress.empty() ? config->getString("RtsTcpIpAddress", "", "") : optionAddress;
    const std::string port = config->getString("RtsTcpPort", "", "");
    if (port.empty())
        throw ConfigError(cWhere + ": must provide TCP options");
    const std::string modeText = config->getString("HaMode", "--ha-mode", "active", true);
    const HaMode::Mode mode = HaMode::stringToMode(modeText);
    if (mode == HaMode::ERROR)
        throw InitModuleError(cWhere, "Invalid HA mode passed to RtsTcpServer : " + modeText);

    std::ostringstream summary;
    auto line = [&summary](const char* label, const auto& value)
    { summary << "\n    " << std::left << std::setw(32) << label << value; };
    summary << cWhere << ":";
    line("RtsTcpIpAddress:", address);
    line("RtsTcpPort:", port);
    line("RtsThrottleIntervalt:", throttleInterval);
    line("RtsHeartbeatInterval:", heartbeatInterval);
    line("RtsHeartbeatRspInterval:", hbRspInterval);
    line("RtsRequestInterval:", requestInterval);
    line("RtsPacketsPerIntervall:", packetsPerInterval);
    line("RtsLoginTimeout:", loginTimeout);
    line("RtsMaxNumRequests:", maxNumRequests);
    line("RtsMaxSeqNumGap:", maxSeqNumGap);
    line("RtsMaxMessagesPerClient:", maxMessages);
    line("RtsMaxConnectionPerClient", maxConnection);
    line("SORVELMode:", sorvelMode);
    line("RtsTraceAllCommunications:", traceAll);
    line("RtsTraceUser:", traceUser);
    line("MaxConnectionsPerIp:", perIp);
    line("MaxConnectionsPerIpInterval:", perIpInterval);
    line("PacketBufferPoolSize:", poolSize);
    line("HaMode:", HaMode::modeToString(HaMode(mode)));
    line("AllowLastSeqNumRequest:", allowLastSeqNumRequest ? "Y" : "N");
    log->info() << summary.str();

    server->setTcpIpAddress(address);
    server->setTcpService(port);
    // A port that cannot be listened on at start-up ends the process with 1.
    server->setOnFatal([](const std::string& reason) { requestFailedExit(reason); });
    server->registerNetwork();
    server->setHAMode(mode);

    addRtsAdminMethods(*kesh, *server, *cache);
    return true;
}

namespace
{
InitModule<RtsTcpServer> gRtsTcpServerFactory("RtsTcpServer", 710);
} // namespace
