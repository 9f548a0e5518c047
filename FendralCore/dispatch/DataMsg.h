// The data view a dispatcher hands to its application callback: one per
// dispatcher, overwritten for every message. bufPtr points into the message,
// the reassembly buffer or the pipeline entry, so it is valid only during the
// callback.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <ctime>
#include <netinet/in.h>

class ResourceHandle;

struct DataMsg
{
    ResourceName channelNameTxt;
    ResourceHandle* resHandlePtr;
    ExtChannelType chnType;
    ReplicationFlag replicationFlag;
    uint64 msgTopicSeq;
    in_addr_t peerIpAddr;
    ApplicationID peerAppIdTxt;
    int32 peerAppInstId;
    int32 peerAppSiteId; // an ApplicationSite; 0 for TCP data
    char* bufPtr;
    int32 dataLen;
    int32 plStageNum;
    int32 plEntrySize;
    timespec tm;
    timespec outTm;
};
