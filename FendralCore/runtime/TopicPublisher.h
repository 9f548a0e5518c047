// What the dispatcher and the receiving threads need of an open messaging
// topic: publish one message, or one recovery command on a recovery topic.
// The registry's topic record points to it (MsgTopicResource::msgTopicPtr);
// the messaging service creates the topic when it opens and implements these
// two calls, so the layers below reach the topics without including them.
//
// Called on the publishing application thread; an implementation serialises
// its own state.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

// Commands carried by the recovery topics.
enum MrmCmdType : uint32
{
    MRM_TOPIC_RQS = 0,
    MRM_TOPIC_RSP = 1,
    MRM_END_RECOVERY_NOTIFICATION = 2,
    MRM_QUICK_RECOVERY_MSG = 3,
    MRM_LONG_RECOVERY_MSG = 4,
    MRM_RECOVERY_FAILURE = 5,
};

class TopicPublisher
{
public:
    virtual ~TopicPublisher() = default;

    // Publishes one message. 0 with topicSeq = the number the topic gave it;
    // -1 with the code: WOULD_BLOCK when the topic cannot take it now (the
    // caller retries), one of the MSL_NO_..._SUBSCRIBER codes when it was
    // accepted although nobody subscribes, anything else a failure.
    virtual int32 sendMessage(const char* msg, uint32 len, uint64& topicSeq, uint64 applSeqNum, bool resend,
                              const char* peerAppId, int32 peerInstId, bool highPriority) = 0;

    // Sends one recovery command to one application instance; 0 or -1 with
    // the code.
    virtual int32 sendMrmMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len,
                                 const char* appId, int32 appInstId) = 0;
};
