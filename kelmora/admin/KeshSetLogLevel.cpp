#include "kelmora/admin/KeshSetLogLevel.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/admin/KeshUsageError.h"
#include "zunq/log/Log.h"

#include <cctype>
#include <stdexcept>

namespace
{

struct LevelName
{
    const char* name;
    LogLevels level;
};

const LevelName cLevels[] = {
    {"DEBUG", static_cast<LogLevels>(6)},   {"INFO", static_cast<LogLevels>(5)},  {"NOTICE", static_cast<LogLevels>(4)},
    {"WARNING", static_cast<LogLevels>(3)}, {"ERROR", static_cast<LogLevels>(2)}, {"CRITICAL", static_cast<LogLevels>(1)},
    {"ALERT", static_cast<LogLevels>(0)},
};

} // namespace

KeshSetLogLevel::KeshSetLogLevel(Log& log)
    : KeshMethod("setLogLevel", KESH_METHOD_ACTION_INFO, "Update level of log messages."), mLog(log)
{
    addArgParamDef("Level", "Level to change. Can be one of:    - Error\n    - Warning\n    - Info\n    - Debug\n",
                   "Debug", true);
    addResultParamDef("Setting", "New setting for level");
}

void KeshSetLogLevel::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = in.getParam(std::string("Level"));
    if (param == nullptr)
        param = in.getParam(std::size_t{0});
    if (param == nullptr)
        throw KeshUsageError("KESH usage");
    std::string name = param->getValue();
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const LevelName& l : cLevels)
    {
        if (name == l.name)
        {
            mLog.setLevel(l.level);
            out.add("Level", name);
            return;
        }
    }
    throw std::runtime_error("Unknown LogLevel:" + name);
}

InitModule<KeshMethodsLog> initKeshMethodsLog("KeshMethodsLog", 900);

template <>
bool InitModule<KeshMethodsLog>::createModule(ModuleList* list, ZunqConfigManager*)
{
    const std::string where = "InitModule<KeshMethodsLog>";
    setName("KeshMethodsLog");
    if (list == nullptr)
        throw InitModuleError(where, "no module list");
    Log* log = requireModule<Log>(list, "Log", list->defaultGroup(), where);
    KeshSession* session = requireModule<KeshSession>(list, "KeshSession", list->defaultGroup(), where);
    log->info() << where << ": creating KeshMethod objects";
    return session->addMethod(new KeshSetLogLevel(*log));
}
