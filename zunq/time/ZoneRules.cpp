#include "zunq/time/ZoneRules.h"

#include <algorithm>
#include <cctype>

namespace
{

constexpr std::int64_t cSecondsPerDay = 86400;
// Instants beyond this many seconds from 1970 are refused: their year would
// not fit a tm.
constexpr std::int64_t cMaxSeconds = 100000000000000LL;

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

std::int64_t floorMod(std::int64_t a, std::int64_t b)
{
    return a - floorDiv(a, b) * b;
}

bool isLeap(std::int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Reads big-endian fields from the zone file, never past its end.
class ByteReader
{
public:
    explicit ByteReader(const std::string& bytes) : mBytes(bytes) {}

    bool has(std::size_t n) const { return mPos <= mBytes.size() && mBytes.size() - mPos >= n; }
    std::size_t pos() const { return mPos; }
    void skip(std::size_t n) { mPos += n; }
    std::uint8_t u8() { return static_cast<std::uint8_t>(mBytes[mPos++]); }
    std::uint32_t u32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | u8();
        return v;
    }
    std::int64_t i64()
    {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v = (v << 8) | u8();
        return static_cast<std::int64_t>(v);
    }
    const char* at(std::size_t pos) const { return mBytes.data() + pos; }
    std::string rest() const { return mBytes.substr(mPos); }

private:
    const std::string& mBytes;
    std::size_t mPos = 0;
};

struct Header
{
    char version = 0;
    std::uint32_t isutcnt = 0, isstdcnt = 0, leapcnt = 0, timecnt = 0, typecnt = 0, charcnt = 0;
};

bool readHeader(ByteReader& in, Header& h)
{
    if (!in.has(44) || std::string(in.at(in.pos()), 4) != "TZif")
        return false;
    in.skip(4);
    h.version = static_cast<char>(in.u8());
    in.skip(15);
    h.isutcnt = in.u32();
    h.isstdcnt = in.u32();
    h.leapcnt = in.u32();
    h.timecnt = in.u32();
    h.typecnt = in.u32();
    h.charcnt = in.u32();
    // Counts far beyond any real zone would only make the size sums below
    // overflow; the file size cap keeps honest ones well inside.
    const std::uint32_t limit = ZoneRules::cMaxFileSize;
    return h.typecnt >= 1 && h.typecnt <= 256 && h.timecnt <= limit && h.charcnt <= limit && h.leapcnt <= limit &&
           h.isutcnt <= limit && h.isstdcnt <= limit;
}

std::size_t blockSize(const Header& h, std::size_t timeSize)
{
    return std::size_t(h.timecnt) * timeSize + h.timecnt + std::size_t(h.typecnt) * 6 + h.charcnt +
           std::size_t(h.leapcnt) * (timeSize + 4) + h.isstdcnt + h.isutcnt;
}

// A cursor over a POSIX TZ text.
class TzText
{
public:
    explicit TzText(const std::string& text) : mText(text) {}
    bool atEnd() const { return mPos >= mText.size(); }
    char peek() const { return atEnd() ? '\0' : mText[mPos]; }
    bool take(char ch)
    {
        if (peek() != ch)
            return false;
        ++mPos;
        return true;
    }
    bool name(std::string& out)
    {
        out.clear();
        if (take('<'))
        {
            while (!atEnd() && peek() != '>')
            {
                const char ch = mText[mPos++];
                if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '+' && ch != '-')
                    return false;
                out += ch;
            }
            return take('>') && !out.empty();
        }
        while (std::isalpha(static_cast<unsigned char>(peek())))
            out += mText[mPos++];
        return out.size() >= 3;
    }
    bool number(int maxDigits, int& out)
    {
        int digits = 0;
        out = 0;
        while (digits < maxDigits && std::isdigit(static_cast<unsigned char>(peek())))
        {
            out = out * 10 + (mText[mPos++] - '0');
            ++digits;
        }
        return digits > 0;
    }
    // [+-]hh[:mm[:ss]] in seconds.
    bool clock(int maxHours, std::int32_t& out)
    {
        int sign = 1;
        if (take('-'))
            sign = -1;
        else
            take('+');
        int h = 0, m = 0, s = 0;
        if (!number(3, h) || h > maxHours)
            return false;
        if (take(':') && (!number(2, m) || m > 59 || (take(':') && (!number(2, s) || s > 59))))
            return false;
        out = sign * (h * 3600 + m * 60 + s);
        return true;
    }

private:
    const std::string& mText;
    std::size_t mPos = 0;
};

} // namespace

std::int64_t ZoneRules::daysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = floorDiv(year, 400);
    const std::int64_t yoe = year - era * 400;
    const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void ZoneRules::civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const std::int64_t era = floorDiv(days, 146097);
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

std::unique_ptr<ZoneRules> ZoneRules::utc()
{
    auto rules = std::unique_ptr<ZoneRules>(new ZoneRules);
    rules->mTypes.push_back(Type{0, false, "UTC"});
    return rules;
}

std::unique_ptr<ZoneRules> ZoneRules::fromPosix(const std::string& text)
{
    auto rules = std::unique_ptr<ZoneRules>(new ZoneRules);
    if (!parsePosix(text, rules->mRule))
        return nullptr;
    rules->mHasRule = true;
    rules->mTypes.push_back(rules->mRule.standard);
    return rules;
}

bool ZoneRules::parsePosix(const std::string& text, PosixRule& rule)
{
    TzText in(text);
    std::int32_t offset = 0;
    if (!in.name(rule.standard.abbr) || !in.clock(24, offset))
        return false;
    rule.standard.utoff = -offset;
    if (in.atEnd())
        return true;
    if (!in.name(rule.dst.abbr))
        return false;
    rule.hasDst = true;
    rule.dst.isDst = true;
    rule.dst.utoff = rule.standard.utoff + 3600;
    if (in.peek() != ',' && !in.atEnd())
    {
        if (!in.clock(24, offset))
            return false;
        rule.dst.utoff = -offset;
    }
    if (in.atEnd())
    {
        // No rule given: the customary second Sunday of March to the first of
        // November.
        rule.start = RuleDay{RuleDay::MONTH_WEEK_DAY, 3, 2, 0, 7200};
        rule.end = RuleDay{RuleDay::MONTH_WEEK_DAY, 11, 1, 0, 7200};
        return true;
    }
    auto ruleDay = [&](RuleDay& day) {
        day = RuleDay{};
        if (in.take('M'))
        {
            day.kind = RuleDay::MONTH_WEEK_DAY;
            if (!in.number(2, day.a) || day.a < 1 || day.a > 12 || !in.take('.') || !in.number(1, day.b) ||
                day.b < 1 || day.b > 5 || !in.take('.') || !in.number(1, day.c) || day.c > 6)
                return false;
        }
        else if (in.take('J'))
        {
            day.kind = RuleDay::JULIAN_NO_LEAP;
            if (!in.number(3, day.a) || day.a < 1 || day.a > 365)
                return false;
        }
        else
        {
            day.kind = RuleDay::ZERO_BASED;
            if (!in.number(3, day.a) || day.a > 365)
                return false;
        }
        if (in.take('/') && !in.clock(167, day.time))
            return false;
        return true;
    };
    return in.take(',') && ruleDay(rule.start) && in.take(',') && ruleDay(rule.end) && in.atEnd();
}

std::unique_ptr<ZoneRules> ZoneRules::fromTzif(const std::string& bytes)
{
    if (bytes.size() > cMaxFileSize)
        return nullptr;
    ByteReader in(bytes);
    Header h;
    if (!readHeader(in, h))
        return nullptr;
    std::size_t timeSize = 4;
    if (h.version >= '2')
    {
        // Skip the 32-bit block; the second header and 64-bit block follow.
        if (!in.has(blockSize(h, 4)))
            return nullptr;
        in.skip(blockSize(h, 4));
        if (!readHeader(in, h))
            return nullptr;
        timeSize = 8;
    }
    if (!in.has(blockSize(h, timeSize)))
        return nullptr;

    auto rules = std::unique_ptr<ZoneRules>(new ZoneRules);
    for (std::uint32_t i = 0; i < h.timecnt; ++i)
    {
        const std::int64_t t = timeSize == 8 ? in.i64() : static_cast<std::int32_t>(in.u32());
        if (!rules->mTransitions.empty() && t <= rules->mTransitions.back())
            return nullptr;
        rules->mTransitions.push_back(t);
    }
    for (std::uint32_t i = 0; i < h.timecnt; ++i)
    {
        const std::uint8_t type = in.u8();
        if (type >= h.typecnt)
            return nullptr;
        rules->mTransitionTypes.push_back(type);
    }
    std::vector<std::uint8_t> abbrIndex;
    for (std::uint32_t i = 0; i < h.typecnt; ++i)
    {
        Type type;
        type.utoff = static_cast<std::int32_t>(in.u32());
        type.isDst = in.u8() != 0;
        abbrIndex.push_back(in.u8());
        // Offsets beyond a day are not real; they would upset makeTime.
        if (type.utoff <= -cSecondsPerDay || type.utoff >= cSecondsPerDay || abbrIndex.back() >= h.charcnt)
            return nullptr;
        rules->mTypes.push_back(type);
    }
    const std::size_t chars = in.pos();
    for (std::uint32_t i = 0; i < h.typecnt; ++i)
    {
        const char* begin = in.at(chars + abbrIndex[i]);
        const std::size_t room = h.charcnt - abbrIndex[i];
        rules->mTypes[i].abbr.assign(begin, std::find(begin, begin + room, '\0'));
    }
    in.skip(h.charcnt + std::size_t(h.leapcnt) * (timeSize + 4) + h.isstdcnt + h.isutcnt);

    // The footer's rule carries the zone past its last transition.
    if (timeSize == 8)
    {
        const std::string footer = in.rest();
        const auto end = footer.find('\n', 1);
        if (footer.size() > 2 && footer[0] == '\n' && end != std::string::npos && end > 1)
            rules->mHasRule = parsePosix(footer.substr(1, end - 1), rules->mRule);
    }
    return rules;
}

std::int64_t ZoneRules::ruleDayStart(const RuleDay& day, std::int64_t year)
{
    const std::int64_t jan1 = daysFromCivil(year, 1, 1);
    std::int64_t days = 0;
    switch (day.kind)
    {
    case RuleDay::JULIAN_NO_LEAP:
        days = jan1 + day.a - 1 + ((isLeap(year) && day.a >= 60) ? 1 : 0);
        break;
    case RuleDay::ZERO_BASED:
        days = jan1 + day.a;
        break;
    case RuleDay::MONTH_WEEK_DAY:
    {
        const std::int64_t first = daysFromCivil(year, static_cast<unsigned>(day.a), 1);
        const std::int64_t next = day.a == 12 ? daysFromCivil(year + 1, 1, 1)
                                              : daysFromCivil(year, static_cast<unsigned>(day.a + 1), 1);
        const std::int64_t weekday = floorMod(first + 4, 7);
        days = first + floorMod(day.c - weekday, 7) + std::int64_t(day.b - 1) * 7;
        while (days >= next)
            days -= 7;
        break;
    }
    }
    return days * cSecondsPerDay;
}

const ZoneRules::Type& ZoneRules::ruleTypeAt(std::int64_t t) const
{
    if (!mRule.hasDst)
        return mRule.standard;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(floorDiv(t + mRule.standard.utoff, cSecondsPerDay), year, month, day);
    const std::int64_t start = ruleDayStart(mRule.start, year) + mRule.start.time - mRule.standard.utoff;
    const std::int64_t end = ruleDayStart(mRule.end, year) + mRule.end.time - mRule.dst.utoff;
    const bool dst = start < end ? (start <= t && t < end) : !(end <= t && t < start);
    return dst ? mRule.dst : mRule.standard;
}

const ZoneRules::Type& ZoneRules::typeAt(std::int64_t t) const
{
    if (mTransitions.empty())
        return mHasRule ? ruleTypeAt(t) : mTypes.front();
    if (t < mTransitions.front())
        return mTypes.front();
    if (mHasRule && t >= mTransitions.back())
        return ruleTypeAt(t);
    const auto next = std::upper_bound(mTransitions.begin(), mTransitions.end(), t);
    return mTypes[mTransitionTypes[static_cast<std::size_t>(next - mTransitions.begin()) - 1]];
}

bool ZoneRules::breakDown(std::int64_t t, struct tm& out) const
{
    if (t > cMaxSeconds || t < -cMaxSeconds)
        return false;
    const Type& type = typeAt(t);
    const std::int64_t local = t + type.utoff;
    const std::int64_t days = floorDiv(local, cSecondsPerDay);
    const std::int64_t secs = local - days * cSecondsPerDay;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    out = {};
    out.tm_year = static_cast<int>(year - 1900);
    out.tm_mon = static_cast<int>(month) - 1;
    out.tm_mday = static_cast<int>(day);
    out.tm_hour = static_cast<int>(secs / 3600);
    out.tm_min = static_cast<int>(secs / 60 % 60);
    out.tm_sec = static_cast<int>(secs % 60);
    out.tm_wday = static_cast<int>(floorMod(days + 4, 7));
    out.tm_yday = static_cast<int>(days - daysFromCivil(year, 1, 1));
    out.tm_isdst = type.isDst ? 1 : 0;
    out.tm_gmtoff = type.utoff;
    out.tm_zone = type.abbr.c_str();
    return true;
}

bool ZoneRules::makeTime(struct tm& tm, std::int64_t& out) const
{
    std::int64_t year = std::int64_t(tm.tm_year) + 1900 + floorDiv(tm.tm_mon, 12);
    const std::int64_t month = floorMod(tm.tm_mon, 12);
    if (year > 100000000 || year < -100000000)
        return false;
    const std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month + 1), 1) + tm.tm_mday - 1;
    const std::int64_t local =
        days * cSecondsPerDay + std::int64_t(tm.tm_hour) * 3600 + std::int64_t(tm.tm_min) * 60 + tm.tm_sec;

    // Offsets never reach a day, so the instant lies within a day of the
    // local reading, and so does every offset that can apply to it.
    const std::int32_t candidates[] = {typeAt(local - cSecondsPerDay).utoff, typeAt(local).utoff,
                                       typeAt(local + cSecondsPerDay).utoff};
    bool found = false;
    std::int64_t best = 0;
    bool bestMatchesDst = false;
    for (std::int32_t offset : candidates)
    {
        const std::int64_t t = local - offset;
        const Type& type = typeAt(t);
        if (type.utoff != offset)
            continue;
        const bool matches = tm.tm_isdst >= 0 && (tm.tm_isdst > 0) == type.isDst;
        if (!found || (matches && !bestMatchesDst) || (matches == bestMatchesDst && t < best))
        {
            best = t;
            bestMatchesDst = matches;
            found = true;
        }
    }
    if (!found)
        best = local - candidates[0];
    if (!breakDown(best, tm))
        return false;
    out = best;
    return true;
}
