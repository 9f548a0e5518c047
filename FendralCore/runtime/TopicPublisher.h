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

    // Publishes one message, to every subscriber or (recipientAppId not
    // null) to one application instance. 0 with topicSeq = the number the
    // topic gave its last part; -1 with the code: WOULD_BLOCK when the topic
    // cannot take it now (the caller retries), one of the
    // MSL_NO_..._SUBSCRIBER codes or MSL_FORCE_SENT when it went out although
    // subscribers are missing or the window was full, anything else a
    // failure. rewindOnFailure gives a failed message's numbers back, for a
    // caller that retries the very same message; forceSend sends past a
    // full window.
    virtual int32 sendMessage(const char* msg, uint32 len, uint64& topicSeq, uint64 applSeqNum, bool rewindOnFailure,
                              const char* recipientAppId, int32 recipientInstId, bool forceSend) = 0;

    // Sends one recovery command to one application instance; 0 or -1 with
    // the code.
    virtual int32 sendMrmMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len,
                                 const char* appId, int32 appInstId) = 0;
};
