// The admin method "sendTestRetransRequest": has the filter publish a
// retransmission request for the range and feed id the operator names.
#pragma once

#include "zunq/admin/KeshMethod.h"

class LineFilter;

class KeshSendTestRetransRequest : public KeshMethod
{
public:
    explicit KeshSendTestRetransRequest(LineFilter& filter);

    // KeshUsageError unless exactly three arguments, Begin and End unsigned
    // decimal within 32 bits and End not below Begin; nothing is sent then.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    LineFilter& mLineFilter;
};
