// Thrown by an admin method's invoke when its arguments are wrong. The admin
// interface answers it with the method's full help.
#pragma once

#include <stdexcept>
#include <string>

class KeshUsageError : public std::invalid_argument
{
public:
    explicit KeshUsageError(const std::string& what = "KESH usage");
};
