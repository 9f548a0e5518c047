// Publishes admin methods to the remote-administration relay: each method of
// a KeshSession becomes the subject "<base>.<interface>.<method in lower
// case>" on the admin session, served by a KeshMethodInvoker that runs it on
// the thread of the method's session. The factory (priority 201) gives each
// KeshSession its interfaces: per sub-feed S the names S, the part of S before
// its first "_", the executable, the application and "all"; in the default
// group the executable, the application and "all"; each name N also as
// N.<host>. Built on the start-up thread; afterwards only read.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "zunq/admin/KeshInterface.h"

#include <list>
#include <map>
#include <memory>
#include <string>

class Log;
class TarvokSession;
struct KeshInterfaceOrvaneImpl;

class KeshInterfaceOrvane : public KeshInterface
{
public:
    KeshInterfaceOrvane(TarvokSession& session, const std::string& name, const std::string& subjectBase, Log& log);
    ~KeshInterfaceOrvane() override;

    // KeshInterface
    void addMethod(KeshMethod* method) override;
    void setLogInvocations(bool on) override;
    void setLogInvocationsResponse(bool on) override;

    // `target`: the session of the method's thread, null when it has none.
    virtual void AddMethod(KeshMethod* method, TarvokSession* target);

    const std::string& getName() const;
    // The subjects published so far, in the order added.
    const std::list<std::string>& getSubjects() const;

    static void setParamSeparator(const std::string& separator);
    static const std::string& getParamSeparator();

    // The interface names of a group (without the host twins): `subFeed`
    // empty for the default group.
    static std::list<std::string> interfaceNames(const std::string& subFeed, const std::string& exeName,
                                                 const std::string& appName);

private:
    std::unique_ptr<KeshInterfaceOrvaneImpl> mImpl;
};

template <>
bool InitModule<KeshInterfaceOrvane>::createModule(ModuleList* list, ZunqConfigManager* config);
