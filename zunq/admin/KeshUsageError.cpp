#include "zunq/admin/KeshUsageError.h"

KeshUsageError::KeshUsageError(const std::string& what)
    : std::invalid_argument(what)
{
}
