#include "kelmora/runtime/InitModuleError.h"

InitModuleError::InitModuleError(const std::string& where, const std::string& what)
    : std::invalid_argument(where + ": " + what)
{
}
