// The framework's send and event calls replaced by a script, for the
// connection tests that need codes a real socket cannot give on demand: each
// send takes what the script says (everything once it is empty) and the
// bytes taken are kept per connection name.
#pragma once

#include "kelmora/linehandler/NetworkApi.h"

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace scripted
{
struct Net
{
    std::map<std::string, std::deque<int>> results;
    std::map<std::string, std::string> sent;
    std::map<std::string, int> sends;
    std::vector<std::pair<std::string, int>> events;
    std::vector<TcpConnParam> listens; // listening registrations
    int code = 0;

    int countEvents(const std::string& name, int id) const
    {
        int n = 0;
        for (const auto& [nm, i] : events)
            n += nm == name && i == id;
        return n;
    }
};

inline Net& net()
{
    static Net n;
    return n;
}

inline const NetworkApi& api()
{
    static const NetworkApi table = [] {
        NetworkApi a = NetworkApi::framework();
        a.sendTcpMessage = [](const char* name, const char* data, int len, char (*)[17], bool) {
            Net& n = net();
            ++n.sends[name];
            int take = len;
            auto& script = n.results[name];
            if (!script.empty())
            {
                take = script.front();
                script.pop_front();
            }
            if (take > 0)
                n.sent[name].append(data, static_cast<std::size_t>(std::min(take, len)));
            return take;
        };
        a.sendNetEvent = [](const char* name, FwEventID id, AppEventParam*) {
            net().events.emplace_back(name, id);
            return 0;
        };
        a.getErrorCode = [] { return net().code; };
        a.registerListenTcpConnection = [](const TcpConnParam* p) {
            net().listens.push_back(*p);
            return 0;
        };
        return a;
    }();
    return table;
}

// Installs the script for one test and takes it away afterwards.
struct Install
{
    Install()
    {
        net() = Net();
        NetworkApi::install(&api());
    }
    ~Install() { NetworkApi::install(nullptr); }
};
} // namespace scripted
