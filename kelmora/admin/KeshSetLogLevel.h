// The admin method "setLogLevel": sets the level of the process log by name
// (DEBUG, INFO, NOTICE, WARNING, ERROR, CRITICAL, ALERT; any case) and
// answers the name. Its factory, KeshMethodsLog (priority 900), adds it to
// the default group's KeshSession.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "zunq/admin/KeshMethod.h"

class Log;

class KeshSetLogLevel : public KeshMethod
{
public:
    explicit KeshSetLogLevel(Log& log);

    // KeshUsageError unless exactly one argument; std::runtime_error
    // "Unknown LogLevel:<NAME>" for a name not in the scale.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    Log& mLog;
};

// Factory tag.
struct KeshMethodsLog
{
};

template <>
bool InitModule<KeshMethodsLog>::createModule(ModuleList* list, ZunqConfigManager* config);
