#include "zunq/config/CfgEntry.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

CfgEntry::CfgEntry(std::string name, std::string file, int line)
    : mName(std::move(name)), mFile(std::move(file)), mLine(line)
{
}

std::string CfgEntry::where() const
{
    return mFile + ":" + std::to_string(mLine);
}

bool CfgEntry::getValue(Cursor& c, std::string& value) const
{
    if (noMoreValues(c))
        return false;
    value = mValues[c.index++];
    return true;
}

bool CfgEntry::getValue(Cursor& c, long& value) const
{
    if (noMoreValues(c))
        return false;
    return parseLong(mValues[c.index++], value);
}

bool CfgEntry::getValue(std::string& value) const
{
    if (mValues.empty())
        return false;
    value = mValues.back();
    return true;
}

bool CfgEntry::getValue(long& value) const
{
    return !mValues.empty() && parseLong(mValues.back(), value);
}

const CfgEntry* CfgEntry::getChild(const std::string& name) const
{
    for (auto it = mChildren.rbegin(); it != mChildren.rend(); ++it)
        if ((*it)->mName == name)
            return it->get();
    return nullptr;
}

const CfgEntry* CfgEntry::nextChild(Cursor& c) const
{
    if (noMoreChildren(c))
        return nullptr;
    return mChildren[c.index++].get();
}

void CfgEntry::addText(const std::string& raw)
{
    mRawValue = raw;
    std::string value = trim(raw);
    if (!value.empty())
        mValues.push_back(std::move(value));
}

void CfgEntry::addChild(std::unique_ptr<CfgEntry> child)
{
    mChildView.push_back(child.get());
    mChildren.push_back(std::move(child));
}

std::string CfgEntry::trim(const std::string& text)
{
    const char* space = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

bool CfgEntry::parseLong(const std::string& text, long& value)
{
    const std::string t = trim(text);
    if (t.empty())
        return false;
    std::size_t pos = 0;
    bool negative = false;
    if (t[pos] == '+' || t[pos] == '-')
        negative = t[pos++] == '-';
    int base = 10;
    if (t.size() - pos > 2 && t[pos] == '0' && (t[pos + 1] == 'x' || t[pos + 1] == 'X'))
    {
        base = 16;
        pos += 2;
    }
    // Leading zeros stay decimal: "0900" is nine hundred, not an octal error.
    const std::string digits = t.substr(pos);
    if (digits.empty())
        return false;
    for (char ch : digits)
    {
        const bool ok = base == 10 ? (ch >= '0' && ch <= '9') : std::isxdigit(static_cast<unsigned char>(ch));
        if (!ok)
            return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), &end, base);
    if (errno == ERANGE || *end != '\0')
        return false;
    const auto longMax = static_cast<unsigned long long>(std::numeric_limits<long>::max());
    // A hexadecimal number may use all 64 bits: it is a bit mask (CPU affinity).
    const unsigned long long limit = negative     ? longMax + 1
                                     : base == 16 ? std::numeric_limits<unsigned long>::max()
                                                  : longMax;
    if (magnitude > limit)
        return false;
    value = negative ? static_cast<long>(0ULL - magnitude) : static_cast<long>(magnitude);
    return true;
}
