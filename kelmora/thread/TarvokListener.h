// The registration of one message handler for one admin subject in a session.
#pragma once

#include "kelmora/thread/TarvokEvent.h"
#include "kelmora/thread/TarvokHandler.h"

#include <string>

class Log;
class TarvokSession;

class TarvokListener : public TarvokEvent
{
public:
    TarvokListener() = default;
    // Withdraws its registration: the session must never hand out a freed listener.
    ~TarvokListener() override;

    TarvokListener(const TarvokListener&) = delete;
    TarvokListener& operator=(const TarvokListener&) = delete;

    virtual TarvokStatus create(TarvokSession* session, TarvokMsgHandler* handler, const char* subject,
                                const void* closure);
    virtual TarvokStatus create(TarvokSession* session, TarvokMsgHandler* handler, const std::string& subject,
                                const void* closure)
    {
        return create(session, handler, subject.c_str(), closure);
    }
    virtual TarvokStatus getSubject(const char*& subject) const
    {
        subject = mSubject.c_str();
        return gStatusOk;
    }
    virtual TarvokStatus getSubject(std::string& subject) const
    {
        subject = mSubject;
        return gStatusOk;
    }
    TarvokMsgHandler* getMsgHandler() const { return mMsgHandler; }

private:
    TarvokSession* mSession = nullptr;
    TarvokMsgHandler* mMsgHandler = nullptr;
    Log* mLog = nullptr;
    std::string mSubject;
};
