#include "liborvane/InitOrvane.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <climits>
#include <string>

InitModule<Orlu<OrvaneConnected>> initOrluOrvaneConnected("OrluOrvaneConnected", 80);
InitModule<OrvaneClient> initOrvaneClient("OrvaneClient", 801);
InitModule<OrvaneServer> initOrvaneServer("OrvaneServer", 850);

namespace
{

const char* boolText(bool on)
{
    return on ? "true" : "false";
}

int toInt(long value)
{
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

unsigned int toUnsigned(long value)
{
    return value < 0 ? 0u : value > static_cast<long>(UINT_MAX) ? UINT_MAX : static_cast<unsigned int>(value);
}

} // namespace

template <>
bool InitModule<Orlu<OrvaneConnected>>::createModule(ModuleList* list, ZunqConfigManager*)
{
    setName("OrluOrvaneConnected");
    const std::string& group = ModuleListBase::cDefaultGroup;
    Log* log = findModule<Log>(list, "Log", group);
    if (log == nullptr)
        throw InitModuleError("InitModule<OrluOrvaneConnected>", "could not find Log object");
    log->info() << "InitModule<Tclass>: creating OrluOrvaneConnectedinstance";
    auto* bus = new Orlu<OrvaneConnected>("OrvaneConnected", "");
    registerModule<Orlu<OrvaneConnected>>(list, "OrluOrvaneConnected", bus, group);
    return true;
}

template <>
bool InitModule<OrvaneClient>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("OrvaneClient");
    const std::string where = "InitModule<OrvaneClient>::createModule()";
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    if (!config->getBool("IsOrvaneClient", "--is-orvane-client", true))
        return true;
    const std::string& group = ModuleListBase::cDefaultGroup;
    Log* log = findModule<Log>(list, "Log", group);
    OrvaneClient* existing = findModule<OrvaneClient>(list, "OrvaneClient", group);
    TarvokSession* session = findModule<TarvokSession>(list, "TarvokSessionDefault", group);
    auto* bus = findModule<Orlu<OrvaneConnected>>(list, "OrluOrvaneConnected", group);
    if (log == nullptr)
        throw InitModuleError(where, "could not find Log object");
    if (session == nullptr)
        throw InitModuleError(where, "could not find TarvokSessionDefault object");

    const std::string address = config->getString("OrvaneTcpIpAddress", "--orvane-tcp-address", "127.0.0.1");
    const std::string port = config->getString("OrvaneTcpPort", "--orvane-tcp-port", "13888");
    log->info() << where << ": OrvaneTcpIpAddress = " << address;
    log->info() << where << ": OrvaneTcpPort = " << port;
    if (existing != nullptr)
    {
        log->info() << where << ": OrvaneClient already exists";
        return true;
    }

    auto* factory = new LineDataFactoryBasic("LineDataFactoryBasic(OrvaneClient)", *log);
    factory->setSeqNumOffset(0);
    factory->setSeqNumLength(0);
    factory->setObjPoolSize(50);
    log->info() << where << ": creating new OrvaneClient";
    auto* client = new OrvaneClient(*factory, *session, *log);
    registerModule<OrvaneClient>(list, "OrvaneClient", client, group);
    session->setOrvaneClient(client);
    if (Runnable* runnable = session->getRunnable())
        runnable->getOrluThreadStatus()->subscribe(client);
    client->setWhenToSendLogin(LineHandlerLogin::LOGIN_NEVER);
    client->setWhenToStartHeartBeats(LineHandlerLogin::START_HB_NEVER);
    client->addConnection(address.c_str(), port.c_str());
    client->OrluPublisher<OrvaneConnected>::setDestination(bus);

    const bool nonBlocking = config->getBool("OrvaneTcpNonBlockingConnect", "--orvane-tcp-non-blocking-connect", true);
    const bool tryReconnect = config->getBool("OrvaneTcpTryReconnect", "--orvane-tcp-try-reconnect", true);
    const bool anyFailOk = config->getBool("OrvaneTcpAnyFailOk", "--orvane-tcp-any-fail-ok", false);
    const bool tempFailOk = config->getBool("OrvaneTcpTempFailOk", "--orvane-tcp-temp-fail-ok", true);
    const long delay = config->getLong("OrvaneTcpConnectDelay", "--orvane-tcp-connect-delay", 1, true);
    const long delayMax = config->getLong("OrvaneTcpConnectDelayMax", "--orvane-tcp-connect-delay-max", 60000, true);
    const long receiveBuffer =
        config->getLong("OrvaneTcpReceiveBufferSize", "--orvane-tcp-receive-buffer-size", 0, true);
    const long minBuffer =
        config->getLong("OrvaneTcpMinMessageBufferSize", "--orvane-tcp-min-message-buffer-size", 8192);
    const bool lineUp =
        config->getBool("OrvaneTcpConnectedMeansLineUp", "--orvane-tcp-connected-means-line-up", false);
    const bool deflated = config->getBool("OrvaneTcpDataIsDeflated", "--orvane-tcp-data-is-deflated", false);
    const bool heartbeats = config->getBool("OrvaneTcpSendHeartbeats", "--orvane-tcp-send-heartbeats", false, true);
    const long heartbeatInterval =
        config->getLong("OrvaneTcpHeartbeatInterval", "--orvane-tcp-heartbeat-interval", 30);
    const bool disconnectIsError =
        config->getBool("OrvaneTcpServerDisconnectIsError", "--orvane-tcp-server-disconnect-is-error", true);
    const bool listenToRead =
        config->getBool("OrvaneTcpConnectListenToReadEvent", "--orvane-tcp-connect-listen-to-read-event", false);
    const bool connectOnStartUp =
        config->getBool("OrvaneTcpConnectOnStartUp", "--orvane-tcp-connect-on-startup", true);
    const std::string failover = config->getString("FailoverActions", "", "");

    log->info() << where << ": OrvaneTcpNonBlockingConnect = " << boolText(nonBlocking);
    log->info() << where << ": OrvaneTcpTryReconnect = " << boolText(tryReconnect);
    log->info() << where << ": OrvaneTcpAnyFailOk = " << boolText(anyFailOk);
    log->info() << where << ": OrvaneTcpTempFailOk = " << boolText(tempFailOk);
    log->info() << where << ": OrvaneTcpConnectDelay = " << delay;
    log->info() << where << ": OrvaneTcpConnectDelayMax = " << delayMax;
    log->info() << where << ": OrvaneTcpReceiveBufferSize = " << receiveBuffer;
    log->info() << where << ": OrvaneTcpMinMessageBufferSize = " << minBuffer;
    log->info() << where << ": OrvaneTcpConnectedMeansLineUp = " << boolText(lineUp);
    log->info() << where << ": OrvaneTcpDataIsDeflated = " << boolText(deflated);
    log->info() << where << ": OrvaneTcpSendHeartbeats = " << boolText(heartbeats);
    log->info() << where << ": OrvaneTcpHeartbeatInterval = " << heartbeatInterval;
    log->info() << where << ": OrvaneTcpServerDisconnectIsError = " << boolText(disconnectIsError);
    log->info() << where << ": OrvaneTcpConnectListenToReadEvent = " << boolText(listenToRead);
    log->info() << where << ": OrvaneTcpConnectOnStartUp = " << boolText(connectOnStartUp);
    log->info() << where << ": FailoverActions = " << failover;

    client->setFeedName("OrvaneClient");
    client->setNonBlockingConnect(nonBlocking);
    client->setTryReconnect(tryReconnect);
    client->setAnyFailOk(anyFailOk);
    client->setTempFailOk(tempFailOk);
    client->setConnectDelay(toUnsigned(delay), toUnsigned(delayMax));
    client->setReceiveBufferSize(toUnsigned(receiveBuffer));
    client->setMinMessageBufferSize(toUnsigned(minBuffer));
    client->setConnectedMeansLineUp(lineUp);
    client->setDataIsDeflated(deflated);
    client->LineHandlerTcp::setSendHeartbeats(heartbeats);
    client->LineHandlerLogin::setHeartbeatInterval(static_cast<std::uint64_t>(toUnsigned(heartbeatInterval)));
    client->setServerDisconnectIsError(disconnectIsError);
    client->setListenToReadEvent(listenToRead);
    client->setUseRecoveryFile(false);
    client->setWhenToSendLogin(LineHandlerLogin::LOGIN_NEVER);
    client->setWhenToStartHeartBeats(LineHandlerLogin::START_HB_NEVER);
    client->setWhenToStartIdleTimeOuts(LineHandlerLogin::START_TIMEOUT_NEVER);
    client->setFailoverActions(failover);
    if (!client->initNetworkService())
        throw InitModuleError(where, "failed to register TCP Client Service");
    if (connectOnStartUp)
        client->connect();
    log->info() << where << ": initialized";
    return true;
}

template <>
bool InitModule<OrvaneServer>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("OrvaneServer");
    const std::string where = "InitModule<OrvaneServer>::createModule()";
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    if (!config->getBool("IsOrvaneServer", "--is-orvane-server", false))
        return true;
    const std::string& group = ModuleListBase::cDefaultGroup;
    Log* log = findModule<Log>(list, "Log", group);
    TarvokSession* session = findModule<TarvokSession>(list, "TarvokSessionDefault", group);
    auto* lineData = findModule<Orlu<LineData>>(list, "OrluLineDataOrvane", group);
    OrvaneServer* server = findModule<OrvaneServer>(list, "OrvaneServer", group);
    if (log == nullptr)
        throw InitModuleError(where, "Could not find Log object");
    if (session == nullptr)
        throw InitModuleError(where, "Could not find TarvokSessionDefault object");

    const std::string address =
        config->getString("OrvaneTcpListenInterface", "--orvane-tcp-listen-interface", "127.0.0.1");
    const std::string port = config->getString("OrvaneTcpListenPort", "--orvane-tcp-listen-port", "13888");
    const bool logBuffer = config->getBool("OrvaneLogTcpBuffer", "--orvane-log-tcp-buffer", false);
    const bool deflate = config->getBool("OrvaneDeflateData", "--orvane-deflate-data", false);
    const long maxQueue = config->getLong("OrvaneMaxQueueBufferSize", "--orvane-max-queue-buffer-size", 0, true);
    const long maxPerAddress = config->getLong("OrvaneMaxConnectionAttemptsPerIpAddress",
                                               "--orvane-max-connection-attempts-per-ip-address", 0);
    const long initialBuffer =
        config->getLong("OrvaneInitialBufferSize", "--orvane-initial-buffer-size", 262144, true);
    if (maxPerAddress < 0 || maxPerAddress > USHRT_MAX)
        throw InitModuleError(where, "OrvaneMaxConnectionAttemptsPerIpAddress must be 0 (no limit) to 65535, not " +
                                         std::to_string(maxPerAddress));
    log->info() << where << ": MasqTcpIpAddress = " << address;
    log->info() << where << ": MasqTcpPort = " << port;
    log->info() << where << ": MasqLogTcpBuffer = " << boolText(logBuffer);
    log->info() << where << ": MasqDeflateData = " << boolText(deflate);
    log->info() << where << ": MasqMaxQueueBufferSize = " << maxQueue;
    log->info() << where << ": MaxConnectionAttemptsPerIpAddress = " << maxPerAddress;
    log->info() << where << ": MasqInitialBufferSize = " << initialBuffer;

    if (server == nullptr)
    {
        log->info() << where << ": creating new OrvaneServer";
        server = new OrvaneServer(*session, *log);
        registerModule<OrvaneServer>(list, "OrvaneServer", server, group);
    }
    server->setTcpIpAddress(address);
    server->setTcpService(port);
    server->setLogTcpBuffer(logBuffer);
    server->setOrluLineData(lineData);
    server->setDeflateData(deflate);
    server->setMaxQueueBufferSize(toInt(maxQueue));
    server->setMaxConnectionsPerIpAddress(static_cast<unsigned short>(maxPerAddress));
    server->setInitialBufferSize(toInt(initialBuffer));
    server->initListen();
    log->info() << where << ": initialized";
    return true;
}
