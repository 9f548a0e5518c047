#include "kelmora/bus/SystemEvent.h"

std::string SystemEvent::str() const
{
    switch (mType)
    {
    case OK: return "ok";
    case RESET: return "reset";
    case LOGIN_RESET_BEGIN: return "loginresetbegin";
    case LOGIN_RESET_END: return "loginresetend";
    default: return "prog-error";
    }
}
