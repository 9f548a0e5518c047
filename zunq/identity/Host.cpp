#include "zunq/identity/Host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

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

std::vector<std::string> nisnetgroup(const std::string&)
{
    return {};
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
