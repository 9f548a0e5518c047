#include "kelmora/filter/KeshSendTestRetransRequest.h"

#include "kelmora/filter/KeshLineFilterArgs.h"
#include "kelmora/filter/LineFilter.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

KeshSendTestRetransRequest::KeshSendTestRetransRequest(LineFilter& filter)
    : KeshMethod("sendTestRetransRequest", KESH_METHOD_ACTION_INFO, ""), mLineFilter(filter)
{
    addArgParamDef("FeedId",
                   "Name of subfeed/channel to send the test retrans request (what this field contains/represents is "
                   "feed specific and possibly nay be ignored.)",
                   "2", true);
    addArgParamDef("Begin", "The first sequence number in the range of sequence numbers to be re-requested ", "101",
                   true);
    addArgParamDef("End", "The last sequence number in the range of sequence numbers to be re-requested ", "105",
                   true);
    addResultParamDef("Message", "Procedure executed. ");
}

void KeshSendTestRetransRequest::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 3)
        throw KeshUsageError("KESH usage");
    const KeshParam* feedId = keshargs::find(in, "FeedId", 0);
    const KeshParam* beginParam = keshargs::find(in, "Begin", 1);
    const KeshParam* endParam = keshargs::find(in, "End", 2);
    if (feedId == nullptr || beginParam == nullptr || endParam == nullptr)
        throw KeshUsageError("KESH usage");
    unsigned int begin = keshargs::readSeqNum(*beginParam);
    unsigned int end = keshargs::readSeqNum(*endParam);
    if (end < begin)
        throw KeshUsageError("KESH usage");
    std::string text = end == begin ? "Sending test Retrans for sequence number " + std::to_string(begin)
                                    : "Sending test Retrans for sequence numbers " + std::to_string(begin) + " to " +
                                          std::to_string(end);
    text += " on subfeed/channel " + feedId->getValue() + "\n";
    mLineFilter.sendTestRetransRequest(begin, end, feedId->getValue().c_str());
    out.add("Message", text);
}
