// A start-up failure of a module factory: a module it needs is missing or of
// another type, or a setting it reads cannot be used. The process entry point
// reports it and exits with code 1.
#pragma once

#include <stdexcept>
#include <string>

class InitModuleError : public std::invalid_argument
{
public:
    // The message reads "<where>: <what>".
    InitModuleError(const std::string& where, const std::string& what);
};
