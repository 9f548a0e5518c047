// NORM through its own API in the messaging comparison: one stream, each
// message written whole and flushed with an end-of-message mark, so a
// message leaves at once at any rate.
//
//   msl_bench_norm --role pub|sub --iface IFNAME --group G --port P
//                  --size BYTES --count N --rate MSG_PER_S (0: as fast as
//                  the stream takes them) --tx-bps BITS_PER_S --warm MS
//
// A subscriber prints "READY" once started and "RESULT ..." after the N-th
// message or at SIGTERM.
#include "PeerCommon.h"

#include <normApi.h>

#include <csignal>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace
{
volatile std::sig_atomic_t g_stop = 0;
void onTerm(int) { g_stop = 1; }

// The next event, or false after a fifth of a second without one.
bool nextEvent(NormInstanceHandle inst, NormEvent& e)
{
    pollfd p{NormGetDescriptor(inst), POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0)
        return false;
    return NormGetNextEvent(inst, &e, true);
}
} // namespace

int main(int argc, char** argv)
{
    const peer::Options o(argc, argv);
    const bool pub = o.str("role", "sub") == "pub";
    const long size = std::max<long>(static_cast<long>(peer::STAMP), o.num("size", 64));
    const long count = o.num("count", 10000);
    const long rate = o.num("rate", 0);
    std::signal(SIGTERM, onTerm);
    std::signal(SIGINT, onTerm);

    NormInstanceHandle inst = NormCreateInstance(false);
    NormSessionHandle session = NormCreateSession(inst, o.str("group", "239.192.1.2").c_str(),
                                                  static_cast<UINT16>(o.num("port", 6003)),
                                                  static_cast<NormNodeId>(::getpid()));
    if (session == NORM_SESSION_INVALID)
    {
        std::printf("SESSION_ERROR\n");
        return 1;
    }
    NormSetMulticastInterface(session, o.str("iface", "lo").c_str());
    NormSetTTL(session, 1);
    // Every process has a namespace of its own: no local loopback needed.
    NormSetMulticastLoopback(session, o.num("mloop", 0) != 0);
    // Round trips on one host are well under a millisecond: the default
    // estimate (half a second) would hold every repair back.
    NormSetGrttEstimate(session, 0.001);
    NormSetGrttMax(session, 0.1);
    NormSetRxSocketBuffer(session, 8 << 20);
    NormSetTxSocketBuffer(session, 8 << 20);
    const UINT16 segment = static_cast<UINT16>(std::max<long>(size, 64));
    if (pub)
    {
        NormSetCongestionControl(session, false);
        NormSetTxRate(session, static_cast<double>(o.num("tx-bps", 1000000000)));
        if (!NormStartSender(session, static_cast<NormSessionId>(::getpid() & 0xffff), 64u << 20, segment, 64, 0))
        {
            std::printf("SENDER_ERROR\n");
            return 1;
        }
        NormObjectHandle stream = NormStreamOpen(session, static_cast<UINT32>(o.num("stream-bytes", 1 << 20)));
        std::this_thread::sleep_for(std::chrono::milliseconds(o.num("warm", 2000)));
        std::vector<char> buf(static_cast<size_t>(size));
        const uint64_t start = peer::nowNs();
        uint64_t sent = 0;
        for (uint64_t i = 1; i <= static_cast<uint64_t>(count) && !g_stop; ++i)
        {
            peer::pace(start, rate, i);
            peer::stamp(buf.data(), i);
            unsigned done = 0;
            while (done < buf.size() && !g_stop)
            {
                done += NormStreamWrite(stream, buf.data() + done, static_cast<unsigned>(buf.size() - done));
                if (done < buf.size())
                {
                    NormEvent e;
                    nextEvent(inst, e); // wait for vacancy
                }
            }
            NormStreamFlush(stream, true, NORM_FLUSH_PASSIVE);
            ++sent;
        }
        peer::reportSent(sent, start);
        NormEvent e;
        while (!g_stop)
            nextEvent(inst, e); // repairs go on
        NormStreamClose(stream, false);
        NormStopSender(session);
    }
    else
    {
        NormSetDefaultSyncPolicy(session, NORM_SYNC_STREAM);
        if (!NormStartReceiver(session, 64u << 20))
        {
            std::printf("RECEIVER_ERROR\n");
            return 1;
        }
        std::printf("READY\n");
        std::fflush(stdout);
        peer::Receiver r(count);
        std::vector<char> msg(static_cast<size_t>(size));
        unsigned have = 0;
        bool finished = false;
        NormEvent e;
        while (!g_stop && !finished)
        {
            if (!nextEvent(inst, e) || e.type != NORM_RX_OBJECT_UPDATED)
                continue;
            for (;;)
            {
                unsigned n = static_cast<unsigned>(msg.size()) - have;
                if (!NormStreamRead(e.object, msg.data() + have, &n))
                {
                    // A break in the stream: what is lost is lost; start at the next message.
                    have = 0;
                    if (NormStreamSeekMsgStart(e.object))
                        continue;
                    break; // no message start yet: wait for more
                }
                if (n == 0)
                    break;
                have += n;
                if (have == msg.size())
                {
                    have = 0;
                    if (r.onMessage(msg.data(), msg.size()))
                    {
                        finished = true;
                        break;
                    }
                }
            }
        }
        r.report();
        while (!g_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        NormStopReceiver(session);
    }
    NormDestroySession(session);
    NormDestroyInstance(inst);
    return 0;
}
