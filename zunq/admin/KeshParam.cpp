#include "zunq/admin/KeshParam.h"

#include <charconv>
#include <string_view>
#include <type_traits>

namespace
{

std::string_view trimmed(const std::string& text)
{
    std::string_view view(text);
    const char* blanks = " \t\r\n";
    std::size_t first = view.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    std::size_t last = view.find_last_not_of(blanks);
    return view.substr(first, last - first + 1);
}

template <typename Number>
bool parseWhole(std::string_view text, Number& value)
{
    if (text.empty())
        return false;
    // from_chars takes no '+'; accept one for signed values as operators write it.
    if (text.front() == '+' && std::is_signed_v<Number>)
        text.remove_prefix(1);
    Number parsed{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    value = parsed;
    return true;
}

} // namespace

KeshParam::KeshParam(const std::string& name, const std::string& value)
    : mName(name)
    , mValue(value)
{
}

bool KeshParam::getValue(long& value) const
{
    return parseWhole(trimmed(mValue), value);
}

bool KeshParam::getValue(unsigned long& value) const
{
    return parseWhole(trimmed(mValue), value);
}
