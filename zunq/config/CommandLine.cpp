#include "zunq/config/CommandLine.h"

CommandLine::CommandLine(int argc, const char* const* argv)
{
    for (int i = 1; argv != nullptr && i < argc; ++i)
        if (argv[i] != nullptr)
            mArgs.emplace_back(argv[i]);
}

bool CommandLine::looksLikeOption(const std::string& arg)
{
    if (arg.size() < 2 || arg[0] != '-')
        return false;
    const char next = arg[1];
    return !((next >= '0' && next <= '9') || next == '.');
}

bool CommandLine::find(const std::string& option, std::string& value) const
{
    if (!looksLikeOption(option))
        return false;
    bool found = false;
    for (std::size_t i = 0; i < mArgs.size(); ++i)
    {
        const std::string& arg = mArgs[i];
        if (arg == option)
        {
            found = true;
            if (i + 1 < mArgs.size() && !looksLikeOption(mArgs[i + 1]))
                value = mArgs[++i];
            else
                value.clear();
        }
        else if (arg.size() > option.size() && arg.compare(0, option.size(), option) == 0 &&
                 arg[option.size()] == '=')
        {
            found = true;
            value = arg.substr(option.size() + 1);
        }
    }
    return found;
}
