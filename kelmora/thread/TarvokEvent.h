// Base of timers and listeners: a validity flag, the caller's closure and an
// event pointer.
#pragma once

#include "kelmora/thread/TarvokStatus.h"

class TarvokEvent
{
public:
    virtual bool isValid() const { return mIsValid; }
    virtual TarvokStatus destroy()
    {
        mIsValid = false;
        return gStatusOk;
    }
    virtual const void* getClosure() const { return mClosure; }
    virtual void setClosure(const void* closure) { mClosure = closure; }
    virtual ~TarvokEvent() = default;
    virtual void* getEvent() { return mEvent; }
    virtual const void* getEvent() const { return mEvent; }
    virtual void setEvent(void* event) { mEvent = event; }
    virtual void setIsValid(bool valid) { mIsValid = valid; }

private:
    const void* mClosure = nullptr;
    void* mEvent = nullptr;
    bool mIsValid = false;
};
