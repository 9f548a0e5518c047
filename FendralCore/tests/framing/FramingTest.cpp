// The four stream framings cut from a real StreamBuffer: frames that wrap
// the ring end, incomplete frames that must leave the ring untouched, and
// hostile length fields that must be refused without reading or writing past
// a buffer.
#include "FendralCore/runtime/FramingFields.h"
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/runtime/FrameworkResource.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
const std::string SOH(1, '\x01');

// A channel record with only what the framings read.
std::unique_ptr<TcpConnResource> channel(MsgFormatType format, AppMsgSizeInfo sizeInfo = {})
{
    auto res = std::make_unique<TcpConnResource>();
    res->regParam.msgFormat = format;
    res->regParam.appMsgSizeInfo = sizeInfo;
    res->usePipeline = false;
    return res;
}

void put(StreamBuffer& sb, const std::string& bytes)
{
    int32 written = -1;
    ASSERT_EQ(sb.enqueue(bytes.data(), static_cast<int32>(bytes.size()), written, true), 0);
    ASSERT_EQ(written, static_cast<int32>(bytes.size()));
}

// Moves head and tail to pos so that the next frame starts there.
void rotateTo(StreamBuffer& sb, int32 pos)
{
    if (pos == 0)
        return;
    std::string filler(static_cast<size_t>(pos), 'z');
    put(sb, filler);
    std::vector<char> buf(static_cast<size_t>(pos) + 1);
    int32 n = 0;
    ASSERT_EQ(sb.dequeue(buf.data(), pos, n, true), 0);
}

struct Cut
{
    int32 rc;
    int32 code;
    int32 msgLen;
    int32 hdrLen;
    std::string msg;
};

Cut cut(StreamBuffer& sb, int32 maxLen = 4096, int32 headLimit = -1)
{
    std::vector<char> buf(static_cast<size_t>(maxLen));
    MsgFormatType fmt = static_cast<MsgFormatType>(-1);
    Cut c{};
    FrameworkErrno::m_fwErrno = 0;
    c.rc = sb.dequeueMessage(buf.data(), fmt, maxLen, c.msgLen, c.hdrLen, headLimit);
    c.code = c.rc == 0 ? 0 : FrameworkErrno::m_fwErrno;
    if (c.rc == 0)
        c.msg.assign(buf.data(), static_cast<size_t>(c.msgLen));
    return c;
}

std::string quor(const std::string& body, uint64 seq = 7)
{
    std::string h(10, '\0');
    const auto size = static_cast<uint16_t>(body.size());
    std::memcpy(h.data(), &size, 2);
    std::memcpy(h.data() + 2, &seq, 8);
    return h + body;
}

std::string fix(const std::string& body, const std::string& lenText = "", const std::string& checksum = "123")
{
    const std::string len = lenText.empty() ? std::to_string(body.size()) : lenText;
    return "8=FIXT.1.1" + SOH + "9=" + len + SOH + body + "10=" + checksum + SOH;
}
} // namespace

TEST(Framing, RawHandsOutEverythingReadableUpToCapacity)
{
    auto res = channel(MSG_FORMAT_RAW);
    StreamBuffer sb(res.get(), 16, LOW_LATENCY, false);
    rotateTo(sb, 12);
    put(sb, "abcdefghij"); // wraps the end
    Cut c = cut(sb, 4);
    EXPECT_EQ(c.msg, "abcd");
    c = cut(sb);
    EXPECT_EQ(c.msg, "efghij");
    EXPECT_EQ(cut(sb).code, BUFFER_EMPTY);
}

TEST(Framing, QuorFramesIncludingHeaderAcrossTheRingEnd)
{
    auto res = channel(MSG_FORMAT_QUOR);
    for (int32 start = 0; start < 40; ++start)
    {
        SCOPED_TRACE(start);
        StreamBuffer sb(res.get(), 40, LOW_LATENCY, false);
        rotateTo(sb, start);
        const std::string a = quor("hello world");
        const std::string b = quor("");
        put(sb, a + b);
        EXPECT_EQ(cut(sb).msg, a);
        EXPECT_EQ(cut(sb).msg, b);
        EXPECT_EQ(cut(sb).code, BUFFER_EMPTY);
    }
}

TEST(Framing, IncompleteFramesLeaveTheRingUntouched)
{
    const AppMsgSizeInfo be16{2, BIG_UNSIGNED_INTEGER16, false, 0, 0};
    struct Case
    {
        const char* name;
        MsgFormatType format;
        std::string frame;
        int32 incompleteCode;
    };
    const Case cases[] = {
        {"quor", MSG_FORMAT_QUOR, quor("0123456789abcdef"), PARTIAL_MSG_RCVD},
        {"fix", MSG_FORMAT_FIX, fix("35=A" + SOH + "49=X" + SOH), NOT_ENOUGH_FILLED_ENTRY},
        {"custom", MSG_FORMAT_CUSTOM, std::string("ab\x00\x0a", 4) + "012345", PARTIAL_MSG_RCVD},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        auto res = channel(k.format, be16);
        StreamBuffer sb(res.get(), 64, LOW_LATENCY, false);
        for (size_t have = 1; have < k.frame.size(); ++have)
        {
            put(sb, k.frame.substr(have - 1, 1));
            const Cut c = cut(sb);
            ASSERT_EQ(c.code, k.incompleteCode) << have;
            EXPECT_EQ(c.msgLen, static_cast<int32>(have));
            EXPECT_EQ(sb.availEntry(), static_cast<int32>(have));
        }
        put(sb, k.frame.substr(k.frame.size() - 1));
        EXPECT_EQ(cut(sb).msg, k.frame);
        EXPECT_EQ(sb.availEntry(), 0);
    }
}

TEST(Framing, HeadLimitStopsAFrameAtTheAnnouncedBytes)
{
    auto res = channel(MSG_FORMAT_QUOR);
    StreamBuffer sb(res.get(), 64, LOW_LATENCY, false);
    const std::string a = quor("first");
    int32 written = 0;
    int32 headAfterA = 0;
    ASSERT_EQ(sb.enqueue(a.data(), static_cast<int32>(a.size()), written, headAfterA, true), 0);
    put(sb, quor("second"));
    EXPECT_EQ(cut(sb, 4096, headAfterA).msg, a);
    EXPECT_EQ(cut(sb, 4096, headAfterA).code, BUFFER_EMPTY);
    EXPECT_EQ(cut(sb).msg, quor("second"));
}

// Every length field read from the wire is checked before use.
TEST(Framing, OversizedFramesAreRefusedAndTheCacheCleared)
{
    auto res = channel(MSG_FORMAT_QUOR);
    {
        // Larger than the caller's buffer.
        StreamBuffer sb(res.get(), 200, LOW_LATENCY, false);
        put(sb, quor(std::string(50, 'x')));
        Cut c = cut(sb, 59);
        EXPECT_EQ(c.code, MSG_TOO_LARGE);
        EXPECT_EQ(sb.availEntry(), 60);
        EXPECT_EQ(cut(sb, 60).msg, quor(std::string(50, 'x')));
    }
    {
        // Larger than the ring: it could never complete, so waiting would
        // stall the channel for good.
        StreamBuffer sb(res.get(), 100, LOW_LATENCY, false);
        std::string header = quor(std::string(65535, 'x')).substr(0, 10);
        put(sb, header);
        EXPECT_EQ(cut(sb, 70000).code, MSG_TOO_LARGE);
    }
    {
        auto fixRes = channel(MSG_FORMAT_FIX);
        StreamBuffer sb(fixRes.get(), 100, LOW_LATENCY, false);
        put(sb, "8=FIXT.1.1" + SOH + "9=99999999999999999999999999" + SOH);
        EXPECT_EQ(cut(sb, 1 << 20).code, MSG_TOO_LONG);
        StreamBuffer sb2(fixRes.get(), 100, LOW_LATENCY, false);
        put(sb2, fix("35=0" + SOH));
        EXPECT_EQ(cut(sb2, 20).code, MSG_TOO_LONG);
    }
}

TEST(Framing, FixMessagesAndTheirRefusals)
{
    auto res = channel(MSG_FORMAT_FIX);
    struct Case
    {
        const char* name;
        std::string bytes;
        int32 code;     // 0: delivered whole
        int32 hdrLen;
    };
    const std::string body = "35=A" + SOH + "49=S" + SOH;
    const Case cases[] = {
        {"plain", fix(body), 0, 16},
        {"body length 0", fix("", "0"), 0, 15},
        {"letters in the checksum", fix(body, "", "abc"), 0, 16},
        {"blank and plus before the length", fix(body, " +10"), 0, 18},
        {"negative length", fix(body, "-10"), INVALID_MSG_FORMAT, 0},
        {"empty length", "8=FIXT.1.1" + SOH + "9=" + SOH + "10=000" + SOH, INVALID_MSG_FORMAT, 0},
        {"wrong prefix", "8=FIX.4.4" + SOH + "9=5" + SOH + "35=0" + SOH + "10=000" + SOH, INVALID_MSG_FORMAT, 0},
        {"no SOH before the trailer", "8=FIXT.1.1" + SOH + "9=5" + SOH + "35=0X10=000" + SOH, INVALID_MSG_FORMAT, 0},
        {"no SOH at the end", fix(body).substr(0, fix(body).size() - 1) + "X", INVALID_MSG_FORMAT, 0},
        {"101 length characters", "8=FIXT.1.1" + SOH + "9=" + std::string(101, '1'), INVALID_MSG_FORMAT, 0},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        StreamBuffer sb(res.get(), 400, LOW_LATENCY, false);
        put(sb, k.bytes);
        const Cut c = cut(sb);
        EXPECT_EQ(c.code, k.code);
        if (k.code == 0)
        {
            EXPECT_EQ(c.msg, k.bytes);
            EXPECT_EQ(c.hdrLen, k.hdrLen);
        }
        else
        {
            EXPECT_EQ(sb.availEntry(), static_cast<int32>(k.bytes.size())) << "a refused frame is not consumed";
        }
    }
}

TEST(Framing, FixWrapsAtEveryOffset)
{
    auto res = channel(MSG_FORMAT_FIX);
    const std::string msg = fix("35=A" + SOH + "58=" + std::string(30, 'q') + SOH);
    for (int32 start = 0; start < 80; ++start)
    {
        SCOPED_TRACE(start);
        StreamBuffer sb(res.get(), 80, LOW_LATENCY, false);
        rotateTo(sb, start);
        put(sb, msg);
        const Cut c = cut(sb);
        ASSERT_EQ(c.code, 0);
        EXPECT_EQ(c.msg, msg);
    }
    // Exactly the 13 prefix bytes, split 5/8 across the end, is incomplete.
    StreamBuffer sb(res.get(), 100, LOW_LATENCY, false);
    rotateTo(sb, 96);
    put(sb, msg.substr(0, 13));
    EXPECT_EQ(cut(sb).code, NOT_ENOUGH_FILLED_ENTRY);
    put(sb, msg.substr(13, 3));
    EXPECT_EQ(cut(sb).code, NOT_ENOUGH_FILLED_ENTRY);
    put(sb, msg.substr(16));
    EXPECT_EQ(cut(sb).msg, msg);
}

TEST(Framing, CustomSizeFieldTypesAndWidths)
{
    struct Case
    {
        const char* name;
        AppMsgSizeInfo info;
        std::string bytes; // a whole frame or a refused one
        int32 code;
    };
    const Case cases[] = {
        {"le16 total", {0, INTEGER16, false, 0, 0}, std::string("\x06\x00" "abcd", 6), 0},
        {"be16 at offset", {1, BIG_INTEGER16, false, 0, 0}, std::string("h\x00\x05" "ab", 5), 0},
        {"le32", {0, UNSIGNED_INTEGER32, false, 0, 0}, std::string("\x07\x00\x00\x00" "abc", 7), 0},
        {"be32 body only", {2, BIG_UNSIGNED_INTEGER32, true, 6, 1}, std::string("hh\x00\x00\x00\x02" "bbT", 9), 0},
        {"u16 0x8000 reads negative", {0, UNSIGNED_INTEGER16, false, 0, 0}, std::string("\x00\x80", 2),
         INVALID_MSG_FORMAT},
        {"u32 high bit reads negative", {0, BIG_UNSIGNED_INTEGER32, false, 0, 0}, std::string("\x80\x00\x00\x01", 4),
         INVALID_MSG_FORMAT},
        {"total below the field's end", {2, BIG_INTEGER16, false, 0, 0}, std::string("hh\x00\x03", 4),
         INVALID_MSG_FORMAT},
        {"body only still below", {2, BIG_INTEGER16, true, 0, 1}, std::string("hh\x00\x02", 4), INVALID_MSG_FORMAT},
        {"INTEGER64", {0, INTEGER64, false, 0, 0}, std::string(8, '\0'), INVALID_FIELD_TYPE},
        {"STRING", {0, STRING, false, 0, 0}, "12", INVALID_FIELD_TYPE},
        {"negative offset", {-4, INTEGER16, false, 0, 0}, "12", INVALID_FUNC_ARG},
        {"larger than the ring", {0, BIG_INTEGER32, false, 0, 0}, std::string("\x00\x01\x00\x00", 4), MSG_TOO_LARGE},
        {"header sizes overflow 32 bits", {0, BIG_INTEGER32, true, 0x7fffffff, 0x7fffffff},
         std::string("\x7f\xff\xff\xff", 4), MSG_TOO_LARGE},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        auto res = channel(MSG_FORMAT_CUSTOM, k.info);
        StreamBuffer sb(res.get(), 100, LOW_LATENCY, false);
        put(sb, k.bytes);
        const Cut c = cut(sb, 1 << 20);
        EXPECT_EQ(c.code, k.code);
        if (k.code == 0)
            EXPECT_EQ(c.msg, k.bytes);
        else
            EXPECT_EQ(sb.availEntry(), static_cast<int32>(k.bytes.size()));
    }
}

TEST(Framing, CustomSizeFieldStraddlingTheRingEnd)
{
    const AppMsgSizeInfo info{3, BIG_INTEGER32, true, 7, 0};
    auto res = channel(MSG_FORMAT_CUSTOM, info);
    const std::string frame = std::string("hhh\x00\x00\x00\x05", 7) + "bodyB";
    for (int32 start = 0; start < 30; ++start)
    {
        SCOPED_TRACE(start);
        StreamBuffer sb(res.get(), 30, LOW_LATENCY, false);
        rotateTo(sb, start);
        put(sb, frame + frame);
        EXPECT_EQ(cut(sb).msg, frame);
        EXPECT_EQ(cut(sb).msg, frame);
    }
}

TEST(Framing, DispatchErrorsAndTheFixedLengthCut)
{
    StreamBuffer plain(64, LOW_LATENCY, false);
    put(plain, "abcdef");
    EXPECT_EQ(cut(plain).code, RES_TCPCONN_NOT_EXIST);

    auto res = channel(static_cast<MsgFormatType>(9));
    StreamBuffer bad(res.get(), 64, LOW_LATENCY, false);
    put(bad, "abcdef");
    EXPECT_EQ(cut(bad).code, INVALID_MSG_FORMAT);

    char buf[8];
    int32 len = -1;
    EXPECT_EQ(plain.dequeueFixLenMsg(buf, 8, 7, len), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, PARTIAL_MSG_RCVD);
    EXPECT_EQ(len, 6);
    EXPECT_EQ(plain.dequeueFixLenMsg(buf, 8, 9, len), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    ASSERT_EQ(plain.dequeueFixLenMsg(buf, 8, 4, len), 0);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(plain.availEntry(), 2);
}

// In CPU_UTILIZATION mode cutting messages never touches the wake-up
// descriptor (a system call per message): the stream thread takes the
// ring's wake-ups once per pass, before it cuts.
TEST(Framing, CutsLeaveTheWakeUpsToTheStreamThread)
{
    auto res = channel(MSG_FORMAT_QUOR);
    StreamBuffer sb(res.get(), 64, CPU_UTILIZATION, false);
    auto readable = [&] {
        pollfd p{sb.getFileDescriptor(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    put(sb, quor("a"));
    put(sb, quor("b"));
    EXPECT_TRUE(readable());
    EXPECT_EQ(cut(sb).msg, quor("a"));
    EXPECT_EQ(cut(sb).msg, quor("b"));
    EXPECT_EQ(cut(sb).code, BUFFER_EMPTY);
    EXPECT_TRUE(readable()) << "a cut took a wake-up";
    sb.takeWakeUps();
    EXPECT_FALSE(readable());
}

TEST(FramingFields, DecimalParseSaturatesAndStopsAtNonDigits)
{
    struct Case
    {
        const char* text;
        int64 value;
    };
    const Case cases[] = {{"42", 42},  {"  -7", -7}, {"+12x3", 12}, {"abc", 0},
                          {"99999999999999999999999", framing::DECIMAL_CLAMP}};
    for (const Case& k : cases)
        EXPECT_EQ(framing::parseDecimal(k.text, static_cast<int32>(std::strlen(k.text))), k.value) << k.text;
}
