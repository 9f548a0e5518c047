// The machine's own IPv4 interface addresses, read afresh on every call;
// addresses and masks in network order.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <ifaddrs.h>
#include <netinet/in.h>

namespace LocalAddr
{
// Calls visit(address, netmask) for every local interface that carries an
// IPv4 address, in interface-list order, until visit returns true. False
// when the interface list cannot be read.
template <typename Visit>
bool forEach(Visit visit)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next)
    {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr_t addr = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        const in_addr_t mask = entry->ifa_netmask != nullptr
                                   ? reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr
                                   : 0;
        if (visit(addr, mask))
            break;
    }
    ::freeifaddrs(list);
    return true;
}

// A local interface carries addr.
bool isLocal(uint32 addr);
// The first local address whose value masked with its netmask equals subnet.
bool bySubnet(uint32 subnet, uint32& addr);
} // namespace LocalAddr
