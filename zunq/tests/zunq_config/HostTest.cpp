#include "zunq/identity/Host.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <cstring>
#include <map>

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
    // No NIS client on this layer: a host belongs to no netgroup.
    EXPECT_TRUE(nisnetgroup(shortName).empty());
}

} // namespace
