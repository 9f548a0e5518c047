#include "kelmora/thread/TarvokListener.h"

#include "kelmora/thread/TarvokSession.h"

#include "zunq/log/Log.h"

TarvokListener::~TarvokListener()
{
    if (mSession != nullptr)
        mSession->removeOrvaneRequestListener(this);
}

TarvokStatus TarvokListener::create(TarvokSession* session, TarvokMsgHandler* handler, const char* subject,
                                    const void* closure)
{
    mSession = session;
    mMsgHandler = handler;
    mLog = session != nullptr ? session->getLog() : nullptr;
    mSubject = subject != nullptr ? subject : "";
    setClosure(closure);
    if (mLog != nullptr && mLog->verboseEnabled())
        mLog->verbose() << "TarvokListener::create(): adding orvane subscription " << mSubject;
    if (session != nullptr)
        session->addOrvaneRequestListener(mSubject.c_str(), this);
    return gStatusOk;
}
