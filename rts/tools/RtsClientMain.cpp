// rts_client --port <port> --user <name> --channel <id> --from <first> --to <last>
//            [--wait <seconds>]
// Logs on to a retransmission server on 127.0.0.1, requests the range and prints the
// logon status, the response status and one line per message received
// (sequence number, size, type, bytes in hex). Exit code 0 when the request
// was accepted and every message arrived, 1 otherwise, 2 on bad arguments.
#include "rts/tests/support/RtsTestClient.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace
{

int usage()
{
    std::fprintf(stderr, "usage: rts_client --port <port> --user <name> --channel <id> --from <first> --to <last> "
                         "[--wait <seconds>]\n");
    return 2;
}

bool number(const std::string& text, unsigned long highest, unsigned long& value)
{
    char* end = nullptr;
    if (text.empty() || text[0] == '-')
        return false;
    value = std::strtoul(text.c_str(), &end, 10);
    return *end == '\0' && value <= highest;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace rtstest;
    std::map<std::string, std::string> args{{"--wait", "5"}};
    for (int i = 1; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    if (argc % 2 == 0)
        return usage();
    unsigned long port = 0, channel = 0, from = 0, to = 0, wait = 0;
    if (!args.count("--user") || !number(args["--port"], 65535, port) || !number(args["--channel"], 65535, channel)
        || !number(args["--from"], UINT32_MAX, from) || !number(args["--to"], UINT32_MAX, to)
        || !number(args["--wait"], 3600, wait))
        return usage();
    const std::chrono::milliseconds timeout(wait * 1000);

    Client client;
    if (!client.connect(static_cast<int>(port), timeout) || !client.send(logon(args["--user"])))
    {
        std::printf("cannot connect to 127.0.0.1:%lu\n", port);
        return 1;
    }
    std::optional<Packet> p = client.read(timeout);
    std::printf("logon status %d\n", p ? p->logonStatus() : -1);
    if (!p || p->logonStatus() != 0)
        return 1;
    client.send(request(static_cast<std::uint16_t>(channel), static_cast<std::uint32_t>(from),
                        static_cast<std::uint32_t>(to)));
    unsigned long expected = from, received = 0;
    int status = -1;
    while ((p = client.read(timeout)))
    {
        if (p->isHeartbeat())
        {
            client.send(heartbeatEcho(p->seq));
            continue;
        }
        if (p->type() == 202)
        {
            status = p->retransStatus();
            std::printf("response status %d for %u to %u\n", status, p->begin(), p->end());
            if (status != 0)
                break;
            to = p->end(); // an end of 0 may be answered with the last number
            continue;
        }
        std::uint32_t seq = p->seq;
        for (const Message& m : p->messages)
        {
            std::printf("%u %zu %04x ", seq++, m.bytes.size(), m.type);
            for (unsigned char c : m.bytes)
                std::printf("%02x", c);
            std::printf("\n");
            ++received;
        }
        if (seq > to)
            break;
    }
    const bool complete = status == 0 && received == to - expected + 1;
    std::printf("%lu messages\n", received);
    return complete ? 0 : 1;
}
