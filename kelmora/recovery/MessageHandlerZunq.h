// The message handler of a feed plug-in that publishes feed messages and can
// catch up after a restart or a gap: a MessageHandler and a MsgZunqPublisher
// in one. The plug-in implements it; recovery components (the refresh client,
// file recovery) hand it recorded or snapshot messages through
// processMessage and clear its decoding state with resetState.
//
// Thread: the sub-feed's session thread (or the thread that runs recovery for
// it before the feed starts), as for both bases.
#pragma once

#include "kelmora/bus/MsgZunqPublisher.h"
#include "kelmora/recovery/MessageHandler.h"

#include <cstdint>
#include <string>

namespace DRAVEK::Recovery
{

class MessageHandlerZunq : public MessageHandler, public MsgZunqPublisher
{
public:
    // `active`: whether the publisher publishes (see MsgZunqPublisher).
    MessageHandlerZunq(const std::string& name, Log& log, bool active);
    ~MessageHandlerZunq() override;

    // Both bases have these; the handler's name and both destinations are meant.
    using MessageHandler::getName;
    using MsgZunqPublisher::setDestination;
    using OrluPublisher<MhMode>::setDestination;
    using MessageHandler::setHAMode;

    // The base's change (log, store); a plug-in may also switch its publisher.
    void setHAMode(const HaMode& mode) override;
    // One recorded message of `channelId` with its numbers; readers pass 0 as `extra`.
    virtual void processMessage(const char* msg, std::uint16_t channelId, std::uint64_t seqNum,
                                std::uint64_t subSeqNum, std::uint64_t extra) = 0;
    // Forgets what decoding built up, before a replay starts.
    virtual void resetState() = 0;
};

} // namespace DRAVEK::Recovery
