#include "zunq/identity/Host.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{

in_addr_t dotted(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(Host, ResolvesDottedTextInterfacesAndHostNames)
{
    const struct
    {
        const char* text;
        in_addr_t address;
    } cases[] = {
        {"127.0.0.1", dotted("127.0.0.1")},
        {"10.20.30.40", dotted("10.20.30.40")},
        {"lo", dotted("127.0.0.1")},        // an interface
        {"localhost", dotted("127.0.0.1")}, // a host name
        {"", INADDR_NONE},
        {"1.2.3", INADDR_NONE},
        {"256.1.1.1", INADDR_NONE},
        {"10.0.0.1.5", INADDR_NONE},
        {"no-such-host.invalid", INADDR_NONE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve_ip(c.text), c.address) << c.text;
    EXPECT_EQ(resolve_ip(nullptr), INADDR_NONE);
}

TEST(Host, EveryIpv4InterfaceResolvesToItsFirstAddress)
{
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    std::map<std::string, in_addr_t> first;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
            first.emplace(i->ifa_name, reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    freeifaddrs(list);
    ASSERT_FALSE(first.empty());
    for (const auto& [name, address] : first)
        EXPECT_EQ(resolve_ip(name.c_str()), address) << name;
}

TEST(Host, ShortNameIsTheFullNameUpToItsFirstDot)
{
    const std::string full = fullhostname();
    const std::string shortName = hostname();
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(shortName.find('.'), std::string::npos);
    EXPECT_EQ(full.rfind(shortName, 0), 0u);
    EXPECT_FALSE(fqdn().empty());
}

// A NIS client that knows no domain.
const NisClient cNoNis{[] { return std::string(); }, nullptr};

TEST(Host, NetgroupsOfTheFileNamingTheHostDirectlyOrThroughIncludedGroups)
{
    const struct
    {
        const char* label;
        const char* file;
        std::vector<std::string> groups;
    } cases[] = {
        {"the host's triple", "servers (other,,) (feedhost,user,dom)\n", {"servers"}},
        {"an empty host field", "all (,ops,) (, ,)\n", {"all"}},
        {"the host in another case, blanks in the triple", "caps ( FeedHost , , )\n", {"caps"}},
        {"another host or no valid host", "others (feedhost2,,) (-,,) (feed,,)\n", {}},
        {"included groups, in file order",
         "outer inner\nmiddle (x,,) inner\ninner (feedhost,,)\nnone (x,,)\ntop outer\n",
         {"outer", "middle", "inner", "top"}},
        {"a cycle with the host", "a b\nb c\nc a (feedhost,,)\n", {"a", "b", "c"}},
        {"a cycle without it", "a b\nb a\nself self (x,,)\n", {}},
        {"a group named but not defined", "a missing (x,,)\n", {}},
        {"a line going on below", "long (x,,) \\\n  (y,,) \\\n  (feedhost,,)\nshort (x,,)\n", {"long"}},
        {"comments, blank lines and a line starting blank",
         "# (feedhost,,)\n\n  indented (feedhost,,)\nreal (feedhost,,)\n", {"real"}},
        {"a triple that does not close ends its line, or takes in the next",
         "open (x,, (feedhost,,)\nhalf (feedhost,\nafter (x,,) (feedhost\nok (feedhost,,)", {"ok"}},
        {"the first definition of a name", "dup (x,,)\ndup (feedhost,,)\n", {}},
    };
    TempDir dir;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        const std::string file = dir.write("netgroup", c.file);
        EXPECT_EQ(nisnetgroup("feedhost", file, cNoNis), c.groups);
    }
    EXPECT_TRUE(nisnetgroup("feedhost", dir.path() + "/missing", cNoNis).empty());
}

TEST(Host, NisGroupsOfTheHostFollowTheFilesOnesWhenTheSystemHasNis)
{
    std::vector<std::string> asked;
    const std::map<std::string, std::string> byHost = {
        {"feedhost.nisdom", "nis1, files1"},
        {"*.nisdom", "nis2"},
        {"*.*", ",nis1,nis3,"},
        {"otherhost.nisdom", "nis4"},
    };
    std::string domain = "nisdom";
    const NisClient nis{[&] { return domain; },
                        [&](const std::string& d, const std::string& map, const std::string& key, std::string& value) {
                            asked.push_back(d + " " + map + " " + key);
                            const auto found = byHost.find(key);
                            if (found == byHost.end())
                                return false;
                            value = found->second;
                            return true;
                        }};
    TempDir dir;
    const std::string file = dir.write("netgroup", "files1 (feedhost,,)\n");
    EXPECT_EQ(nisnetgroup("feedhost", file, nis), (std::vector<std::string>{"files1", "nis1", "nis2", "nis3"}));
    EXPECT_EQ(asked, (std::vector<std::string>{"nisdom netgroup.byhost feedhost.nisdom",
                                                "nisdom netgroup.byhost feedhost.*", "nisdom netgroup.byhost *.nisdom",
                                                "nisdom netgroup.byhost *.*"}));
    // No domain: NIS is not asked.
    asked.clear();
    domain.clear();
    EXPECT_EQ(nisnetgroup("feedhost", file, nis), std::vector<std::string>{"files1"});
    EXPECT_TRUE(asked.empty());
}

} // namespace
