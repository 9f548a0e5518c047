// Every framing fed streams in arbitrary chunk sizes through a small ring:
// well-formed streams must come out frame for frame, and arbitrary bytes must
// only ever give checked frames or clear errors (the sanitizers watch for
// reads and writes past a buffer).
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/runtime/FrameworkResource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{
constexpr int32 RING = 300;
constexpr int32 MAX_LEN = 256;
const AppMsgSizeInfo SIZE_INFO{3, BIG_INTEGER16, true, 5, 2};

std::string makeFrame(MsgFormatType format, std::mt19937& rng)
{
    std::uniform_int_distribution<int> bodyLen(0, 200);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string body(static_cast<size_t>(bodyLen(rng)), '\0');
    for (char& c : body)
        c = static_cast<char>(byte(rng));
    switch (format)
    {
    case MSG_FORMAT_QUOR:
    {
        std::string h(10, '\x5a');
        const auto size = static_cast<uint16_t>(body.size());
        std::memcpy(h.data(), &size, 2);
        return h + body;
    }
    case MSG_FORMAT_FIX:
        // A body's last field ends with SOH, as the trailer check expects.
        if (!body.empty())
            body.back() = '\x01';
        return "8=FIXT.1.1\x01" "9=" + std::to_string(body.size()) + "\x01" + body + "10=" +
               std::string(3, static_cast<char>('0' + byte(rng) % 10)) + "\x01";
    case MSG_FORMAT_CUSTOM:
    {
        // 3 bytes, the 2-byte big-endian body size, body, 2-byte trailer.
        std::string h = "abc";
        h += static_cast<char>(body.size() >> 8);
        h += static_cast<char>(body.size() & 0xff);
        return h + body + "TT";
    }
    default:
        return body.empty() ? std::string("r") : body;
    }
}

// What a delivered frame must satisfy whatever bytes came in.
void checkFrame(MsgFormatType format, const std::string& f)
{
    ASSERT_GE(f.size(), 1u);
    ASSERT_LE(f.size(), static_cast<size_t>(MAX_LEN));
    if (format == MSG_FORMAT_QUOR)
    {
        uint16_t size = 0;
        std::memcpy(&size, f.data(), 2);
        EXPECT_EQ(f.size(), size + 10u);
    }
    else if (format == MSG_FORMAT_FIX)
    {
        EXPECT_EQ(f.compare(0, 13, std::string("8=FIXT.1.1\x01" "9=")), 0);
        EXPECT_TRUE(StreamBuffer::validateFixChecksumTag(f.data(), static_cast<int32>(f.size())));
    }
    else if (format == MSG_FORMAT_CUSTOM)
    {
        const int32 size = static_cast<int16_t>((static_cast<unsigned char>(f[3]) << 8) | static_cast<unsigned char>(f[4]));
        EXPECT_EQ(static_cast<int32>(f.size()), size + 7);
    }
}

struct Outcome
{
    std::vector<std::string> frames;
    int32 errors = 0;
    int32 firstError = 0;
};

// Takes the message at the tail as the stream thread does: found in place,
// copied out in slices of random size (the parts of a queue message), then
// skipped. The ring holds it untouched until the skip.
int32 peekAndCopy(StreamBuffer& sb, std::vector<char>& buf, MsgFormatType& f, int32& len, int32& hdr, int32 limit,
                  std::mt19937& rng)
{
    const int32 before = sb.availEntry();
    if (sb.peekMessage(f, MAX_LEN, len, hdr, limit) != 0)
    {
        EXPECT_EQ(sb.availEntry(), before) << "a failed peek takes nothing";
        return -1;
    }
    std::uniform_int_distribution<int32> slice(1, 700);
    for (int32 off = 0; off < len;)
    {
        const int32 n = std::min(slice(rng), len - off);
        sb.copyMessage(off, buf.data() + off, n);
        off += n;
    }
    EXPECT_EQ(sb.availEntry(), before) << "the message stays until it is skipped";
    sb.skipMessage(len);
    EXPECT_EQ(sb.availEntry(), before - len);
    return 0;
}

// Writes the stream in random chunks, cutting after each one as the stream
// thread does (with dequeueMessage, or in place with peek), a framing error
// drains what is readable, as the thread does before closing the connection.
Outcome feed(MsgFormatType format, const std::string& stream, std::mt19937& rng, bool inPlace)
{
    auto res = std::make_unique<TcpConnResource>();
    res->regParam.msgFormat = format;
    res->regParam.appMsgSizeInfo = SIZE_INFO;
    res->usePipeline = false;
    StreamBuffer sb(res.get(), RING, LOW_LATENCY, false);
    std::uniform_int_distribution<size_t> chunk(1, 120);
    std::vector<char> buf(MAX_LEN);
    Outcome out;
    size_t pos = 0;
    while (pos < stream.size() || sb.availEntry() > 0)
    {
        int32 written = 0;
        int32 head = -1;
        if (pos < stream.size())
        {
            const size_t n = std::min(chunk(rng), stream.size() - pos);
            if (sb.enqueue(stream.data() + pos, static_cast<int32>(n), written, head, false) == 0)
                pos += static_cast<size_t>(written);
        }
        // Half the passes are bounded by the head just written, like an event record.
        const int32 limit = (rng() & 1) && written > 0 ? head : -1;
        for (;;)
        {
            MsgFormatType f{};
            int32 len = 0;
            int32 hdr = 0;
            if ((inPlace ? peekAndCopy(sb, buf, f, len, hdr, limit, rng)
                         : sb.dequeueMessage(buf.data(), f, MAX_LEN, len, hdr, limit)) == 0)
            {
                out.frames.emplace_back(buf.data(), static_cast<size_t>(len));
                continue;
            }
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code == BUFFER_EMPTY || code == PARTIAL_MSG_RCVD || code == NOT_ENOUGH_FILLED_ENTRY)
            {
                EXPECT_LE(len, sb.availEntry());
                break;
            }
            ++out.errors;
            out.firstError = out.firstError == 0 ? code : out.firstError;
            sb.reset();
            break;
        }
        if (pos >= stream.size() && sb.availEntry() > 0 && limit == -1)
            break; // a trailing partial frame stays, as on a closed connection
    }
    return out;
}
} // namespace

TEST(FramingRandom, WellFormedStreamsComeOutFrameForFrame)
{
    for (bool inPlace : {false, true})
    {
        for (MsgFormatType format : {MSG_FORMAT_QUOR, MSG_FORMAT_FIX, MSG_FORMAT_CUSTOM})
            for (uint32 seed = 1; seed <= 30; ++seed)
            {
                SCOPED_TRACE(::testing::Message()
                             << "format " << format << " seed " << seed << " in place " << inPlace);
                std::mt19937 rng(seed);
                std::vector<std::string> frames;
                std::string stream;
                for (int i = 0; i < 60; ++i)
                {
                    frames.push_back(makeFrame(format, rng));
                    stream += frames.back();
                }
                const Outcome out = feed(format, stream, rng, inPlace);
                EXPECT_EQ(out.errors, 0) << "first error " << out.firstError;
                ASSERT_EQ(out.frames.size(), frames.size());
                for (size_t i = 0; i < frames.size(); ++i)
                    ASSERT_TRUE(out.frames[i] == frames[i]) << "frame " << i;
            }
    }
}

TEST(FramingRandom, RawStreamsComeOutWhole)
{
    for (bool inPlace : {false, true})
    {
        for (uint32 seed = 1; seed <= 30; ++seed)
        {
            std::mt19937 rng(seed);
            std::string stream(5000, '\0');
            for (char& c : stream)
                c = static_cast<char>(rng());
            const Outcome out = feed(MSG_FORMAT_RAW, stream, rng, inPlace);
            std::string joined;
            for (const std::string& f : out.frames)
                joined += f;
            EXPECT_EQ(joined, stream) << "seed " << seed << " in place " << inPlace;
        }
    }
}

TEST(FramingRandom, ArbitraryBytesGiveCheckedFramesOrErrors)
{
    for (bool inPlace : {false, true})
    {
        for (MsgFormatType format : {MSG_FORMAT_RAW, MSG_FORMAT_QUOR, MSG_FORMAT_FIX, MSG_FORMAT_CUSTOM})
            for (uint32 seed = 1; seed <= 200; ++seed)
            {
                SCOPED_TRACE(::testing::Message()
                             << "format " << format << " seed " << seed << " in place " << inPlace);
                std::mt19937 rng(seed);
                // Valid frames with bytes flipped and garbage spliced in, so that
                // the cuts reach deep into every branch.
                std::string stream;
                for (int i = 0; i < 20; ++i)
                {
                    std::string f = makeFrame(format, rng);
                    if (rng() % 3 == 0)
                        f[rng() % f.size()] = static_cast<char>(rng());
                    if (rng() % 5 == 0)
                        f.insert(rng() % f.size(), std::string(rng() % 40, static_cast<char>(rng())));
                    stream += f;
                }
                const Outcome out = feed(format, stream, rng, inPlace);
                for (const std::string& f : out.frames)
                    checkFrame(format, f);
            }
    }
}
