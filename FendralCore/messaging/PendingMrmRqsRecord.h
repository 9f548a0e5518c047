// A recovery request to an MRM instance that waits for its answer: the
// request as sent, when, which partition and instance were asked, and the
// two subscriptions it concerns (the instance's MRM topic, on which the
// answer comes, and the topic being recovered). Kept in the service's MRM
// pending table under the request's id.
//
// Messaging service thread only.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/messaging/TopicMessage.h"

struct SubscriptionRecord;

struct PendingMrmRqsRecord
{
    MrmRecoveryRqs mrmRqs{};
    int64 sentNs = 0; // monotonic
    // A repeat to the same instance: a second silence means it is gone.
    bool resent = false;
    int32 mrmPartitionId = -1;
    int32 mrmInstId = -1;
    // The instance this recovery first asked: the walk to the next ones
    // stops when it comes round to it.
    int32 firstInstId = -1;
    SubscriptionRecord* mrmSubRecPtr = nullptr;
    SubscriptionRecord* dataSubRecPtr = nullptr;
};
