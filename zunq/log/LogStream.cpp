#include "zunq/log/LogStream.h"

#include "zunq/log/Log.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace
{

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

LogStream::LogStream(Log* log, LogLevels level)
    : mLog(log != nullptr && log->enabled(level) ? log : nullptr)
    , mLevel(level)
{
}

LogStream::~LogStream()
{
    if (mLog != nullptr && mLength > 0)
        mLog->print(mLevel, mBuffer, mLength);
}

LogStream& LogStream::operator<<(std::string_view text)
{
    if (mLog == nullptr || mFull)
        return *this;
    std::size_t room = cCapacity - mLength;
    std::size_t take = text.size();
    if (take > room)
    {
        // Cut before a multi-byte character rather than through it.
        take = room;
        while (take > 0 && isContinuationByte(text[take]))
            --take;
        mFull = true;
    }
    std::memcpy(mBuffer + mLength, text.data(), take);
    mLength += take;
    return *this;
}

LogStream& LogStream::operator<<(const char* text)
{
    return *this << std::string_view(text != nullptr ? text : "(null)");
}

LogStream& LogStream::operator<<(char character)
{
    appendWhole(&character, 1);
    return *this;
}

LogStream& LogStream::operator<<(bool value)
{
    if (value)
        appendWhole("true", 4);
    else
        appendWhole("false", 5);
    return *this;
}

LogStream& LogStream::operator<<(double value)
{
    if (mLog == nullptr || mFull)
        return *this;
    char digits[64];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    if (ec == std::errc())
        appendWhole(digits, static_cast<std::size_t>(end - digits));
    return *this;
}

LogStream& LogStream::operator<<(const void* pointer)
{
    if (mLog == nullptr || mFull)
        return *this;
    char digits[2 + 2 * sizeof(void*)] = {'0', 'x'};
    auto [end, ec] = std::to_chars(digits + 2, digits + sizeof digits,
                                   reinterpret_cast<std::uintptr_t>(pointer), 16);
    if (ec == std::errc())
        appendWhole(digits, static_cast<std::size_t>(end - digits));
    return *this;
}

LogStream& LogStream::appendSigned(long long value)
{
    if (mLog == nullptr || mFull)
        return *this;
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    if (ec == std::errc())
        appendWhole(digits, static_cast<std::size_t>(end - digits));
    return *this;
}

LogStream& LogStream::appendUnsigned(unsigned long long value)
{
    if (mLog == nullptr || mFull)
        return *this;
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    if (ec == std::errc())
        appendWhole(digits, static_cast<std::size_t>(end - digits));
    return *this;
}

void LogStream::appendWhole(const char* piece, std::size_t length)
{
    if (mLog == nullptr || mFull)
        return;
    if (length > cCapacity - mLength)
    {
        mFull = true;
        return;
    }
    std::memcpy(mBuffer + mLength, piece, length);
    mLength += length;
}
