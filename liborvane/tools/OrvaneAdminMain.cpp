// orvane_admin: one admin request through the relay hub. It connects to the
// hub, sends one record (subject, method, interface, arguments joined by tabs,
// reply subject), prints the argument text of every record that comes back
// under its reply subject, one per line, and exits:
//   0  at least one reply came;
//   1  none came within the time-out;
//   2  a usage error, or the hub could not be reached or closed the line.
// The hub relays every record to every peer: what others send passes by and
// is ignored.
#include "kelmora/thread/OrvaneIpcMsg.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

const char* const cUsage =
    "usage: orvane_admin [options] <subject> [<arg> ...]\n"
    "  --host <address>        the hub's address (default 127.0.0.1)\n"
    "  --port <port>           the hub's port (default 13888)\n"
    "  --method <name>         the method field (default: empty)\n"
    "  --interface <name>      the interface field (default: empty)\n"
    "  --reply-subject <text>  the subject replies come back under\n"
    "                          (default orvane_admin.<pid>)\n"
    "  --timeout <seconds>     how long to wait for the first reply (default 5)\n"
    "  --linger <ms>           after a reply, how long to wait for more (default 300)\n"
    "Sends the request with the args joined by tabs, prints each reply's text.\n"
    "A subject is <base>.<interface>.<method in lower case>, e.g. orvane.rtsd.quit.\n";

int usage(const char* error)
{
    if (error != nullptr)
        std::fprintf(stderr, "orvane_admin: %s\n", error);
    std::fputs(cUsage, stderr);
    return 2;
}

// Copies at most size - 1 bytes of `text` into the zeroed field; false when
// it does not fit.
bool put(char* field, std::size_t size, const std::string& text)
{
    if (text.size() >= size || text.find('\0') != std::string::npos)
        return false;
    std::memcpy(field, text.data(), text.size());
    return true;
}

bool wholeNumber(const char* text, long min, long max, long& out)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        return false;
    out = value;
    return true;
}

int connectTo(const std::string& host, const std::string& port)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
    {
        std::fprintf(stderr, "orvane_admin: cannot resolve %s:%s: %s\n", host.c_str(), port.c_str(),
                     ::gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    int error = 0;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next)
    {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0)
        {
            error = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        std::fprintf(stderr, "orvane_admin: cannot connect to the hub at %s:%s: %s\n", host.c_str(), port.c_str(),
                     std::strerror(error));
    return fd;
}

bool sendAll(int fd, const char* data, std::size_t len)
{
    while (len > 0)
    {
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// The text of a field of a received record, within its size.
std::string text(const char* field, std::size_t size)
{
    return std::string(field, ::strnlen(field, size));
}

} // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1", port = "13888", method, interface;
    std::string replySubject = "orvane_admin." + std::to_string(::getpid());
    long timeoutSeconds = 5, lingerMs = 300;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h")
        {
            std::fputs(cUsage, stdout);
            return 0;
        }
        if (a == "--")
        {
            for (++i; i < argc; ++i)
                words.push_back(argv[i]);
            break;
        }
        if (a.rfind("--", 0) == 0 && words.empty())
        {
            if (!hasValue)
                return usage(("option " + a + " needs a value").c_str());
            const char* v = argv[++i];
            if (a == "--host")
                host = v;
            else if (a == "--port")
                port = v;
            else if (a == "--method")
                method = v;
            else if (a == "--interface")
                interface = v;
            else if (a == "--reply-subject")
                replySubject = v;
            else if (a == "--timeout")
            {
                if (!wholeNumber(v, 1, 3600, timeoutSeconds))
                    return usage("--timeout takes whole seconds from 1 to 3600");
            }
            else if (a == "--linger")
            {
                if (!wholeNumber(v, 0, 60000, lingerMs))
                    return usage("--linger takes whole milliseconds from 0 to 60000");
            }
            else
                return usage(("unknown option " + a).c_str());
            continue;
        }
        words.push_back(a);
    }
    if (words.empty())
        return usage("no subject");

    OrvaneIpcMsg record;
    std::memset(&record, 0, sizeof record);
    std::string args;
    for (std::size_t i = 1; i < words.size(); ++i)
        args += (i > 1 ? "\t" : "") + words[i];
    if (!put(record.mSubject, sizeof record.mSubject, words[0]))
        return usage("the subject is longer than 99 bytes");
    if (replySubject.empty() || !put(record.mReplySubject, sizeof record.mReplySubject, replySubject))
        return usage("the reply subject must be 1 to 49 bytes");
    if (!put(record.mArgs, sizeof record.mArgs, args))
        return usage("the arguments are longer than 1199 bytes");
    if (!put(record.mKeshName, sizeof record.mKeshName, interface))
        return usage("the interface is longer than 49 bytes");
    if (!put(record.mMethod, sizeof record.mMethod, method))
        return usage("the method is longer than 49 bytes");

    const int fd = connectTo(host, port);
    if (fd < 0)
        return 2;
    if (!sendAll(fd, reinterpret_cast<const char*>(&record), sizeof record))
    {
        std::fprintf(stderr, "orvane_admin: sending to the hub failed: %s\n", std::strerror(errno));
        ::close(fd);
        return 2;
    }

    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    int replies = 0;
    char buffer[sizeof(OrvaneIpcMsg)];
    std::size_t have = 0;
    int status = 1;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
        {
            status = replies > 0 ? 0 : 1;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer + have, sizeof buffer - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            std::fprintf(stderr, "orvane_admin: the hub closed the connection\n");
            status = replies > 0 ? 0 : 2;
            break;
        }
        have += static_cast<std::size_t>(n);
        if (have < sizeof buffer)
            continue;
        have = 0;
        const auto* got = reinterpret_cast<const OrvaneIpcMsg*>(buffer);
        if (text(got->mSubject, sizeof got->mSubject) != replySubject)
            continue;
        std::printf("%s\n", text(got->mArgs, sizeof got->mArgs).c_str());
        std::fflush(stdout);
        ++replies;
        deadline = Clock::now() + std::chrono::milliseconds(lingerMs);
    }
    ::close(fd);
    if (status == 1)
        std::fprintf(stderr, "orvane_admin: no reply within %ld s (is a process listening on %s?)\n", timeoutSeconds,
                     words[0].c_str());
    return status;
}
