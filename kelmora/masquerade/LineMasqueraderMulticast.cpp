#include "kelmora/masquerade/LineMasqueraderMulticast.h"

#include "kelmora/linehandler/LineError.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class LineMasqueraderMulticastImpl
{
public:
    LineMasqueraderMulticastImpl(const std::string& interface, TarvokSession& session, Log& log)
        : mInterface(interface), mSession(session), mLog(log)
    {
    }
    ~LineMasqueraderMulticastImpl()
    {
        if (mSocket >= 0)
            ::close(mSocket);
    }

    bool applyTtl()
    {
        const unsigned char ttl = static_cast<unsigned char>(mMasqTtl & 0xff);
        if (::setsockopt(mSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0)
            return true;
        const int err = errno;
        mLog.error() << "Error: LineMasqueraderMulticast: setsockopt() IP_MULTICAST_TTL=" << mMasqTtl
                     << " failed: " << std::strerror(err) << " (" << err << ")";
        return false;
    }

    std::string mInterface;
    TarvokSession& mSession;
    Log& mLog;
    int mSocket = -1;
    sockaddr_in mSockAddr{};
    long mMasqTtl = 1;
    std::string mMasqGroup;
    std::string mMasqService;
    bool mMasqSourceSet = false;
};

LineMasqueraderMulticast::LineMasqueraderMulticast(const std::string& interface, TarvokSession& session, Log& log)
    : LineMasquerader(log), OrluSubscriber<LineData>("LineMasqueraderMulticast"),
      mImpl(std::make_unique<LineMasqueraderMulticastImpl>(interface, session, log))
{
    init();
}

LineMasqueraderMulticast::~LineMasqueraderMulticast() = default;

void LineMasqueraderMulticast::init()
{
    LineMasqueraderMulticastImpl& m = *mImpl;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m.mLog.verboseEnabled())
        m.mLog.verbose() << "LineMasqueraderMulticast: socket=" << fd;
    if (fd < 0)
    {
        const int err = errno;
        const std::string text = "socket() failed, Err(" + std::to_string(err) + "): " + std::strerror(err);
        m.mLog.error() << text;
        throw LineError(text);
    }
    in_addr address{};
    if (!m.mInterface.empty())
    {
        address.s_addr = resolve_ip(m.mInterface.c_str());
        if (address.s_addr == INADDR_NONE)
        {
            m.mLog.error() << "could not resolve multicast interface parameter: \"" << m.mInterface
                           << "\", using default interface";
            address.s_addr = 0;
        }
    }
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    m.mLog.info() << "LineMasqueraderMulticast: interface (resolved): " << dotted;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0)
        m.mLog.error() << "LineMasqueraderMulticast: setsockopt failed: " << std::strerror(errno);
    // A re-initialisation replaces the socket; the destination a user fixed
    // and the TTL in force stay.
    if (m.mSocket >= 0)
        ::close(m.mSocket);
    m.mSocket = fd;
    if (!m.mMasqSourceSet)
        m.mSockAddr = sockaddr_in{};
    if (m.mMasqTtl != 1)
        m.applyTtl();
}

void LineMasqueraderMulticast::onData(const Orlu<LineData>&, const std::string&, const LineData& data)
{
    LineMasqueraderMulticastImpl& m = *mImpl;
    sockaddr_in to = m.mSockAddr;
    if (!m.mMasqSourceSet)
    {
        to = sockaddr_in{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr(data.getSrcHost());
        to.sin_port = htons(static_cast<uint16_t>(data.getSrcPort()));
    }
    if (::sendto(m.mSocket, data.getData(), data.getDataLen(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0)
        m.mLog.error() << "LineMasqueraderMulticast::onData: failed to send message: " << std::strerror(errno);
}

void LineMasqueraderMulticast::setTtl(long ttl)
{
    // Applied whatever the value: going back to 1 must undo an earlier TTL.
    mImpl->mMasqTtl = ttl;
    mImpl->applyTtl();
}

long LineMasqueraderMulticast::getTtl()
{
    return mImpl->mMasqTtl;
}

void LineMasqueraderMulticast::setSource(const std::string& group, long port)
{
    LineMasqueraderMulticastImpl& m = *mImpl;
    m.mMasqGroup = group;
    m.mMasqService = std::to_string(port);
    m.mSockAddr = sockaddr_in{};
    m.mSockAddr.sin_family = AF_INET;
    m.mSockAddr.sin_addr.s_addr = inet_addr(group.c_str());
    m.mSockAddr.sin_port = htons(static_cast<uint16_t>(port));
    m.mMasqSourceSet = true;
}

void LineMasqueraderMulticast::setInterface(const std::string& interface)
{
    mImpl->mInterface = interface;
    init();
}

int LineMasqueraderMulticast::getSocket() const
{
    return mImpl->mSocket;
}
