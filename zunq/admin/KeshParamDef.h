// The description of one argument or result of an admin method, for its help.
#pragma once

#include <string>

struct KeshParamDef
{
    std::string name;
    std::string help;
    // Arguments only: the default or a sample value, and whether it must be given.
    std::string defaultValue;
    bool required = false;
};
