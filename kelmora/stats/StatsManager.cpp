#include "kelmora/stats/StatsManager.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>

namespace
{

const std::string cWhere = "InitModule<StatsManager>";

// The one argument of a method that takes exactly one: by name, else the first.
const KeshParam* onlyArgument(const KeshParamList& in, const std::string& name)
{
    if (in.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = in.getParam(name);
    if (param == nullptr)
        param = in.getParam(std::size_t{0});
    if (param == nullptr)
        throw KeshUsageError("KESH usage");
    return param;
}

} // namespace

StatsManager::StatsManager() : OrluSubscriber<LineAdmin>("StatsManager") {}

StatsManager::~StatsManager() = default;

void StatsManager::onData(const Orlu<LineAdmin>&, const std::string&, const LineAdmin& data)
{
    if (data.getAction() == LineAdmin::RESET)
        reset(true);
}

void StatsManager::add(StatsReporter* reporter)
{
    if (reporter != nullptr)
        mReporters.push_back(reporter);
}

void StatsManager::print(unsigned int intervalSeconds)
{
    for (StatsReporter* reporter : mReporters)
        reporter->print(intervalSeconds);
}

void StatsManager::reset(bool full)
{
    for (StatsReporter* reporter : mReporters)
        reporter->reset(full);
}

std::optional<unsigned int> parseStatsInterval(const std::string& text)
{
    // Eight digits already exceed the limit; longer text cannot overflow below.
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    unsigned long seconds = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return std::nullopt;
        seconds = seconds * 10 + static_cast<unsigned long>(c - '0');
    }
    if (seconds < 1 || seconds > StatsManager::cMaxIntervalSeconds)
        return std::nullopt;
    return static_cast<unsigned int>(seconds);
}

StatsHandler::StatsHandler(StatsManager& stats, Log& log) : mStats(&stats), mLog(&log) {}

void StatsHandler::onTimer(TarvokTimer* timer)
{
    unsigned int interval = 0;
    if (timer != nullptr)
        timer->getInterval(interval);
    mStats->print(interval < 1000 ? 1 : interval / 1000);
}

KeshSetStatsInterval::KeshSetStatsInterval(StatsManager& stats, TarvokTimer& timer)
    : KeshMethod("setStatsInterval", KESH_METHOD_ACTION_INFO, "Set the interval for reporting statistics."),
      mStatsManager(&stats), mTimer(&timer)
{
    addArgParamDef("Interval", "Seconds between statistics reports", "60", true);
    addResultParamDef("Message", "Simple reply");
}

void KeshSetStatsInterval::invoke(const KeshParamList& in, KeshParamList& out)
{
    const std::optional<unsigned int> seconds = parseStatsInterval(onlyArgument(in, "Interval")->getValue());
    // A zero or garbled period would stop the reports for good while claiming success.
    if (!seconds)
        throw KeshUsageError("KESH usage");
    mTimer->setInterval(*seconds * 1000u);
    mStatsManager->reset(false);
    out.add("Message", "Statistics interval set");
}

KeshResetStats::KeshResetStats(StatsManager& stats, TarvokTimer& timer)
    : KeshMethod("resetStats", KESH_METHOD_ACTION, "Reset all statistics managed by the StatsManager object."),
      mStatsManager(&stats), mTimer(&timer)
{
    addResultParamDef("Message", "Simple reply");
}

void KeshResetStats::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 0)
        throw KeshUsageError("KESH usage");
    mTimer->reset();
    mStatsManager->reset(true);
    out.add("Message", "Statistics reset");
}

InitModule<StatsManager> initStatsManager("StatsManager", 210);

template <>
bool InitModule<StatsManager>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("StatsManager");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    KeshSession* kesh = requireModule<KeshSession>(list, "KeshSession", defaultGroup, cWhere);
    TarvokSession* session = requireModule<TarvokSession>(list, "TarvokSessionDefault", defaultGroup, cWhere);

    // Read as text so that a zero, negative or garbled period is refused, not wrapped.
    const std::string intervalText = config->getString("StatsInterval", "--stats-interval", "600");
    const std::optional<unsigned int> interval = parseStatsInterval(intervalText);
    if (!interval)
        throw ConfigError(cWhere + ": StatsInterval |" + intervalText + "| is not a whole number of seconds from 1 to "
                          + std::to_string(StatsManager::cMaxIntervalSeconds));
    config->getString("StatsResetTime", "--stats-reset-time", "00:00");

    log->info() << cWhere << ": adding StatsHandler";
    auto* stats = new StatsManager();
    auto* timer = new TarvokTimer();
    auto* handler = new StatsHandler(*stats, *log);
    timer->create(session, handler, *interval * 1000u, nullptr);

    if (auto* admin = findModule<Orlu<LineAdmin>>(list, "OrluLineAdmin", defaultGroup))
        admin->subscribe(stats);
    if (subFeeds != nullptr)
        for (const std::string& group : *subFeeds)
            if (auto* admin = findModule<Orlu<LineAdmin>>(list, "OrluLineAdmin", group))
                admin->subscribe(stats);

    registerModule<StatsManager>(list, "StatsManager", stats, defaultGroup);

    log->info() << cWhere << ": creating KeshSetStatsInterval object";
    kesh->addMethod(new KeshSetStatsInterval(*stats, *timer));
    log->info() << cWhere << ": creating KeshResetStats object";
    kesh->addMethod(new KeshResetStats(*stats, *timer));
    return true;
}
