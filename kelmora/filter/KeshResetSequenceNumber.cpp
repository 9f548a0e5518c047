#include "kelmora/filter/KeshResetSequenceNumber.h"

#include "kelmora/filter/KeshLineFilterArgs.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

KeshResetSequenceNumber::KeshResetSequenceNumber()
    : KeshMethod("resetSequenceNumber", KESH_METHOD_ACTION_INFO,
                 "resetSequenceNumber is used to reset the sequence number to\nsome value (default is zero).\n"),
      OrluPublisher<LineAdmin>("KeshResetSequenceNumber")
{
    addArgParamDef("SequenceNumber", "Number to set the sequence number to.", "0", false);
    addResultParamDef("Message", "Message from MessageHandler object");
}

void KeshResetSequenceNumber::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() > 1)
        throw KeshUsageError("KESH usage");
    std::uint32_t seqNum = 0;
    if (const KeshParam* param = keshargs::find(in, "SequenceNumber", 0))
        seqNum = keshargs::readSeqNum(*param);
    LineAdmin admin;
    admin.actionSetSequence(seqNum);
    publish(admin);
    out.add("Message", "ResetSequenceNumber received");
}
