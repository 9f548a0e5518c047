// ZeroMQ PUB/SUB over PGM (epgm://) in the messaging comparison.
//
//   msl_bench_zmq --role pub|sub --iface LOCAL_ADDR --group G --port P
//                 --size BYTES --count N --rate MSG_PER_S (0: as fast as it
//                 takes them) --rate-kbit PGM_RATE --warm MS
//
// PUB/SUB has no handshake: the publisher waits --warm ms after connecting
// for the receivers to hear its session, then sends. A subscriber prints
// "READY" once connected and "RESULT ..." after the N-th message or at
// SIGTERM.
#include "PeerCommon.h"

#include <zmq.h>

#include <csignal>
#include <thread>

namespace
{
volatile std::sig_atomic_t g_stop = 0;
void onTerm(int) { g_stop = 1; }

void setInt(void* s, int option, int value)
{
    if (zmq_setsockopt(s, option, &value, sizeof value) != 0)
        std::fprintf(stderr, "zmq_setsockopt %d: %s\n", option, zmq_strerror(zmq_errno()));
}
} // namespace

int main(int argc, char** argv)
{
    const peer::Options o(argc, argv);
    const bool pub = o.str("role", "sub") == "pub";
    const long size = std::max<long>(static_cast<long>(peer::STAMP), o.num("size", 64));
    const long count = o.num("count", 10000);
    const long rate = o.num("rate", 0);
    const std::string endpoint = "epgm://" + o.str("iface", "lo") + ";" + o.str("group", "239.192.1.1") + ":" +
                                 o.str("port", "5555");
    std::signal(SIGTERM, onTerm);
    std::signal(SIGINT, onTerm);

    void* ctx = zmq_ctx_new();
    void* s = zmq_socket(ctx, pub ? ZMQ_PUB : ZMQ_SUB);
    // The default PGM rate (100 kbit/s) would cap both runs; a loopback
    // link takes far more. Recovery keeps a few seconds of data for repairs.
    setInt(s, ZMQ_RATE, static_cast<int>(o.num("rate-kbit", 1000000)));
    setInt(s, ZMQ_RECOVERY_IVL, static_cast<int>(o.num("recovery-ms", 1000)));
    setInt(s, ZMQ_MULTICAST_HOPS, 1);
    setInt(s, ZMQ_SNDHWM, 0);
    setInt(s, ZMQ_RCVHWM, 0);
    setInt(s, ZMQ_SNDBUF, 8 << 20);
    setInt(s, ZMQ_RCVBUF, 8 << 20);
    setInt(s, ZMQ_LINGER, 0);
    if (!pub)
    {
        zmq_setsockopt(s, ZMQ_SUBSCRIBE, "", 0);
        setInt(s, ZMQ_RCVTIMEO, 200);
    }
    if (zmq_connect(s, endpoint.c_str()) != 0)
    {
        std::printf("CONNECT_ERROR %s: %s\n", endpoint.c_str(), zmq_strerror(zmq_errno()));
        return 1;
    }
    if (pub)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.num("warm", 2000)));
        std::vector<char> buf(static_cast<size_t>(size));
        const uint64_t start = peer::nowNs();
        uint64_t sent = 0;
        for (uint64_t i = 1; i <= static_cast<uint64_t>(count) && !g_stop; ++i)
        {
            peer::pace(start, rate, i);
            peer::stamp(buf.data(), i);
            while (zmq_send(s, buf.data(), buf.size(), 0) < 0 && zmq_errno() == EINTR && !g_stop)
            {
            }
            ++sent;
        }
        peer::reportSent(sent, start);
        // Stay for the receivers' repair requests until told to stop.
        while (!g_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    else
    {
        std::printf("READY\n");
        std::fflush(stdout);
        peer::Receiver r(count);
        std::vector<char> buf(static_cast<size_t>(size) + 64);
        while (!g_stop)
        {
            const int n = zmq_recv(s, buf.data(), buf.size(), 0);
            if (n < 0)
                continue;
            if (r.onMessage(buf.data(), static_cast<size_t>(n)))
                break;
        }
        r.report();
        while (!g_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    zmq_close(s);
    zmq_ctx_term(ctx);
    return 0;
}
