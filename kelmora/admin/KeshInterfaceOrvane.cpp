#include "kelmora/admin/KeshInterfaceOrvane.h"

#include "kelmora/admin/KeshMethodInvoker.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokSession.h"
#include "FendralServices/api/FwServices.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cctype>

namespace
{
std::string gParamSep;
const std::string cWhere = "InitModule<KeshInterfaceOrvane>";
} // namespace

struct KeshInterfaceOrvaneImpl
{
    KeshInterfaceOrvaneImpl(TarvokSession& session, const std::string& name, const std::string& base, Log& log)
        : mSession(session), mName(name), mSubjectBase(base), mLog(log)
    {
    }

    TarvokSession& mSession;
    std::string mName;
    std::string mSubjectBase;
    Log& mLog;
    bool mLogInvoc = true;
    bool mLogInvocResponse = false;
    std::map<std::string, KeshMethod*> mMethods;
    std::list<std::string> mSubjects;
};

KeshInterfaceOrvane::KeshInterfaceOrvane(TarvokSession& session, const std::string& name,
                                         const std::string& subjectBase, Log& log)
    : mImpl(std::make_unique<KeshInterfaceOrvaneImpl>(session, name, subjectBase, log))
{
}

KeshInterfaceOrvane::~KeshInterfaceOrvane() = default;

const std::string& KeshInterfaceOrvane::getName() const { return mImpl->mName; }
const std::list<std::string>& KeshInterfaceOrvane::getSubjects() const { return mImpl->mSubjects; }
void KeshInterfaceOrvane::setLogInvocations(bool on) { mImpl->mLogInvoc = on; }
void KeshInterfaceOrvane::setLogInvocationsResponse(bool on) { mImpl->mLogInvocResponse = on; }
void KeshInterfaceOrvane::setParamSeparator(const std::string& separator) { gParamSep = separator; }
const std::string& KeshInterfaceOrvane::getParamSeparator() { return gParamSep; }

void KeshInterfaceOrvane::addMethod(KeshMethod* method)
{
    if (method == nullptr)
        return;
    char name[17];
    copyResourceName(name, method->getThread().c_str());
    unsigned long handle = 0;
    TarvokSession* target = nullptr;
    if (Runnable::getThreadHandleMap(name, handle) && handle != 0)
        target = reinterpret_cast<Runnable*>(handle)->getTarvokSession();
    AddMethod(method, target);
}

void KeshInterfaceOrvane::AddMethod(KeshMethod* method, TarvokSession* target)
{
    KeshInterfaceOrvaneImpl& d = *mImpl;
    d.mMethods[method->getName()] = method;
    std::string lower = method->getName();
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string subject = d.mSubjectBase + "." + d.mName + "." + lower;

    auto* invoker = new KeshMethodInvoker(*method, d.mSession, target, d.mLog, d.mLogInvoc, d.mLogInvocResponse, d.mName);
    if (target != nullptr && target->getRunnable() != nullptr && d.mSession.getRunnable() != nullptr)
    {
        target->getRunnable()->getOrluThreadData(Zunq::ORVANE_REQUEST)->subscribe(invoker);
        d.mSession.getRunnable()->getOrluThreadData(Zunq::ORVANE_REPLY)->subscribe(invoker);
    }
    if (d.mLog.enabled(LOG_LEVEL_DEBUG))
        d.mLog.debug() << "KeshInterfaceOrvane::addMethod (" << method->getName() << ") for instance: " << d.mName
                       << " (" << subject << ") method invoker: true";
    auto* listener = new TarvokListener;
    TarvokStatus status = listener->create(&d.mSession, invoker, subject, nullptr);
    if (status.getError() != 0)
        d.mLog.error() << "KeshInterfaceOrvane::addMethod (" << method->getName()
                       << "): error creating TarvokListener: " << status.getText();
    d.mSubjects.push_back(subject);
}

std::list<std::string> KeshInterfaceOrvane::interfaceNames(const std::string& subFeed, const std::string& exeName,
                                                           const std::string& appName)
{
    std::list<std::string> names;
    if (subFeed.empty())
    {
        names.push_back(exeName);
        if (appName != exeName)
            names.push_back(appName);
    }
    else
    {
        const std::string prefix = subFeed.substr(0, subFeed.find('_'));
        names.push_back(subFeed);
        if (prefix != subFeed)
            names.push_back(prefix);
        if (exeName != prefix && exeName != subFeed)
            names.push_back(exeName);
        if (appName != exeName && appName != prefix && appName != subFeed)
            names.push_back(appName);
    }
    names.push_back("all");
    return names;
}

InitModule<KeshInterfaceOrvane> initKeshInterfaceOrvane("KeshInterfaceOrvane", 201);

template <>
bool InitModule<KeshInterfaceOrvane>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("KeshInterfaceOrvane");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    TarvokSession* session = findModule<TarvokSession>(list, "TarvokSessionOrvane", defaultGroup);
    if (session == nullptr)
    {
        log->warning() << cWhere << ": could not find TarvokSession object for Orvane";
        return true;
    }

    const std::string base = config->getString("OrvaneBase", "--orvane-base", "orvane");
    const std::string exeName = config->getString("OrvaneNameExe", "--orvane-name-exe", config->getExeName());
    const std::string appName = config->getString("OrvaneNameApp", "--orvane-name-app", config->getAppName());
    const bool fullHost = config->getBool("OrvaneUseFullHostname", "--orvane-use-full-hostname", false);
    const std::string hostPrefix = config->getString("OrvaneHostnamePrefix", "--orvane-hostname-prefix", "");
    const std::string hostSuffix = config->getString("OrvaneHostnameSuffix", "--orvane-hostname-suffix", "");
    const bool logInvoc = config->getBool("OrvaneLogInvocations", "--orvane-log-invocations", true);
    const bool logResponse =
        config->getBool("OrvaneLogInvocationsResponse", "--orvane-log-invocations-response", false);
    const std::string host = hostPrefix + (fullHost ? fqdn() : hostname()) + hostSuffix;
    log->info() << "InitKeshInterfaceOrvane: creating KeshInterfaceOrvane objects";

    std::string separator = config->getString("OrvaneParamSeparator", "--orvane-param-separator", "\t", true);
    if (separator.empty())
        throw InitModuleError(cWhere, "OrvaneParamSeparator must be set to a non-null value\n");
    if (separator == "\\t")
        separator = "\t";
    KeshInterfaceOrvane::setParamSeparator(separator);

    auto addInterfaces = [&](KeshSession* keshSession, const std::string& subFeed) {
        for (const std::string& name : KeshInterfaceOrvane::interfaceNames(subFeed, exeName, appName))
        {
            for (const std::string& full : {name, name + "." + host})
            {
                auto* iface = new KeshInterfaceOrvane(*session, full, base, *log);
                iface->setLogInvocations(logInvoc);
                iface->setLogInvocationsResponse(logResponse);
                keshSession->addInterface(iface);
            }
        }
    };
    if (subFeeds != nullptr)
    {
        for (const std::string& subFeed : *subFeeds)
        {
            KeshSession* keshSession = findModule<KeshSession>(list, "KeshSession", subFeed);
            if (keshSession == nullptr)
            {
                log->warning() << cWhere << " (" << subFeed << "): could not find KeshSession object";
                continue;
            }
            addInterfaces(keshSession, subFeed);
        }
    }
    KeshSession* keshSession = requireModule<KeshSession>(list, "KeshSession", defaultGroup, cWhere);
    addInterfaces(keshSession, "");
    return true;
}
