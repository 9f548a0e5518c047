// The per-thread context that timers and admin subject listeners hang on: the
// thread's name, log and Runnable, and the registry of listeners per subject.
#pragma once

#include "kelmora/thread/TarvokStatus.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class Log;
class OrvaneClient;
class Runnable;
class TarvokOldMsg;
class TarvokListener;

class TarvokSession
{
public:
    TarvokSession();
    virtual ~TarvokSession();

    TarvokSession(const TarvokSession&) = delete;
    TarvokSession& operator=(const TarvokSession&) = delete;

    // Empties the listener registry.
    virtual TarvokStatus destroy();
    virtual TarvokStatus getName(std::string& name) const;
    virtual TarvokStatus setName(const std::string& name);

    const std::string& getName() const { return mName; }
    const std::string& getLogStr() const { return mLogStr; }
    void setRunnable(Runnable* runnable) { mRunnable = runnable; }
    Runnable* getRunnable() const { return mRunnable; }
    void setLog(Log* log) { mLog = log; }
    Log* getLog() const { return mLog; }
    void setIsOrvaneHandling(bool on) { mIsOrvaneHandling = on; }
    bool isOrvaneHandling() const { return mIsOrvaneHandling; }

    void setOrvaneClient(OrvaneClient* client) { mOrvaneClient = client; }
    OrvaneClient* getOrvaneClient() const { return mOrvaneClient; }
    // Sends `msg` as one admin record through the client; false (and an error
    // line) without a client. The record is built per call, so sends from
    // several threads need no lock.
    bool send(const TarvokOldMsg& msg);

    // "<host>.<pid>.<counter>", a fresh counter per call, cut to `size`.
    TarvokStatus createReplySubject(char* buffer, unsigned int size);

    void addOrvaneRequestListener(const char* subject, TarvokListener* listener);
    // A copy of the subject's listeners; an unknown subject yields none and
    // adds nothing (subjects arrive from the network).
    void getOrvaneRequestListener(const char* subject, std::vector<TarvokListener*>& out);
    // The subjects that have listeners, in order; for reports and checks.
    std::vector<std::string> getOrvaneRequestSubjects();
    // Withdraws every registration of `listener`.
    void removeOrvaneRequestListener(TarvokListener* listener);

    // Error status for a failed framework call, logged when the session has a log.
    TarvokStatus handleQelmoError(int code, const char* context);

    static long getPid();
    static uint64_t getUniqueId();
    static const std::string& getHostIdStr();

private:
    std::string mName = "default";
    std::string mLogStr = "TarvokSession(default)";
    Log* mLog = nullptr;
    std::map<std::string, std::vector<TarvokListener*>> mRequestListeners;
    std::mutex mSessionLock;
    Runnable* mRunnable = nullptr;
    bool mIsOrvaneHandling = false;
    OrvaneClient* mOrvaneClient = nullptr;
};

// The class the session factory builds.
class TarvokSessionQelmo : public TarvokSession
{
};
