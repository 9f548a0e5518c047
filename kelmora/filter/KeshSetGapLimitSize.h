// The admin method "setGapLimitSize": changes the filter's gap limit size
// while it runs (during disaster recovery, the size kept for its end).
#pragma once

#include "zunq/admin/KeshMethod.h"

class LineFilter;

class KeshSetGapLimitSize : public KeshMethod
{
public:
    explicit KeshSetGapLimitSize(LineFilter& filter);

    // KeshUsageError unless exactly one whole decimal number within 32 bits;
    // a negative one is answered as invalid and changes nothing.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    LineFilter& mLineFilter;
};
