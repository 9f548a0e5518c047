#include "kelmora/filter/KeshLineFilterArgs.h"

#include "zunq/admin/KeshUsageError.h"

#include <limits>

namespace keshargs
{

std::uint32_t readSeqNum(const KeshParam& param)
{
    unsigned long value = 0;
    if (!param.getValue(value) || value > std::numeric_limits<std::uint32_t>::max())
        throw KeshUsageError("KESH usage");
    return static_cast<std::uint32_t>(value);
}

} // namespace keshargs
