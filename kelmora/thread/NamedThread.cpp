#include "kelmora/thread/NamedThread.h"

struct NamedThreadImpl
{
    explicit NamedThreadImpl(const std::string& name) : mName(name) {}

    std::string mName;
    bool mRequiresConfig = false;
    Runnable* mRunnable = nullptr;
    unsigned long mCpuAffinity = 0;
    int mNiceValue = 0;
    int mOptimizeMode = 1;
    int mQueueSize = 0;
    bool mIsCreated = true;
    bool mIsStarted = false;
    std::string mRegExp;
    bool mIsMsgHandling = false;
    bool mIsMsgSending = false;
    bool mIsOrvaneHandling = false;
    bool mSessionThread = true;
};

NamedThread::NamedThread(const std::string& name) : mImpl(std::make_unique<NamedThreadImpl>(name)) {}
NamedThread::~NamedThread() = default;

const std::string& NamedThread::getName() const { return mImpl->mName; }
void NamedThread::setRequiresConfig(bool on) { mImpl->mRequiresConfig = on; }
bool NamedThread::requiresConfig() const { return mImpl->mRequiresConfig; }
void NamedThread::setIsCreated(bool on) { mImpl->mIsCreated = on; }
bool NamedThread::isCreated() const { return mImpl->mIsCreated; }
void NamedThread::setIsMsgHandling(bool on) { mImpl->mIsMsgHandling = on; }
bool NamedThread::isMsgHandling() const { return mImpl->mIsMsgHandling; }
void NamedThread::setIsOrvaneHandling(bool on) { mImpl->mIsOrvaneHandling = on; }
bool NamedThread::isOrvaneHandling() const { return mImpl->mIsOrvaneHandling; }
void NamedThread::setIsMsgSending(bool on) { mImpl->mIsMsgSending = on; }
bool NamedThread::isMsgSending() const { return mImpl->mIsMsgSending; }
void NamedThread::setIsSessionThread(bool on) { mImpl->mSessionThread = on; }
bool NamedThread::isSessionThread() const { return mImpl->mSessionThread; }
void NamedThread::setRegExp(const char* regExp) { mImpl->mRegExp = regExp != nullptr ? regExp : ""; }
const std::string& NamedThread::getRegExp() const { return mImpl->mRegExp; }
bool NamedThread::isStarted() const { return mImpl->mIsStarted; }

bool NamedThread::start(ModuleList&, ZunqConfigManager&)
{
    if (mImpl->mIsCreated)
        mImpl->mIsStarted = true;
    return mImpl->mIsCreated;
}

void NamedThread::setRunnable(Runnable* runnable) { mImpl->mRunnable = runnable; }
Runnable* NamedThread::getRunnable() const { return mImpl->mRunnable; }
void NamedThread::setNiceValue(int value) { mImpl->mNiceValue = value; }
int NamedThread::getNiceValue() const { return mImpl->mNiceValue; }
void NamedThread::setQueueSize(int value) { mImpl->mQueueSize = value; }
int NamedThread::getQueueSize() const { return mImpl->mQueueSize; }
void NamedThread::setCpuAffinity(unsigned long mask) { mImpl->mCpuAffinity = mask; }
unsigned long NamedThread::getCpuAffinity() const { return mImpl->mCpuAffinity; }
void NamedThread::setOptimizeMode(int mode) { mImpl->mOptimizeMode = mode; }
int NamedThread::getOptimizeMode() const { return mImpl->mOptimizeMode; }
