#include "zunq/admin/KeshSession.h"

#include "zunq/admin/KeshInterface.h"
#include "zunq/admin/KeshMethod.h"

#include <algorithm>

KeshSession::KeshSession(const std::string& threadName)
    : mThreadName(threadName)
{
}

KeshSession::~KeshSession()
{
    for (KeshMethod* method : mMethods)
        delete method;
}

void KeshSession::setThreadName(const std::string& threadName)
{
    std::lock_guard lock(mLock);
    mThreadName = threadName;
    for (KeshMethod* method : mMethods)
        if (method->getThread().empty())
            method->setThread(threadName);
}

std::string KeshSession::getThreadName() const
{
    std::lock_guard lock(mLock);
    return mThreadName;
}

bool KeshSession::addInterface(KeshInterface* interface)
{
    if (interface == nullptr)
        return false;
    std::lock_guard lock(mLock);
    if (std::find(mInterfaces.begin(), mInterfaces.end(), interface) != mInterfaces.end())
        return false;
    mInterfaces.push_back(interface);
    for (KeshMethod* method : mMethods)
        interface->addMethod(method);
    return true;
}

bool KeshSession::addMethod(KeshMethod* method)
{
    if (method == nullptr)
        return false;
    std::lock_guard lock(mLock);
    if (std::find(mMethods.begin(), mMethods.end(), method) != mMethods.end())
        return false;
    if (method->getThread().empty())
        method->setThread(mThreadName);
    if (mQuietNames.count(method->getName()) != 0)
        method->setQuiet(true);
    mMethods.push_back(method);
    for (KeshInterface* interface : mInterfaces)
        interface->addMethod(method);
    return true;
}

void KeshSession::addQuietMethodName(const std::string& name)
{
    std::lock_guard lock(mLock);
    mQuietNames.insert(name);
    for (KeshMethod* method : mMethods)
        if (method->getName() == name)
            method->setQuiet(true);
}

bool KeshSession::isQuietMethodName(const std::string& name) const
{
    std::lock_guard lock(mLock);
    return mQuietNames.count(name) != 0;
}

std::vector<KeshMethod*> KeshSession::getMethods() const
{
    std::lock_guard lock(mLock);
    return mMethods;
}
