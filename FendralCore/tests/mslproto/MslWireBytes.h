// The tests' own encoder of control records: little-endian fields written at
// the byte offsets of the protocol, independent of the protocol's descriptor.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace msltest
{
class WireBytes
{
public:
    explicit WireBytes(size_t size) : m_bytes(size, '\0') {}

    WireBytes& u32(size_t at, uint32_t v) { return put(at, v); }
    WireBytes& i32(size_t at, int32_t v) { return put(at, v); }
    WireBytes& u64(size_t at, uint64_t v) { return put(at, v); }
    WireBytes& i64(size_t at, int64_t v) { return put(at, v); }
    // Text into a NUL-padded field.
    WireBytes& text(size_t at, const std::string& v)
    {
        std::memcpy(m_bytes.data() + at, v.data(), v.size());
        return *this;
    }

    // The common header: command, time, sender and recipient ids, request
    // id, resend count and length.
    WireBytes& header(uint32_t cmd, int64_t sec, int64_t nsec, const std::string& sender, int32_t senderInst,
                      int32_t senderSite, const std::string& recipient, int32_t recipientInst, int32_t recipientSite,
                      uint32_t rqsId, int32_t resendCount)
    {
        return u32(0, cmd)
            .i64(4, sec)
            .i64(12, nsec)
            .text(20, sender)
            .text(29, recipient)
            .i32(38, senderInst)
            .i32(42, recipientInst)
            .i32(46, senderSite)
            .i32(50, recipientSite)
            .u32(54, rqsId)
            .i32(58, resendCount)
            .u32(62, static_cast<uint32_t>(m_bytes.size()));
    }

    const std::string& str() const { return m_bytes; }

private:
    template <typename T>
    WireBytes& put(size_t at, T v)
    {
        for (size_t i = 0; i < sizeof(T); ++i)
            m_bytes[at + i] = static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
        return *this;
    }

    std::string m_bytes;
};

inline std::string hex(const std::string& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
    {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
} // namespace msltest
