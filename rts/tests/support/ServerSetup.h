// What the server tests share to set a server up: the settings the
// configuration would give it, and the entitlement list read from XML text
// written to a temporary file.
#pragma once

#include "rts/clients/RtsClientList.h"
#include "rts/server/RtsTcpServer.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"

#include <fstream>
#include <memory>
#include <string>

namespace rtstest
{

struct ServerSettings
{
    unsigned packetsPerInterval = 1000;
    unsigned throttleInterval = 10;
    unsigned heartbeatInterval = 30;
    unsigned heartbeatRspInterval = 5;
    unsigned loginTimeout = 60;
    unsigned maxConnectionsPerIp = 1000;
    unsigned maxConnectionsPerIpInterval = 60;
    unsigned maxConnection = 1;
    unsigned maxNumRequests = 10;
    bool allowLastSeqNumRequest = true;
    unsigned packetPoolSize = 5000;
};

inline void applySettings(RtsTcpServer& s, const ServerSettings& settings)
{
    s.setHeartbeatInterval(settings.heartbeatInterval);
    s.setHbRspInterval(settings.heartbeatRspInterval);
    s.setLoginTimeout(settings.loginTimeout);
    s.setThrottleInterval(settings.throttleInterval);
    s.setPacketsPerInterval(settings.packetsPerInterval);
    s.setMaxConnectionsPerIp(settings.maxConnectionsPerIp);
    s.setMaxConnectionsPerIpInterval(settings.maxConnectionsPerIpInterval);
    s.setMaxConnection(settings.maxConnection);
    s.setMaxNumRequests(settings.maxNumRequests);
}

// Fills `clients` from the "ClientList" section of `xml`, written to
// clients.xml in `dir`; the returned file must live as long as `config`.
inline std::unique_ptr<ConfigFile> loadClientList(const std::string& dir, const std::string& xml,
                                                  ZunqConfigManager& config, RtsClientList& clients)
{
    const std::string path = dir + "/clients.xml";
    std::ofstream(path) << xml;
    std::unique_ptr<ConfigFile> file(createConfigFile(path, config));
    config.addFile(file.get());
    clients.populateClientList(config.getChild("ClientList"));
    return file;
}

} // namespace rtstest
