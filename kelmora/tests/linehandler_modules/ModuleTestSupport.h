// What the line handler module tests share: the framework's network calls
// scripted and recorded for the whole test, and a start-up of temporary
// sub-feed configurations through the process's module initializer (which
// runs once per process, so once per test).
#pragma once

#include "../host_admin/AdminTestSupport.h"

#include "kelmora/linecontrol/IndividualLineMap.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/thread/Runnable.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshSession.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace modtest
{

using Groups = std::list<std::string>;

// Multicast receivers: "<feed name> <interface> <group>:<port>".
inline std::vector<std::string> gRegistered;
// TCP clients: "<name> <address>:<port>".
inline std::vector<std::string> gTcpRegistered;
// Framework registrations of TCP clients refused when true.
inline bool gRefuseTcp = false;

inline const NetworkApi cScripted{
    [](StructParamType t, void* p, int n) { return ::initStructParam(t, p, n); },
    [](const TcpConnParam* p) {
        gTcpRegistered.push_back(std::string(p->connNameTxt) + " " + p->remoteAddrTxt + ":" +
                                 std::to_string(p->remotePort));
        return gRefuseTcp ? -1 : 0;
    },
    [](const TcpConnParam*) { return -1; },
    [](const UdpConnParam*) { return -1; },
    [](const UdpConnParam* p) {
        gRegistered.push_back(std::string(p->connNameTxt) + " " + p->interfaceTxt + " " + p->destAddrTxt + ":" +
                              std::to_string(p->port));
        return 0;
    },
    [](const UdpConnParam*) { return -1; },
    [](const IpcParam*) { return -1; },
    [](const char*, FwEventID, AppEventParam*) { return 0; },
    [](const char*, const char*, int, char (*)[17], bool) { return -1; },
    [](const char*, const char*, int, char (*)[17], bool) { return -1; },
    [](const char*, const char*, int) { return -1; },
    [] { return 0; },
    [](const char*, FwEventID, AppEventParam*) { return -1; },
};

// Lines live for the process; the names they registered go for the next
// start-up of the same process.
inline void forgetFeeds()
{
    Log quiet;
    for (const char* group : {"A", "B", "C", "D", "E", "F", "T"})
        for (int i = 0; i <= 4; ++i)
        {
            char name[17] = {};
            std::snprintf(name, sizeof name, "%s:%d", group, i);
            Runnable::removeNetworkHandleMap(name, quiet);
        }
}

class ScriptedNet : public admintest::AdminFixture
{
protected:
    void SetUp() override
    {
        AdminFixture::SetUp();
        NetworkApi::install(&cScripted);
        gRegistered.clear();
        gTcpRegistered.clear();
        gRefuseTcp = false;
    }
    void TearDown() override
    {
        NetworkApi::install(nullptr);
        forgetFeeds();
        AdminFixture::TearDown();
    }
};

class StartUp : public ScriptedNet
{
protected:
    // Start-up of the sub-feeds `names` ("<Name>...</Name>" sections of `xml`).
    void start(const std::vector<std::string>& names, const std::string& xml, std::vector<std::string> args = {})
    {
        ModuleList& list = keptModuleList();
        mUsed = &list;
        registerModule<Log>(&list, "Log", &mLog, list.defaultGroup());
        static std::vector<std::unique_ptr<IndividualLineMap>> maps;
        mMap = maps.emplace_back(std::make_unique<IndividualLineMap>(mLog)).get();
        registerModule<IndividualLineMap>(&list, "IndividualLineMap", mMap, list.defaultGroup());
        std::string subFeeds = "<SubFeeds>";
        for (const std::string& name : names)
            subFeeds += "<Value>" + name + "</Value>";
        ZunqConfigManager& cfg = config(subFeeds + "</SubFeeds>"
                                        "<DefaultMulticastInterface1>127.0.0.1</DefaultMulticastInterface1>"
                                        "<DefaultMulticastInterface2>127.0.0.2</DefaultMulticastInterface2>" + xml,
                                        std::move(args));
        cfg.setExeName("feedd");
        cfg.setAppName("feedd");
        moduleInitializer()->initialize(&list, &cfg);
    }

    // The names of the admin methods of `group`'s session that `keep` accepts, in order.
    template <typename Keep>
    std::vector<std::string> methods(const std::string& group, Keep keep) const
    {
        std::vector<std::string> names;
        if (auto* kesh = findModule<KeshSession>(mUsed, "KeshSession", group))
            for (KeshMethod* m : kesh->getMethods())
                if (keep(m->getName()))
                    names.push_back(m->getName());
        return names;
    }

    // Invokes the method `name` of `group`'s session; its "Message" result,
    // or "usage" for a usage error.
    std::string invoke(const std::string& group, const std::string& name,
                       const std::vector<std::pair<std::string, std::string>>& args = {}) const
    {
        auto* kesh = findModule<KeshSession>(mUsed, "KeshSession", group);
        if (kesh == nullptr)
            return "no session";
        for (KeshMethod* m : kesh->getMethods())
            if (m->getName() == name)
            {
                KeshParamList in, out;
                for (const auto& [n, v] : args)
                    in.add(n, v);
                try
                {
                    m->invoke(in, out);
                }
                catch (const KeshUsageError&)
                {
                    return "usage";
                }
                const KeshParam* message = out.getParam("Message");
                return message != nullptr ? message->getValue() : "";
            }
        return "no method " + name;
    }

    ModuleList* mUsed = nullptr;
    IndividualLineMap* mMap = nullptr;
};

} // namespace modtest
