#include "zunq/protocol/ZunqDumpUtils.h"

#include <string_view>

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

const char* const cNull = "null";

} // namespace

std::string ZunqDumpUtils::writeStructToString(const Zunq::PacketHeader* record, const char& separator)
{
    if (record == nullptr)
        return cNull;
    return FieldWriter(separator)
        .add("mPktSize", record->mPktSize)
        .add("mMsgCount", record->mMsgCount)
        .add("mSeqNum", record->mSeqNum)
        .add("mSendTime", record->mSendTime)
        .take();
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::Logon* record, const char& separator)
{
    if (record == nullptr)
        return cNull;
    return FieldWriter(separator)
        .add("mMsgSize", record->mMsgSize)
        .add("mMsgType", record->mMsgType)
        .add("mUsername", peerText(Zunq::logonUsername(*record)))
        .take();
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::LogonResponse* record, const char& separator)
{
    if (record == nullptr)
        return cNull;
    return FieldWriter(separator)
        .add("mMsgSize", record->mMsgSize)
        .add("mMsgType", record->mMsgType)
        .add("mSessionStatus", record->mSessionStatus)
        .take();
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::RetransmissionRequest* record, const char& separator)
{
    if (record == nullptr)
        return cNull;
    return FieldWriter(separator)
        .add("mMsgSize", record->mMsgSize)
        .add("mMsgType", record->mMsgType)
        .add("mChannelId", record->mChannelId)
        .add("mBeginSeqNum", record->mBeginSeqNum)
        .add("mEndSeqNum", record->mEndSeqNum)
        .take();
}

std::string ZunqDumpUtils::writeStructToString(const Zunq::RetransmissionResponse* record, const char& separator)
{
    if (record == nullptr)
        return cNull;
    return FieldWriter(separator)
        .add("mMsgSize", record->mMsgSize)
        .add("mMsgType", record->mMsgType)
        .add("mChannelId", record->mChannelId)
        .add("mRetransStatus", record->mRetransStatus)
        .add("mBeginSeqNum", record->mBeginSeqNum)
        .add("mEndSeqNum", record->mEndSeqNum)
        .take();
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
