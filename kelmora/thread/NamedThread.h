// One configured application thread of the host: its framework settings, its
// role flags and its Runnable. Built on the main thread by the NamedThreads
// factory, registered as module "NamedThread" in the group named by the
// thread, and never freed.
#pragma once

#include <memory>
#include <string>

class ModuleList;
class Runnable;
class ZunqConfigManager;
struct NamedThreadImpl;

class NamedThread
{
public:
    explicit NamedThread(const std::string& name);
    ~NamedThread();

    NamedThread(const NamedThread&) = delete;
    NamedThread& operator=(const NamedThread&) = delete;

    const std::string& getName() const;

    void setRequiresConfig(bool on);
    bool requiresConfig() const;
    void setIsCreated(bool on);
    bool isCreated() const;
    void setIsMsgHandling(bool on);
    bool isMsgHandling() const;
    void setIsOrvaneHandling(bool on);
    bool isOrvaneHandling() const;
    void setIsMsgSending(bool on);
    bool isMsgSending() const;
    void setIsSessionThread(bool on);
    bool isSessionThread() const;
    void setRegExp(const char* regExp);
    const std::string& getRegExp() const;
    bool isStarted() const;
    // Marks the thread started when it is to be created; returns isCreated().
    bool start(ModuleList& modules, ZunqConfigManager& cfg);

    void setRunnable(Runnable* runnable);
    Runnable* getRunnable() const;
    void setNiceValue(int value);
    int getNiceValue() const;
    void setQueueSize(int value);
    int getQueueSize() const;
    void setCpuAffinity(unsigned long mask);
    unsigned long getCpuAffinity() const;
    void setOptimizeMode(int mode);
    int getOptimizeMode() const;

private:
    std::unique_ptr<NamedThreadImpl> mImpl;
};
