#include "kelmora/linehandler/InitLineHandlerTcp.h"

#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerModuleSupport.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iomanip>
#include <list>
#include <set>
#include <sstream>

InitModule<LineHandlerTcp> initLineHandlerTcp("LineHandlerTcp", 811);

namespace
{

const char* const cWhere = "InitModule<LineHandlerTcp>";

// Handlers this factory built: only these are configured again when a
// sub-feed is listed twice. They live as long as the process.
std::set<const LineHandlerTcp*>& madeHere()
{
    static std::set<const LineHandlerTcp*> made;
    return made;
}

struct Settings
{
    std::string address, port;
    bool nonBlockingConnect = true, tryReconnect = true;
    long connectDelay = 1000, connectDelayMax = 60000, receiveBufferSize = 0, minMessageBufferSize = 262144;
    bool anyFailOk = false, tempFailOk = true, connectedMeansLineUp = false;
    std::string separator, separatorString, recoveryFile, backupFormat;
    bool deflated = false, connectOnStartUp = true, sendHeartbeats = false;
    long heartbeatInterval = 30;
    bool useRecoveryFile = false, serverDisconnectIsError = true, listenToReadEvent = false;
    bool noDataWarning = false, useLineDataBlock = true;
};

Settings read(const ZunqConfigManager& c, const std::string& addressOption, const std::string& portOption)
{
    Settings s;
    s.address = addressOption.empty() ? c.getString("TcpIpAddress", "", "", false) : addressOption;
    s.port = portOption.empty() ? c.getString("TcpPort", "", "", false) : portOption;
    s.nonBlockingConnect = c.getBool("TcpNonBlockingConnect", "--tcp-non-blocking-connect", true, false);
    s.tryReconnect = c.getBool("TcpTryReconnect", "--tcp-try-reconnect", true, false);
    s.connectDelay = c.getLong("TcpConnectDelay", "--tcp-connect-delay", 1000, true);
    s.connectDelayMax = c.getLong("TcpConnectDelayMax", "--tcp-connect-delay-max", 60000, true);
    s.receiveBufferSize = c.getLong("TcpReceiveBufferSize", "--tcp-receive-buffer-size", 0, true);
    s.minMessageBufferSize = c.getLong("TcpMinMessageBufferSize", "--tcp-min-message-buffer-size", 262144, false);
    s.anyFailOk = c.getBool("TcpAnyFailOk", "--tcp-any-fail-ok", false, false);
    s.tempFailOk = c.getBool("TcpTempFailOk", "--tcp-temp-fail-ok", true, false);
    s.connectedMeansLineUp = c.getBool("TcpConnectedMeansLineUp", "--tcp-connected-means-line-up", false, false);
    s.separator = c.getString("TcpMessageSeparator", "--tcp-message-separator", "", false);
    s.recoveryFile = c.getString("MessageRecoveryFile", "--message-recovery-file", c.getExeName() + ".msg", true);
    s.backupFormat = c.getString("MessageFileBackupFormat", "--message-file-backup-format", "", true);
    s.deflated = c.getBool("TcpDataIsDeflated", "--tcp-data-is-deflated", false, false);
    s.separatorString = c.getString("TcpMessageSeparatorString", "--tcp-message-separator-string", "", false);
    s.connectOnStartUp = c.getBool("TcpConnectOnStartUp", "--tcp-connect-on-startup", true, false);
    s.sendHeartbeats = c.getBool("TcpSendHeartbeats", "--tcp-send-heartbeats", false, true);
    s.heartbeatInterval = c.getLong("TcpHeartbeatInterval", "--tcp-heartbeat-interval", 30, false);
    s.useRecoveryFile = c.getBool("TcpUseRecoveryFile", "--tcp-use-recovery-file", false, true);
    s.serverDisconnectIsError =
        c.getBool("TcpServerDisconnectIsError", "--tcp-server-disconnect-is-error", true, false);
    s.listenToReadEvent =
        c.getBool("TcpConnectListenToReadEvent", "--tcp-connect-listen-to-read-event", false, false);
    s.noDataWarning =
        c.getBool("LineMonitorEnableNoDataWarning", "--line-monitor-enable-nodata-warning", false, true);
    s.useLineDataBlock = c.getBool("TcpUseLineDataBlock", "", true, false);
    return s;
}

void logSettings(Log& log, const std::string& where, const Settings& s)
{
    std::ostringstream out;
    out << where << ":" << std::boolalpha;
    auto line = [&](const char* label, const auto& value) {
        out << "\n" << std::left << std::setw(31) << std::string("    ") + label + ":" << value;
    };
    line("TcpIpAddress", s.address);
    line("TcpPort", s.port);
    line("TcpNonBlockingConnect", s.nonBlockingConnect);
    line("TcpTryReconnect", s.tryReconnect);
    line("TcpConnectDelay", s.connectDelay);
    line("TcpConnectDelayMax", s.connectDelayMax);
    line("TcpReceiveBufferSize", s.receiveBufferSize);
    line("TcpMinMessageBufferSize", s.minMessageBufferSize);
    line("TcpAnyFailOk", s.anyFailOk);
    line("TcpTempFailOk", s.tempFailOk);
    line("TcpConnectedMeansLineUp", s.connectedMeansLineUp);
    line("TcpMessageSeparator", s.separator);
    line("TcpMessageSeparatorString", s.separatorString);
    line("MessageRecoveryFile", s.recoveryFile);
    line("TcpDataIsDeflated", s.deflated);
    line("TcpSendHeartBeats", s.sendHeartbeats);
    line("TcpUseRecoveryFile", s.useRecoveryFile);
    line("TcpHeartbeatInterval", s.heartbeatInterval);
    line("TcpUseLineDataBlock", s.useLineDataBlock);
    log.info() << out.str();
}

unsigned int unsignedSetting(const std::string& where, const char* key, long value)
{
    return static_cast<unsigned int>(linehandler::boundedSetting(where, key, value, UINT_MAX));
}

// One character stands for itself; a longer text is a whole number from 1
// to 255 in C base-0 form (decimal, 0x hexadecimal, leading-0 octal).
char separatorCharacter(const std::string& where, const std::string& text)
{
    if (text.size() == 1)
        return text[0];
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < 1 || value > 255)
        throw ConfigError(where + ": TcpMessageSeparator must be a number or length must be 1");
    return static_cast<char>(value);
}

} // namespace

template <>
bool InitModule<LineHandlerTcp>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("LineHandlerTcp");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    auto* log = findModule<Log>(list, "Log", defaultGroup);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    const std::string input = log != nullptr ? linehandler::replayInputFile(*config) : std::string();
    if (log == nullptr)
        throw InitModuleError(cWhere, "could not find Log object");
    if (!input.empty())
    {
        log->info() << cWhere << ": NOT initializing any LineHandlerTcp objects: we encountered an --input-file parameter ("
                    << input << ")";
        return true;
    }
    if (subFeeds == nullptr)
    {
        log->verbose() << cWhere << ": NOT initializing any LineHandlerTcp objects: no SubFeeds defined";
        return true;
    }
    const std::string addressOption = config->getString("", "--tcp-ip-address", "", true);
    const std::string portOption = config->getString("", "--tcp-port", "", true);

    for (const std::string& subFeed : *subFeeds)
    {
        ZunqConfigManager subConfig(*config);
        subConfig.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        if (!linehandler::listsLineHandlerType(subConfig, "tcp"))
            continue;
        const std::string where = std::string(cWhere) + "(" + subFeed + ")";
        auto* factory = findModule<LineDataFactory>(list, "LineDataFactory", subFeed);
        auto* other = findModule<LineHandler>(list, "LineHandler", subFeed);
        auto* existing = findModule<LineHandlerTcp>(list, "LineHandlerTcp", subFeed);
        auto* monitor = findModule<LineMonitor>(list, "LineMonitor", subFeed);
        auto* kesh = findModule<KeshSession>(list, "KeshSession", subFeed);
        auto* session = findModule<TarvokSession>(list, "TarvokSession", subFeed);
        auto* block = findModule<Orlu<LineData>>(list, "OrluLineDataBlock", subFeed);
        auto* data = findModule<Orlu<LineData>>(list, "OrluLineData", subFeed);
        auto* heartbeat = findModule<Orlu<LineHeartbeat>>(list, "OrluLineHeartbeat", subFeed);
        auto* status = findModule<Orlu<LineStatus>>(list, "OrluLineStatus", subFeed);
        auto* systemEvent = findModule<Orlu<SystemEvent>>(list, "OrluSystemEvent", subFeed);
        // The process has one termination channel, in the default group; a
        // handler left unbound could not end the process when it must.
        auto* terminateAll = findModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", subFeed);
        if (terminateAll == nullptr)
            terminateAll = findModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup);
        const std::pair<const void*, const char*> required[] = {
            {factory, "LineDataFactory"},      {monitor, "LineMonitor"},         {kesh, "KeshSession"},
            {data, "OrluLineData"},            {heartbeat, "OrluLineHeartbeat"}, {status, "OrluLineStatus"},
            {systemEvent, "OrluSystemEvent"}, {session, "TarvokSession"}};
        for (const auto& [module, name] : required)
            if (module == nullptr)
                throw InitModuleError(where, std::string("could not find ") + name + " object");

        if (other != nullptr && existing == nullptr)
        {
            log->verbose() << where << ": found an existing non-TCP LineHandler instance";
            continue;
        }
        // Another module's TCP handler (a login line) has its own settings
        // and channels; taking it over would rebind and reconnect it.
        if (existing != nullptr && madeHere().count(existing) == 0)
        {
            log->info() << where << ": found a LineHandlerTcp another module registered; leaving it as it is";
            continue;
        }
        LineHandlerTcp* handler = existing;
        if (handler != nullptr)
            log->verbose() << where << ": found an existing LineHandlerTcp instance";
        else
        {
            handler = new LineHandlerTcp(*factory, *session, *log);
            madeHere().insert(handler);
            registerModule<LineHandlerTcp>(list, "LineHandlerTcp", handler, subFeed);
            registerModule<LineHandler>(list, "LineHandler", handler, subFeed);
        }

        const Settings s = read(subConfig, addressOption, portOption);
        logSettings(*log, where, s);
        if (s.address.empty() || s.port.empty())
            throw ConfigError(where + ": must provide TCP options");
        const unsigned int connectDelay = unsignedSetting(where, "TcpConnectDelay", s.connectDelay);
        const unsigned int connectDelayMax = unsignedSetting(where, "TcpConnectDelayMax", s.connectDelayMax);
        const unsigned int receiveBufferSize = unsignedSetting(where, "TcpReceiveBufferSize", s.receiveBufferSize);
        const unsigned int minMessageBufferSize =
            unsignedSetting(where, "TcpMinMessageBufferSize", s.minMessageBufferSize);
        const unsigned int heartbeatInterval = unsignedSetting(where, "TcpHeartbeatInterval", s.heartbeatInterval);
        // The handler keeps a bounded separator string; a longer one is
        // refused whole rather than cut.
        if (s.separatorString.size() > LineHandlerTcp::MAX_MSG_SEPARATOR - 2)
            throw ConfigError(where + ": TcpMessageSeparatorString is longer than " +
                              std::to_string(LineHandlerTcp::MAX_MSG_SEPARATOR - 2) + " characters");
        const bool hasSeparator = !s.separator.empty();
        const char separator = hasSeparator ? separatorCharacter(where, s.separator) : '\0';

        handler->setName(s.address + ":" + s.port);
        handler->setFeedName(subFeed);
        handler->setNonBlockingConnect(s.nonBlockingConnect);
        handler->setTryReconnect(s.tryReconnect);
        handler->setAnyFailOk(s.anyFailOk);
        handler->setTempFailOk(s.tempFailOk);
        handler->setConnectDelay(connectDelay, connectDelayMax);
        handler->setReceiveBufferSize(receiveBufferSize);
        handler->setMinMessageBufferSize(minMessageBufferSize);
        handler->setConnectedMeansLineUp(s.connectedMeansLineUp);
        handler->setDataIsDeflated(s.deflated);
        handler->setSendHeartbeats(s.sendHeartbeats);
        handler->setHeartbeatInterval(heartbeatInterval);
        handler->setListenToReadEvent(s.listenToReadEvent);
        handler->setServerDisconnectIsError(s.serverDisconnectIsError);
        if (existing == nullptr)
        {
            handler->addConnection(s.address.c_str(), s.port.c_str());
            // Its hunt list is registered once; a second registration of the
            // same names would be refused.
            if (!handler->initNetworkService())
                throw InitModuleError(where, "failed to register TCP Client Service");
        }
        monitor->setEnableNoDataWarning(s.noDataWarning);
        if (hasSeparator)
            handler->setMessageSeparator(separator);
        if (!s.separatorString.empty())
            handler->setMessageSeparator(s.separatorString.c_str());
        handler->setUseRecoveryFile(s.useRecoveryFile);
        if (s.useRecoveryFile)
        {
            handler->setRecoveryFile(s.recoveryFile);
            handler->setRecoveryFileBackupFmt(s.backupFormat);
        }
        if (s.connectOnStartUp)
            handler->connect();
        if (monitor->getInitMonitorOn() && handler->getLineStatus() != LineStatus::OFF)
            monitor->monitorOn(handler->getName());
        else
            monitor->monitorOff(handler->getName());
        kesh->addMethod(new KeshDisconnectTcpFeed(*handler));
        kesh->addMethod(new KeshTcpDisconnect(*handler));
        kesh->addMethod(new KeshGetFileDescBufferStats(*handler));
        kesh->addMethod(new KeshResetFileDescBufferStats(*handler));
        handler->OrluPublisher<LineData>::setDestination(s.useLineDataBlock && block != nullptr ? block : data);
        handler->OrluPublisher<LineHeartbeat>::setDestination(heartbeat);
        handler->OrluPublisher<LineStatus>::setDestination(status);
        handler->OrluPublisher<SystemEvent>::setDestination(systemEvent);
        handler->OrluPublisher<TerminateAll>::setDestination(terminateAll);
    }
    return true;
}
