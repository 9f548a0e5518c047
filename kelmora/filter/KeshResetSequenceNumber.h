// The admin method "resetSequenceNumber": publishes a SET_SEQNUM LineAdmin
// with the number given (0 without an argument) on the sub-feed's admin
// channel, which the filter and the other components of the sub-feed read.
#pragma once

#include "kelmora/bus/LineAdmin.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/bus/Orlu.h"

class KeshResetSequenceNumber : public KeshMethod, public OrluPublisher<LineAdmin>
{
public:
    KeshResetSequenceNumber();

    // KeshUsageError for more than one argument or a number that is not
    // unsigned decimal within 32 bits; nothing is published then.
    void invoke(const KeshParamList& in, KeshParamList& out) override;
};
