// The program's command line as the configuration manager reads it. Options
// are looked up by name when asked for, so arguments added later (setArg) and
// options nobody declared in advance work alike. Accepted forms, for any
// option name given with its dashes ("--queue-size", "-n", "-name"):
//   --opt=value    --opt value    --opt (no value: a switch)
// A following argument is the option's value unless it is itself an option,
// that is, it starts with "-" followed by something other than a digit or
// ".": "-1" and "-" are values. The last occurrence wins. Arguments that no
// option takes (the framework agent's positional ones) are ignored.
#pragma once

#include <string>
#include <vector>

class CommandLine
{
public:
    CommandLine() = default;
    // argv[0], the program, is not an argument.
    CommandLine(int argc, const char* const* argv);

    void add(const std::string& arg) { mArgs.push_back(arg); }
    const std::vector<std::string>& args() const { return mArgs; }

    // True when the option is given; value gets its value, empty for a switch.
    bool find(const std::string& option, std::string& value) const;

private:
    static bool looksLikeOption(const std::string& arg);

    std::vector<std::string> mArgs;
};
