#include "zunq/identity/Host.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace
{
constexpr const char* cNetgroupFile = "/etc/netgroup";
constexpr const char* cNisByHostMap = "netgroup.byhost";

bool isBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

struct Netgroup
{
    std::string name;
    bool namesHost = false;
    std::vector<std::string> included; // names of the groups it includes
};

// The members of a group's line, after its name. A triple that does not
// close ends the line, as the C library's reader takes it; only its host
// field matters here.
void readMembers(std::string_view rest, const std::string& host, Netgroup& group)
{
    std::size_t at = 0;
    for (;;)
    {
        while (at < rest.size() && isBlank(rest[at]))
            ++at;
        if (at == rest.size())
            return;
        if (rest[at] == '(')
        {
            const std::size_t hostEnd = rest.find(',', at + 1);
            const std::size_t userEnd = hostEnd == std::string_view::npos ? hostEnd : rest.find(',', hostEnd + 1);
            const std::size_t close = userEnd == std::string_view::npos ? userEnd : rest.find(')', userEnd + 1);
            if (close == std::string_view::npos)
                return;
            const std::string field(trimmed(rest.substr(at + 1, hostEnd - at - 1)));
            if (field.empty() || ::strcasecmp(field.c_str(), host.c_str()) == 0)
                group.namesHost = true;
            at = close + 1;
            continue;
        }
        std::size_t end = at;
        while (end < rest.size() && !isBlank(rest[end]))
            ++end;
        group.included.emplace_back(rest.substr(at, end - at));
        at = end;
    }
}

// The groups of the file, the first definition of a name only.
std::vector<Netgroup> readNetgroupFile(const std::string& path, const std::string& host)
{
    std::vector<Netgroup> groups;
    std::unordered_set<std::string> defined;
    auto take = [&](std::string_view line) {
        // The name starts the line; a comment or a line starting blank names none.
        if (line.empty() || line.front() == '#' || isBlank(line.front()))
            return;
        std::size_t nameEnd = 0;
        while (nameEnd < line.size() && !isBlank(line[nameEnd]))
            ++nameEnd;
        Netgroup group;
        group.name = std::string(line.substr(0, nameEnd));
        if (!defined.insert(group.name).second)
            return;
        readMembers(line.substr(nameEnd), host, group);
        groups.push_back(std::move(group));
    };
    std::ifstream in(path);
    std::string line;
    std::string joined;
    while (std::getline(in, line))
    {
        if (!line.empty() && line.back() == '\\')
        {
            joined.append(line, 0, line.size() - 1).push_back(' ');
            continue;
        }
        joined += line;
        take(joined);
        joined.clear();
    }
    take(joined);
    return groups;
}

// The groups that name the host, themselves or through a group they
// include, in file order. Walked from the naming groups up to the groups
// including them, each once: a cycle of inclusions ends there.
std::vector<std::string> groupsOfHost(const std::vector<Netgroup>& groups)
{
    std::unordered_map<std::string_view, std::size_t> indexOf;
    for (std::size_t i = 0; i < groups.size(); ++i)
        indexOf.emplace(groups[i].name, i);
    std::vector<std::vector<std::size_t>> includedBy(groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i)
        for (const std::string& name : groups[i].included)
            if (const auto found = indexOf.find(name); found != indexOf.end())
                includedBy[found->second].push_back(i);
    std::vector<bool> member(groups.size(), false);
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < groups.size(); ++i)
        if (groups[i].namesHost)
        {
            member[i] = true;
            pending.push_back(i);
        }
    while (!pending.empty())
    {
        const std::size_t group = pending.back();
        pending.pop_back();
        for (const std::size_t outer : includedBy[group])
            if (!member[outer])
            {
                member[outer] = true;
                pending.push_back(outer);
            }
    }
    std::vector<std::string> names;
    for (std::size_t i = 0; i < groups.size(); ++i)
        if (member[i])
            names.push_back(groups[i].name);
    return names;
}

// NIS's reverse map lists, per "host.domain" key (either part may be "*"),
// the groups that hold the host, inclusions already followed.
void addNisGroups(const std::string& host, const NisClient& nis, std::vector<std::string>& names)
{
    const std::string domain = nis.domain ? nis.domain() : std::string();
    if (domain.empty() || !nis.match)
        return;
    std::unordered_set<std::string> seen(names.begin(), names.end());
    for (const std::string& key : {host + "." + domain, host + ".*", "*." + domain, std::string("*.*")})
    {
        std::string value;
        if (!nis.match(domain, cNisByHostMap, key, value))
            continue;
        std::size_t at = 0;
        while (at < value.size())
        {
            const std::size_t end = std::min(value.find(',', at), value.size());
            std::string name(trimmed(std::string_view(value).substr(at, end - at)));
            if (!name.empty() && seen.insert(name).second)
                names.push_back(std::move(name));
            at = end + 1;
        }
    }
}
} // namespace

std::string fullhostname()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string hostname()
{
    const std::string full = fullhostname();
    return full.substr(0, full.find('.'));
}

std::string fqdn()
{
    const std::string full = fullhostname();
    if (full.empty())
        return full;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (::getaddrinfo(full.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return full;
    std::string canonical = result->ai_canonname != nullptr ? result->ai_canonname : "";
    ::freeaddrinfo(result);
    // A canonical name without a dot says no more than the host's own name.
    return canonical.find('.') != std::string::npos ? canonical : full;
}

const NisClient& NisClient::system()
{
    static const NisClient client = [] {
        using GetDomain = int (*)(char**);
        using Match = int (*)(const char*, const char*, const char*, int, char**, int*);
        NisClient found;
        found.domain = [] { return std::string(); };
        // Resolved at run time: a system without the NIS client library has no NIS.
        void* library = ::dlopen("libnsl.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            library = ::dlopen("libnsl.so.1", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return found;
        const auto getDomain = reinterpret_cast<GetDomain>(::dlsym(library, "yp_get_default_domain"));
        const auto match = reinterpret_cast<Match>(::dlsym(library, "yp_match"));
        if (getDomain == nullptr || match == nullptr)
            return found;
        found.domain = [getDomain] {
            char* domain = nullptr;
            if (getDomain(&domain) != 0 || domain == nullptr || std::strcmp(domain, "(none)") == 0)
                return std::string();
            return std::string(domain);
        };
        found.match = [match](const std::string& domain, const std::string& map, const std::string& key,
                              std::string& value) {
            char* out = nullptr;
            int length = 0;
            if (match(domain.c_str(), map.c_str(), key.c_str(), static_cast<int>(key.size()), &out, &length) != 0 ||
                out == nullptr)
                return false;
            value.assign(out, static_cast<std::size_t>(std::max(length, 0)));
            std::free(out);
            return true;
        };
        return found;
    }();
    return client;
}

std::vector<std::string> nisnetgroup(const std::string& host)
{
    return nisnetgroup(host, cNetgroupFile, NisClient::system());
}

std::vector<std::string> nisnetgroup(const std::string& host, const std::string& netgroupFile, const NisClient& nis)
{
    std::vector<std::string> names = groupsOfHost(readNetgroupFile(netgroupFile, host));
    addNisGroups(host, nis, names);
    return names;
}

in_addr_t resolve_ip(const char* text)
{
    if (text == nullptr || *text == '\0')
        return INADDR_NONE;
    in_addr address{};
    if (::inet_pton(AF_INET, text, &address) == 1)
        return address.s_addr;

    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) == 0)
    {
        in_addr_t found = INADDR_NONE;
        for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next)
            if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && std::strcmp(i->ifa_name, text) == 0)
            {
                found = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
                break;
            }
        ::freeifaddrs(interfaces);
        if (found != INADDR_NONE)
            return found;
    }

    // Text of digits and dots that inet_pton refused is a bad address, not a
    // host name: do not send it to the resolver.
    if (std::strspn(text, "0123456789.") == std::strlen(text))
        return INADDR_NONE;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (::getaddrinfo(text, nullptr, &hints, &result) != 0 || result == nullptr)
        return INADDR_NONE;
    const in_addr_t found = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return found;
}
