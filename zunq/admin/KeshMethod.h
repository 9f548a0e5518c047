// An admin method: a name in lowerCamelCase, a type, a description, the
// descriptions of its arguments and results, and the thread it runs on. A
// component derives from it, implements invoke, and adds the method to the
// KeshSession of its group; the admin interface then runs invoke on the
// method's thread. A method whose creator names no thread takes its session's
// thread when it is added. A quiet method's invocations are not logged.
#pragma once

#include "zunq/admin/KeshMethodType.h"
#include "zunq/admin/KeshParamDef.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <atomic>
#include <string>
#include <vector>

class KeshMethod
{
public:
    KeshMethod(const std::string& name, KeshMethodType type, const std::string& description);
    virtual ~KeshMethod();

    KeshMethod(const KeshMethod&) = delete;
    KeshMethod& operator=(const KeshMethod&) = delete;

    void addArgParamDef(const std::string& name, const std::string& help, const std::string& defaultValue,
                        bool required);
    void addResultParamDef(const std::string& name, const std::string& help);

    const std::string& getName() const { return mName; }
    KeshMethodType getType() const { return mType; }
    const std::string& getDescription() const { return mDescription; }
    const std::vector<KeshParamDef>& getArgParamDefs() const { return mArgs; }
    const std::vector<KeshParamDef>& getResultParamDefs() const { return mResults; }

    // The name of the thread the method runs on; empty until set.
    const std::string& getThread() const { return mThread; }
    void setThread(const std::string& thread) { mThread = thread; }

    bool getQuiet() const { return mQuiet.load(std::memory_order_relaxed); }
    void setQuiet(bool quiet) { mQuiet.store(quiet, std::memory_order_relaxed); }

    // Name, type, description, then each argument and result with its help.
    void getFullHelp(std::string& help) const;

    // Reads `in`, writes its results to `out`; throws KeshUsageError on wrong arguments.
    virtual void invoke(const KeshParamList& in, KeshParamList& out) = 0;

private:
    const std::string mName;
    const KeshMethodType mType;
    const std::string mDescription;
    std::vector<KeshParamDef> mArgs;
    std::vector<KeshParamDef> mResults;
    std::string mThread;
    std::atomic<bool> mQuiet{false};
};
