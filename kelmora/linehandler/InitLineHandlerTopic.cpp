#include "kelmora/bus/MsgZunqPublisher.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerTopic.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/admin/KeshUsageError.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cctype>
#include <list>
#include <memory>
#include <sstream>
#include <vector>

InitModule<LineHandlerTopic> initLineHandlerTopic("LineHandlerTopic", 801);

namespace
{

// "disconnect": leaves the line's topic when it is subscribed.
class KeshTopicDisconnect : public KeshMethod
{
public:
    explicit KeshTopicDisconnect(LineHandlerTopic* handler)
        : KeshMethod("disconnect", KESH_METHOD_ACTION_INFO, "Disconnect (unsubscribe) Topic."), mHandler(handler)
    {
        addResultParamDef("Message", "Message related to this operation");
    }
    void invoke(const KeshParamList& args, KeshParamList& results) override
    {
        if (args.size() != 0)
            throw KeshUsageError("KESH usage");
        mHandler->disconnect();
        results.add("Message", mHandler->getFeedName() + " disconnected.");
    }

private:
    LineHandlerTopic* mHandler;
};

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

constexpr std::size_t cMaxEntry = 99;

} // namespace

template <>
bool InitModule<LineHandlerTopic>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<LineHandlerTopic>";
    setName("LineHandlerTopic");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    auto* terminateAll = requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup, where);
    auto* pubAdmin = requireModule<Orlu<MsgPubAdmin>>(list, "OrluMsgPubAdmin", defaultGroup, where);

    std::string input = config->getString("InputFile", "--input-file", "");
    std::string overridden;
    if (config->getOptArg("--input", overridden))
        input = overridden;
    if (!input.empty() && input != "none")
    {
        log->info() << where << ": NOT initializing any LineHandlerTopic objects: we encountered a --input-file "
                    << "parameter (" << input << ")";
        return true;
    }
    if (subFeeds == nullptr)
    {
        log->verbose() << where << ": NOT initializing any LineHandlerTopic objects: no SubFeeds defined";
        return true;
    }
    if (subFeeds->empty())
    {
        log->info() << where << ": no lines have been configured to use multicast";
        return true;
    }

    std::string interface1 = config->getString("DefaultMulticastInterface1", "--default-multicast-interface1", "");
    std::string interface2 = config->getString("DefaultMulticastInterface2", "--default-multicast-interface2", "");
    const std::string interface = config->getString("DefaultMulticastInterface", "--default-multicast-interface", "");
    if (!interface.empty())
        interface1 = interface2 = interface;
    const long udpBufferSize = config->getLong("UdpBufferSize", "--udp-buffer-size", 262144);
    const long readsPerIoEvent = config->getLong("ReadsPerIoEvent", "--reads-per-io-event", 10);
    const bool logLatency =
        config->getBool("LogInternalLatencyPerPacket", "--log-internal-latency-per-packet", false);
    // One command-line option sets this key and the multicast lines' flush
    // key alike: "--line-handler-multicast-send-publisher-flush-msg" switches
    // start-batch and flush messages for topic and multicast lines together.
    const bool sendFlush = config->getBool("LineHandlerTopicSendPublisherFlushMsg",
                                           "--line-handler-multicast-send-publisher-flush-msg", true);

    bool anyListenProcessed = false;
    bool someListenMissing = false;
    for (const std::string& subFeed : *subFeeds)
    {
        ZunqConfigManager subConfig(*config);
        subConfig.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        const CfgEntry* types = subConfig.getChild("LineHandlerType");
        bool topic = false;
        if (types != nullptr)
            for (const std::string& type : types->values())
                topic = topic || lower(type) == "topic";
        if (!topic)
            continue;
        log->info() << "got subfeed " << subFeed;
        const std::string prefix = where + "(" + subFeed + ")";

        auto* factory = findModule<LineDataFactory>(list, "LineDataFactory", subFeed);
        auto* monitor = findModule<LineMonitor>(list, "LineMonitor", subFeed);
        auto* block = findModule<Orlu<LineData>>(list, "OrluLineDataBlock", subFeed);
        auto* plain = findModule<Orlu<LineData>>(list, "OrluLineData", subFeed);
        auto* statuses = findModule<Orlu<LineStatus>>(list, "OrluLineStatus", subFeed);
        auto* kesh = findModule<KeshSession>(list, "KeshSession", subFeed);
        auto* session = findModule<TarvokSession>(list, "TarvokSession", subFeed);
        auto* heartbeats = findModule<Orlu<LineHeartbeat>>(list, "OrluLineHeartbeat", subFeed);
        auto* publisher = findModule<MsgZunqPublisher>(list, "MsgZunqPublisher", subFeed);
        if (factory == nullptr)
            throw InitModuleError(prefix, "could not find LineDataFactory object");
        if (monitor == nullptr)
            throw InitModuleError(prefix, "could not find LineMonitor object");
        if (block == nullptr && plain == nullptr)
            throw InitModuleError(prefix, "could not find OrluLineDataBlock object");
        if (statuses == nullptr)
            throw InitModuleError(prefix, "could not find OrluLineStatus object");
        if (kesh == nullptr)
            throw InitModuleError(prefix, "could not find KeshSession object");
        if (session == nullptr)
            throw InitModuleError(prefix, "could not find TarvokSession object");
        if (heartbeats == nullptr)
            throw InitModuleError(prefix, "could not find OrluLineHeartbeat object");
        const bool monitorInitOn = monitor->getInitMonitorOn();

        const long channelId = subConfig.getLong("LiveChannelId", "", 0);
        unsigned long seqNum = 0;
        unsigned long subSeqNum = 0;
        if (publisher != nullptr)
        {
            publisher->getRecoverySeqNums(static_cast<unsigned short>(channelId), seqNum, subSeqNum);
            log->info() << "Channel|" << channelId << "| recover from seqNum|" << seqNum << "|";
        }
        const std::uint64_t startingSeqNum = seqNum;

        const CfgEntry* section = config->getChild(subFeed);
        if (section == nullptr)
            throw InitModuleError(prefix, "could not find subfeed params");
        const CfgEntry* listen = section->getChild("Listen");
        if (listen == nullptr)
        {
            someListenMissing = true;
            continue;
        }
        const std::string topicName = subConfig.getString("Topic", "", "");
        const bool useBlock = subConfig.getBool("TcpUseLineDataBlock", "", false);

        for (const std::string& value : listen->values())
        {
            anyListenProcessed = true;
            LineHandlerTopic* last = nullptr;
            for (const std::string& entry : split(value, ','))
            {
                if (entry.size() > cMaxEntry)
                {
                    log->error() << "Bad parameter: " << entry;
                    break;
                }
                const std::vector<std::string> fields = split(entry, '/');
                if (fields.size() < 5)
                {
                    log->error() << "Bad parameter: " << entry;
                    continue;
                }
                std::string ifText = fields[0];
                if (ifText == "default1")
                    ifText = interface1;
                else if (ifText == "default2")
                    ifText = interface2;
                const bool monitorOff = fields.size() > 5 && fields[5] == "monitorOff";
                log->info() << " line parameter: " << ifText << ", " << fields[1] << ", " << fields[2] << ", "
                            << fields[3] << ", " << fields[4];
                const std::string lineName = fields[1] + ":" + fields[2];
                std::unique_ptr<LineHandlerTopic> handler;
                try
                {
                    handler = std::make_unique<LineHandlerTopic>(*factory, *session, *log);
                    handler->setName(lineName);
                    handler->setFeedName(subFeed);
                    handler->setUdpBufferSize(udpBufferSize);
                    handler->setTopicParams(topicName, fields[1], fields[2], fields[3], fields[4], startingSeqNum);
                    handler->setReadsPerIoEvent(readsPerIoEvent);
                    handler->setLogInternalLatencyPerPacket(logLatency);
                    handler->setSendPubFlushMsg(sendFlush);
                    handler->setLineMonitor(monitor);
                    handler->setMsgRecoveryOption(channelId, publisher);
                }
                catch (LineError& e)
                {
                    // Released here: nothing refers to a handler given up.
                    log->error() << "LineError: " << e.what();
                    continue;
                }
                catch (...)
                {
                    log->error() << "Unknown exception";
                    continue;
                }
                LineHandlerTopic* h = handler.release();
                if (Runnable* runnable = session->getRunnable())
                {
                    log->info() << "InitModule<LineHandlerTopic>::createModeule(): waiting for APP_READY";
                    runnable->getOrluThreadStatus()->subscribe(h);
                }
                h->LineHandler::OrluPublisher<LineData>::setDestination(useBlock && block != nullptr ? block
                                                                        : plain != nullptr           ? plain
                                                                                                     : block);
                h->OrluPublisher<LineStatus>::setDestination(statuses);
                h->OrluPublisher<LineHeartbeat>::setDestination(heartbeats);
                h->OrluPublisher<TerminateAll>::setDestination(terminateAll);
                h->OrluPublisher<MsgPubAdmin>::setDestination(pubAdmin);
                if (monitorOff)
                    monitor->monitorDisable(lineName);
                else if (monitorInitOn)
                    monitor->monitorOn(lineName);
                else
                    monitor->monitorOff(lineName);
                kesh->addMethod(new KeshTopicDisconnect(h));
                last = h;
            }
            if (last != nullptr)
                registerModule<LineHandler>(list, "LineHandler", last, subFeed);
        }
    }
    if (!anyListenProcessed && someListenMissing)
        log->warning() << where << ": NOT initializing any LineHandlerTopic objects: no valid Listen parameters found";
    return true;
}
