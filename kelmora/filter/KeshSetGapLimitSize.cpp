#include "kelmora/filter/KeshSetGapLimitSize.h"

#include "kelmora/filter/KeshLineFilterArgs.h"
#include "kelmora/filter/LineFilter.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <limits>

KeshSetGapLimitSize::KeshSetGapLimitSize(LineFilter& filter)
    : KeshMethod("setGapLimitSize", KESH_METHOD_ACTION_INFO,
                 "Set the maximum spool size before a channel shuts down after a gap"),
      mLineFilter(filter)
{
    addArgParamDef("Size", "Maximum spool size", "1000000", false);
    addResultParamDef("Message", "Acknowledgement of action");
}

void KeshSetGapLimitSize::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = keshargs::find(in, "Size", 0);
    long size = 0;
    if (param == nullptr || !param->getValue(size) || size > static_cast<long>(std::numeric_limits<std::uint32_t>::max()))
        throw KeshUsageError("KESH usage");
    if (size < 0)
    {
        out.add("Message", "Invalid - GapLimitSize should be an integer >= 0");
        return;
    }
    mLineFilter.setGapLimitSize(static_cast<unsigned long>(size));
    out.add("Message", "GapLimitSize set successfully");
}
