#include "kelmora/recovery/MessageHandlerZunq.h"

namespace DRAVEK::Recovery
{

MessageHandlerZunq::MessageHandlerZunq(const std::string& name, Log& log, bool active)
    : MessageHandler(name, log), MsgZunqPublisher(log, active)
{
}

MessageHandlerZunq::~MessageHandlerZunq() = default;

void MessageHandlerZunq::setHAMode(const HaMode& mode)
{
    MessageHandler::setHAMode(mode);
}

} // namespace DRAVEK::Recovery
