// The static address operations of TcpDataSocket against this host's real
// interfaces: 127.0.0.1 on lo is always there; TEST-NET addresses and
// 10.255.255.1 are carried by no interface of a test machine.
#include "SocketTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace sockettest;

namespace
{

TEST(SocketAddress, DottedAddressTextsAreAcceptedOnlyWhenTheyParse)
{
    const struct
    {
        const char* text;
        bool valid;
    } cases[] = {
        {"10.0.0.1", true},       {"127.0.0.1", true},      {"0.0.0.0", true},         {"255.255.255.255", true},
        {"239.1.2.3", true},      {"256.1.1.1", false},     {"1.2.3", false},          {"1.2.3.4.5", false},
        {"1.2.3.4 ", false},      {" 1.2.3.4", false},      {"a.b.c.d", false},        {"", false},
        {"localhost", false},     {"::1", false},           {"1.2.3.-4", false},       {nullptr, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        EXPECT_EQ(TcpDataSocket::isValidAddr(c.text), c.valid);
    }
}

TEST(SocketAddress, InterfaceAddressesMustBeCarriedByALocalInterface)
{
    const struct
    {
        const char* text;
        bool local;
    } cases[] = {
        {"127.0.0.1", true},   {"127.0.0.2", false}, // lo's subnet, but not its address
        {"0.0.0.0", false},    {"10.255.255.1", false}, {"198.51.100.7", false},
        {"256.0.0.1", false},  {"", false},          {nullptr, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        EXPECT_EQ(TcpDataSocket::isValidInterfaceAddr(c.text), c.local);
    }
    // Every address the host lists is an interface address.
    uint32 addrs[64];
    int count = 0;
    ASSERT_EQ(TcpDataSocket::getLocalAddr(addrs, 64, count), 0);
    for (int i = 0; i < count; ++i)
        EXPECT_TRUE(TcpDataSocket::isValidInterfaceAddr(addrText(addrs[i]).c_str())) << addrText(addrs[i]);
}

TEST(SocketAddress, SubnetLookupFindsTheInterfaceAddressInsideIt)
{
    const struct
    {
        const char* subnet;
        bool found;
        const char* addr;
    } cases[] = {
        {"127.0.0.0", true, "127.0.0.1"},
        {"127.0.0.1", false, ""},   // an address, not lo's subnet value
        {"198.51.100.0", false, ""},
        {"10.255.255.0", false, ""},
        {"0.0.0.0", false, ""},
        {"127.0.0", false, ""},     // does not parse
        {"", false, ""},
        {nullptr, false, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.subnet != nullptr ? c.subnet : "(null)");
        IpAddress out;
        std::memset(out, 'x', sizeof(out)); // stale text must not survive a miss
        EXPECT_EQ(TcpDataSocket::getInterfaceAddrBySubnet(c.subnet, out), c.found);
        EXPECT_STREQ(out, c.addr);
    }
    uint32 addr = 0;
    ASSERT_TRUE(TcpDataSocket::getInterfaceAddrBySubnet(htonl(0x7f000000), addr));
    EXPECT_EQ(addr, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(TcpDataSocket::getInterfaceAddrBySubnet(htonl(0xc6336400), addr));
    EXPECT_FALSE(TcpDataSocket::getInterfaceAddrBySubnet("127.0.0.0", nullptr));
}

TEST(SocketAddress, LocalAddressListFillsUpToItsCapacityAndSaysWhenMoreExist)
{
    uint32 all[64];
    int total = 0;
    ASSERT_EQ(TcpDataSocket::getLocalAddr(all, 64, total), 0);
    ASSERT_GE(total, 1);
    EXPECT_NE(std::find(all, all + total, htonl(INADDR_LOOPBACK)), all + total);

    // Exactly enough room is enough.
    std::vector<uint32> exact(static_cast<size_t>(total));
    int count = -1;
    EXPECT_EQ(TcpDataSocket::getLocalAddr(exact.data(), total, count), 0);
    EXPECT_EQ(count, total);
    EXPECT_TRUE(std::equal(exact.begin(), exact.end(), all));

    // One short: the list is filled in order and the call fails with 2109.
    std::vector<uint32> shortList(static_cast<size_t>(total), 0);
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(TcpDataSocket::getLocalAddr(shortList.data(), total - 1, count), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSL_TOO_MANY_LOCAL_ADDR);
    EXPECT_EQ(count, total - 1);
    EXPECT_TRUE(std::equal(shortList.begin(), shortList.begin() + (total - 1), all));
    EXPECT_EQ(shortList.back(), 0u); // nothing written past the capacity

    EXPECT_EQ(TcpDataSocket::getLocalAddr(nullptr, 8, count), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSL_TOO_MANY_LOCAL_ADDR);
    EXPECT_EQ(count, 0);
}

} // namespace
