#include "kelmora/linehandler/InitLineHandlerMulticast.h"

#include "kelmora/linecontrol/IndividualLineMap.h"
#include "kelmora/linecontrol/LineController.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/KeshMulticastLineMethods.h"
#include "kelmora/linehandler/LineError.h"
#include "kelmora/linehandler/LineHandlerModuleSupport.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>
#include <optional>
#include <vector>

InitModule<LineHandlerMulticast> initLineHandlerMulticast("LineHandlerMulticast", 800);

namespace
{

const char* const cWhere = "InitModule<LineHandlerMulticast>";
// Longest field, and longest entry, of a Listen value.
constexpr std::size_t cMaxField = 99;

using linehandler::lowerText;
using linehandler::splitText;

struct Settings
{
    std::string default1, default2;
    long udpBufferSize = LineHandlerMulticast::cDefaultUdpBufferSize;
    long readsPerIoEvent = 10;
    bool logLatency = false, compressed = false, checkClassD = false, sendPubFlush = true;
};

std::string substitute(const std::string& interface, const Settings& s)
{
    if (interface.empty() || interface == "default1")
        return s.default1;
    if (interface == "default2")
        return s.default2;
    return interface;
}

struct SubFeedModules
{
    LineDataFactory* factory;
    LineMonitor* monitor;
    Orlu<LineData>* raw;
    Orlu<LineStatus>* status;
    TarvokSession* session;
};

enum class Monitor
{
    Normal,
    Disabled
};

} // namespace

ListenEntry::Parsed ListenEntry::parse(const std::string& entry, const std::string& default1,
                                       const std::string& default2)
{
    Parsed p;
    if (entry.size() > cMaxField)
        return p;
    const std::vector<std::string> fields = splitText(entry, '/');
    // An empty interface stands for the default; an empty group or service is missing.
    if (fields.size() < 3 || fields[1].empty() || fields[2].empty())
        return p;
    Settings s;
    s.default1 = default1;
    s.default2 = default2;
    p.interface = substitute(fields[0], s);
    // A default too long for the field is refused, never cut short.
    if (p.interface.size() > cMaxField)
        return p;
    p.group = fields[1];
    p.service = fields[2];
    p.monitorOff = fields.size() > 3 && fields[3] == "monitorOff";
    p.ok = true;
    return p;
}

void setupLineControl(ModuleList* list, LineHandlerMulticast* handler, const std::string& subFeed,
                      const std::string& group, const std::string& service)
{
    if (list == nullptr || handler == nullptr)
        return;
    if (auto* kesh = findModule<KeshSession>(list, "KeshSession", subFeed))
    {
        kesh->addMethod(new KeshUnjoinMulticastGroup(handler, subFeed, group, service));
        kesh->addMethod(new KeshRejoinMulticastGroup(handler, subFeed, group, service));
        kesh->addMethod(new KeshUnjoinSubfeed(handler, subFeed, group, service));
        kesh->addMethod(new KeshRejoinSubfeed(handler, subFeed, group, service));
        kesh->addMethod(new KeshMulticastDisconnect(handler, subFeed, group, service));
    }
    if (auto* controller = findModule<LineController>(list, "LineController", subFeed))
        controller->addLineHandler(handler);
    if (auto* controller = findModule<LineController>(list, "LineController", list->defaultGroup()))
        controller->addIndividual(handler, group.c_str(), service.c_str());
}

void setupIndividualLineMap(ModuleList* list, LineHandler* handler)
{
    if (list == nullptr || handler == nullptr)
        return;
    if (auto* map = findModule<IndividualLineMap>(list, "IndividualLineMap", list->defaultGroup()))
        map->addIndividualLine(handler->getName(), handler);
}

namespace
{

class Builder
{
public:
    Builder(ModuleList* list, Log* log, Orlu<TerminateAll>* terminateAll, Orlu<MsgPubAdmin>* pubAdmin,
            const Settings& settings)
        : mList(list), mLog(log), mTerminateAll(terminateAll), mPubAdmin(pubAdmin), mSettings(settings)
    {
    }

    int count() const { return mCount; }

    // Steps of one line: build, bind, monitor, register. Throws what the
    // handler throws; nothing is registered then.
    void build(const std::string& subFeed, int number, const SubFeedModules& m, bool initMonitorOn,
               const std::string& interface, const std::string& group, const std::string& service, bool connect,
               Monitor choice)
    {
        const std::string name = group + ":" + service;
        auto handler = std::make_unique<LineHandlerMulticast>(*m.factory, *m.session, *mLog);
        handler->setName(name);
        handler->setFeedName(subFeed + ":" + std::to_string(number));
        handler->setUdpBufferSize(mSettings.udpBufferSize);
        handler->setCheckForClassD(mSettings.checkClassD);
        handler->setMulticastParams(interface, group, service, connect);
        handler->setReadsPerIoEvent(mSettings.readsPerIoEvent);
        handler->setLogInternalLatencyPerPacket(mSettings.logLatency);
        handler->setDataIsCompressed(mSettings.compressed);
        handler->setSendPubFlushMsg(mSettings.sendPubFlush);
        handler->OrluPublisher<LineData>::setDestination(m.raw);
        handler->OrluPublisher<LineStatus>::setDestination(m.status);
        handler->OrluPublisher<TerminateAll>::setDestination(mTerminateAll);
        handler->OrluPublisher<MsgPubAdmin>::setDestination(mPubAdmin);
        // Lives as long as the process, like every module.
        LineHandlerMulticast* line = handler.release();
        if (choice == Monitor::Disabled)
            m.monitor->monitorDisable(name);
        else if (initMonitorOn)
            m.monitor->monitorOn(name);
        else
            m.monitor->monitorOff(name);
        ++mCount;
        setupLineControl(mList, line, subFeed, group, service);
        setupIndividualLineMap(mList, line);
        registerModule<LineHandler>(mList, "LineHandler", line, subFeed);
    }

private:
    ModuleList* mList;
    Log* mLog;
    Orlu<TerminateAll>* mTerminateAll;
    Orlu<MsgPubAdmin>* mPubAdmin;
    const Settings& mSettings;
    int mCount = 0;
};

std::string childValue(const CfgEntry& block, const char* name)
{
    std::string value;
    if (const CfgEntry* child = block.getChild(name))
        child->getValue(value);
    return value;
}

} // namespace

template <>
bool InitModule<LineHandlerMulticast>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("LineHandlerMulticast");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    auto* log = findModule<Log>(list, "Log", defaultGroup);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    auto* terminateAll = findModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup);
    auto* pubAdmin = findModule<Orlu<MsgPubAdmin>>(list, "OrluMsgPubAdmin", defaultGroup);
    if (log == nullptr)
        throw InitModuleError(cWhere, "could not find Log object");
    if (terminateAll == nullptr)
        throw InitModuleError(cWhere, "could not find OrluTerminateAll object");
    if (pubAdmin == nullptr)
        throw InitModuleError(cWhere, "could not find OrluMsgPubAdmin object");

    const std::string input = linehandler::replayInputFile(*config);
    if (!input.empty())
    {
        log->info() << cWhere
                    << ": NOT initializing any LineHandlerMulticast objects: we encountered a --input-file parameter ("
                    << input << ")";
        return true;
    }
    if (subFeeds == nullptr)
    {
        log->verbose() << cWhere << ": NOT initializing any LineHandlerMulticast objects: no SubFeeds defined";
        return true;
    }

    Settings s;
    const std::string both = config->getString("DefaultMulticastInterface", "--default-multicast-interface", "", false);
    s.default1 = config->getString("DefaultMulticastInterface1", "--default-multicast-interface1", "", false);
    s.default2 = config->getString("DefaultMulticastInterface2", "--default-multicast-interface2", "", false);
    if (!both.empty())
        s.default1 = s.default2 = both;
    s.udpBufferSize = config->getLong("UdpBufferSize", "--udp-buffer-size", 0x40000, false);
    s.readsPerIoEvent = config->getLong("ReadsPerIoEvent", "--reads-per-io-event", 10, false);
    s.logLatency =
        config->getBool("LogInternalLatencyPerPacket", "--log-internal-latency-per-packet", false, true);
    s.compressed = config->getBool("MulticastDataIsCompressed", "--multicast-data-is-compressed", false, false);
    s.checkClassD = config->getBool("CheckForClassD", "--check-for-class-d", false, false);
    s.sendPubFlush = config->getBool("LineHandlerMulticastSendPublisherFlushMsg",
                                     "--line-handler-multicast-send-publisher-flush-msg", true, true);

    if (subFeeds->empty())
    {
        log->info() << cWhere << ": no lines have been configured to use multicast";
        return true;
    }

    Builder builder(list, log, terminateAll, pubAdmin, s);
    bool seen = false;
    for (const std::string& subFeed : *subFeeds)
    {
        ZunqConfigManager subConfig(*config);
        subConfig.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        if (!linehandler::listsLineHandlerType(subConfig, "multicast"))
            continue;
        log->info() << "got subfeed " << subFeed;
        const std::string where = std::string(cWhere) + "(" + subFeed + ")";
        int number = 0;
        SubFeedModules m{};
        m.factory = findModule<LineDataFactory>(list, "LineDataFactory", subFeed);
        m.monitor = findModule<LineMonitor>(list, "LineMonitor", subFeed);
        m.session = findModule<TarvokSession>(list, "TarvokSession", subFeed);
        m.raw = findModule<Orlu<LineData>>(list, "OrluLineDataBlock", subFeed);
        m.status = findModule<Orlu<LineStatus>>(list, "OrluLineStatus", subFeed);
        const std::pair<const void*, const char*> required[] = {{m.factory, "LineDataFactory"},
                                                                {m.monitor, "LineMonitor"},
                                                                {m.raw, "OrluLineDataBlock"},
                                                                {m.status, "OrluLineStatus"},
                                                                {m.session, "TarvokSession"}};
        for (const auto& [module, name] : required)
            if (module == nullptr)
                throw InitModuleError(where, std::string("could not find ") + name + " object");
        const bool initMonitorOn = m.monitor->getInitMonitorOn();
        const bool connectOnInit = subConfig.getBool("MulticastConnectOnInit", "", true, true);
        const bool offIsDown = subConfig.getBool("MulticastMonitorOffEqualDownOnInit", "", false, true);

        const CfgEntry* section = config->getChild(subFeed);
        if (section == nullptr)
            throw InitModuleError(where, "could not find subfeed params");
        seen = true;

        // Listen values first, then Listen blocks.
        for (const CfgEntry* child : section->getChildren())
        {
            if (child->getName() != "Listen" || child->isSection())
                continue;
            for (const std::string& value : child->values())
                for (const std::string& entry : splitText(value, ','))
                {
                    const ListenEntry::Parsed p = ListenEntry::parse(entry, s.default1, s.default2);
                    if (!p.ok)
                    {
                        log->error() << "Bad parameter: " << entry;
                        continue;
                    }
                    log->info() << " line parameter: " << p.interface << ", " << p.group << ", " << p.service;
                    // A line kept from joining keeps only itself from joining.
                    const bool connect = connectOnInit && !(p.monitorOff && offIsDown);
                    try
                    {
                        builder.build(subFeed, ++number, m, initMonitorOn, p.interface, p.group, p.service,
                                      connect, p.monitorOff ? Monitor::Disabled : Monitor::Normal);
                    }
                    catch (const LineError& e)
                    {
                        log->error() << "LineError: " << e.what();
                    }
                    catch (...)
                    {
                        log->error() << "Unknown exception";
                    }
                }
        }
        try
        {
            for (const CfgEntry* child : section->getChildren())
            {
                if (child->getName() != "Listen" || !child->isSection())
                    continue;
                const std::string interface = substitute(childValue(*child, "Interface"), s);
                const std::string group = childValue(*child, "MulticastGroup");
                const std::string service = childValue(*child, "Service");
                const CfgEntry* monitorEntry = child->getChild("Monitor");
                std::string monitor = "on";
                if (monitorEntry != nullptr)
                {
                    monitor.clear();
                    monitorEntry->getValue(monitor);
                }
                monitor = lowerText(monitor);
                const bool connect = connectOnInit && !(offIsDown && monitor == "off");
                builder.build(subFeed, ++number, m, initMonitorOn, interface, group, service, connect,
                              monitor == "on" ? Monitor::Normal : Monitor::Disabled);
            }
        }
        catch (const ConfigError& e)
        {
            log->warning() << where << ": invalid parameter: " << e.what();
        }
        catch (const LineError& e)
        {
            log->error() << where << ": LineError: " << e.what();
        }
    }
    if (builder.count() == 0)
    {
        if (seen)
            log->warning() << cWhere << ": NOT initializing any LineHandlerMulticast objects: no valid Listen parameters found";
        else
            log->info() << cWhere << ": no lines have been configured to use multicast";
    }
    return true;
}
