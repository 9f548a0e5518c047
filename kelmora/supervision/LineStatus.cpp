#include "kelmora/supervision/LineStatus.h"

const char* LineStatus::str() const
{
    switch (mType)
    {
    case OFF: return "off";
    case UP: return "up";
    case PART: return "part";
    case DOWN: return "down";
    case UNKNOWN: return "unkn";
    case WAIT: return "wait";
    case DISABLED: return "dsbl";
    default: return "err";
    }
}
