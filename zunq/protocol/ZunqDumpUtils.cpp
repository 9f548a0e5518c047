#include "zunq/protocol/ZunqDumpUtils.h"

#include <string_view>
#include <type_traits>

namespace
{

// Appends name=value, the separator in front of all but the first field.
class FieldWriter
{
public:
    explicit FieldWriter(char separator) : mSeparator(separator) {}

    FieldWriter& add(const char* name, unsigned long long value) { return add(name, std::to_string(value)); }

    FieldWriter& add(const char* name, const std::string& value)
    {
        if (!mText.empty())
            mText += mSeparator;
        mText += name;
        mText += '=';
        mText += value;
        return *this;
    }

    std::string take() { return std::move(mText); }

private:
    char mSeparator;
    std::string mText;
};

std::string peerText(std::string_view text)
{
    return ZunqDumpUtils::writePeerBytes(text.data(), text.size());
}

// "null" for no record; a message's size and type lead its own fields.
template <typename Record, typename Fields>
std::string dump(const Record* record, char separator, Fields fields)
{
    if (record == nullptr)
        return "null";
    FieldWriter writer(separator);
    if constexpr (!std::is_same_v<Record, Zunq::PacketHeader>)
        writer.add("mMsgSize", record->mMsgSize).add("mMsgType", record->mMsgType);
    fields(writer, *record);
    return writer.take();
}

} // namespace

std::string ZunqDumpUtils::writeStructToString(const Zunq::PacketHeader* record, const char& separator)
{
    return dump(record, separator, [](FieldWriter& w, const Zunq::PacketHeader& r) {
        w.add("mPktSize", r.mPktSize).add("mMsgCount", r.mMsgCount).add("mSeqNum", r.mSeqNum).add("mSendTime", r.mSendTime);
    });
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::Logon* record, const char& separator)
{
    return dump(record, separator,
                [](FieldWriter& w, const Zunq::Logon& r) { w.add("mUsername", peerText(Zunq::logonUsername(r))); });
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::LogonResponse* record, const char& separator)
{
    return dump(record, separator,
                [](FieldWriter& w, const Zunq::LogonResponse& r) { w.add("mSessionStatus", r.mSessionStatus); });
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::RetransmissionRequest* record, const char& separator)
{
    return dump(record, separator, [](FieldWriter& w, const Zunq::RetransmissionRequest& r) {
        w.add("mChannelId", r.mChannelId).add("mBeginSeqNum", r.mBeginSeqNum).add("mEndSeqNum", r.mEndSeqNum);
    });
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::RetransmissionResponse* record, const char& separator)
{
    return dump(record, separator, [](FieldWriter& w, const Zunq::RetransmissionResponse& r) {
        w.add("mChannelId", r.mChannelId)
            .add("mRetransStatus", r.mRetransStatus)
            .add("mBeginSeqNum", r.mBeginSeqNum)
            .add("mEndSeqNum", r.mEndSeqNum);
    });
}

std::string ZunqDumpUtils::dumpBaseToStringLg(const char* bytes, const char& separator, std::size_t length)
{
    if (bytes == nullptr)
        return "null";
    FieldWriter writer(separator);
    writer.add("length", length).add("bytes", writePeerBytes(bytes, length));
    return writer.take();
}

std::string ZunqDumpUtils::writePeerBytes(const char* data, std::size_t length)
{
    static const char cHex[] = "0123456789ABCDEF";
    std::string text;
    if (data == nullptr)
        length = 0;
    const std::size_t shown = length > cPeerBytesSample ? cPeerBytesSample : length;
    text.reserve(shown * 4 + 24);
    for (std::size_t i = 0; i < shown; ++i)
    {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte >= 0x20 && byte < 0x7F)
        {
            text += static_cast<char>(byte);
        }
        else
        {
            text += "\\x";
            text += cHex[byte >> 4];
            text += cHex[byte & 0x0F];
        }
    }
    if (shown < length)
        text += "...(" + std::to_string(length) + " bytes)";
    return text;
}
