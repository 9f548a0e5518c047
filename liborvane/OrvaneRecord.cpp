#include "liborvane/OrvaneRecord.h"

#include "zunq/protocol/ZunqDumpUtils.h"

#include <algorithm>
#include <cstring>

namespace orvane
{

const TextField* badField(const char* record)
{
    for (const TextField& f : cTextFields)
    {
        const char* begin = record + f.offset;
        const char* end = begin + f.size;
        const char* nul = std::find(begin, end, '\0');
        if (nul == end || std::any_of(nul, end, [](char c) { return c != '\0'; }))
            return &f;
    }
    return nullptr;
}

void putField(char* field, std::size_t size, const char* text)
{
    std::memset(field, 0, size);
    if (text == nullptr || size == 0)
        return;
    std::memcpy(field, text, ::strnlen(text, size - 1));
}

std::string describe(const char* record)
{
    std::string out;
    for (const TextField& f : cTextFields)
    {
        const char* begin = record + f.offset;
        out += f.name;
        out += '|';
        out += ZunqDumpUtils::writePeerBytes(begin, ::strnlen(begin, f.size));
        out += "| ";
    }
    out.pop_back();
    return out;
}

} // namespace orvane
