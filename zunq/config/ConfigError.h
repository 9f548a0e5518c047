// Error in the host configuration: an unreadable or malformed configuration
// file, or a value that does not fit the type it is read as. Thrown at
// start-up; the process entry point reports it and exits.
#pragma once

#include <stdexcept>
#include <string>

class ConfigError : public std::invalid_argument
{
public:
    explicit ConfigError(const std::string& text);
};
