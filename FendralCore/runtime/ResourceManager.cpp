#include "FendralCore/runtime/ResourceManager.h"

#include "FendralCore/runtime/LoggerRegistryLink.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <limits>
#include <new>

namespace
{
// Set by the message dispatcher on its own thread.
thread_local bool t_runsDispatcher = false;

constexpr int32 PIPELINE_STAGE_MAX = 30;
constexpr int32 PIPELINE_ENTRY_SIZE_MIN = 2376; // one framework message
constexpr int32 PIPELINE_ENTRY_SIZE_MAX = 32768;
constexpr int32 PIPELINE_ENTRY_NUM_MAX = 1000000;

UInt128 nameKey(const char* name)
{
    ResourceName clean;
    ResourceManager::copyResourceName(clean, name);
    return UInt128(clean, false);
}

template <typename T>
std::unique_ptr<T[]> allocRecords(int32 count)
{
    // Value-initialised: every record starts all zero, RES_UNUSED.
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<size_t>(count)]());
}

size_t nameLength(const ResourceName& name)
{
    return strnlen(name, sizeof(ResourceName) - 1);
}

template <typename Param>
bool usesPipeline(const Param& param)
{
    return param.channelType == PIPELINE_CHANNEL;
}
} // namespace

const UInt128 ResourceManager::MIDDLEWARE_DISPATCHER_ID = nameKey(ResourceManager::MIDDLEWARE_DISPATCHER_THREAD);

namespace
{

// The application logger finds the LOGGER thread's queue and the channels'
// masking callbacks through these.
int32 findLoggerQueue(MessageQueue<FwIntMessage>*& queue)
{
    queue = nullptr;
    ResourceName name = "LOGGER";
    ThreadResource* logger = nullptr;
    if (ResourceManager::getInst().getThreadRes(name, &logger) != 0 || logger == nullptr)
        return -1;
    queue = logger->msgQueuePtrArray[MQUEUE_NORMAL];
    return 0;
}

MsgMaskFunc findMaskFunc(const char* channelName, ExtChannelType channelType)
{
    ResourceName name{};
    std::strncpy(name, channelName, sizeof(name) - 1);
    ResourceManager& registry = ResourceManager::getInst();
    switch (channelType)
    {
    case TCP_CHANNEL: {
        TcpConnResource* res = nullptr;
        return registry.getTcpConnRes(name, &res, true) == 0 && res != nullptr ? res->msgMaskFuncPtr : nullptr;
    }
    case UDP_CHANNEL: {
        UdpConnResource* res = nullptr;
        return registry.getUdpConnRes(name, &res) == 0 && res != nullptr ? res->msgMaskFuncPtr : nullptr;
    }
    case MSG_TOPIC_CHANNEL: {
        MsgTopicResource* res = nullptr;
        return registry.getMsgTopicRes(name, &res) == 0 && res != nullptr ? res->msgMaskFuncPtr : nullptr;
    }
    default:
        return nullptr;
    }
}

} // namespace

ResourceManager& ResourceManager::getInst()
{
    // Never destroyed: threads that outlive main's return may still look up.
    static ResourceManager* const instance = [] {
        auto* registry = new ResourceManager(GlobalData::getInst().getConfigManager());
        LoggerRegistryLink::setFindLoggerQueue(findLoggerQueue);
        LoggerRegistryLink::setFindMaskFunc(findMaskFunc);
        return registry;
    }();
    return *instance;
}

ResourceManager::ResourceManager(const ConfigManager* configMgr)
    : m_paramValidator(configMgr), m_configMgrPtr(configMgr), m_loggerPtr(GlobalData::getInst().getLogger())
{
    m_errorInResource = m_paramValidator.errorInValidator(m_lastErrorCodeInRes);
    m_thresResNumMax = readLimit(THREAD_RES_NUM_MAX_LABEL, THREAD_RES_NUM_MAX);
    m_tcpConnResNumMax = readLimit(TCP_CONN_RES_NUM_MAX_LABEL, TCP_CONN_RES_NUM_MAX);
    m_udpConnResNumMax = readLimit(UDP_CONN_RES_NUM_MAX_LABEL, UDP_CONN_RES_NUM_MAX);
    m_ipcResNumMax = readLimit(IPC_RES_NUM_MAX_LABEL, IPC_RES_NUM_MAX);
    m_pipelineResNumMax = readLimit(PIPELINE_RES_NUM_MAX_LABEL, PIPELINE_RES_NUM_MAX);
    const int64 topics = static_cast<int64>(readLimit(MSG_TOPIC_PUB_NUM_MAX_LABEL, MSG_TOPIC_PUB_NUM_MAX)) +
                         readLimit(MSG_TOPIC_SUB_NUM_MAX_LABEL, MSG_TOPIC_SUB_NUM_MAX);
    m_msgTopicResNumMax = static_cast<int32>(std::min<int64>(topics, std::numeric_limits<int32>::max()));

    m_threadResAryPtr = allocRecords<ThreadResource>(m_thresResNumMax);
    m_tcpConnResAryPtr = allocRecords<TcpConnResource>(m_tcpConnResNumMax);
    m_udpConnResAryPtr = allocRecords<UdpConnResource>(m_udpConnResNumMax);
    m_ipcResAryPtr = allocRecords<IpcResource>(m_ipcResNumMax);
    m_msgTopicResAryPtr = allocRecords<MsgTopicResource>(m_msgTopicResNumMax);
    m_pipelineResAryPtr = allocRecords<PipelineResource>(m_pipelineResNumMax);
    // A kind whose records could not be allocated registers nothing.
    if (!m_threadResAryPtr)
        m_thresResNumMax = 0;
    if (!m_tcpConnResAryPtr)
        m_tcpConnResNumMax = 0;
    if (!m_udpConnResAryPtr)
        m_udpConnResNumMax = 0;
    if (!m_ipcResAryPtr)
        m_ipcResNumMax = 0;
    if (!m_msgTopicResAryPtr)
        m_msgTopicResNumMax = 0;
    if (!m_pipelineResAryPtr)
        m_pipelineResNumMax = 0;
    m_tcpConnStore.setMapCapacity(m_tcpConnResNumMax);
}

ResourceManager::~ResourceManager() = default;

int32 ResourceManager::readLimit(const char* label, int32 defaultValue) const
{
    int32 value = defaultValue;
    if (m_configMgrPtr != nullptr && m_configMgrPtr->getInt32ConfigPara(label, value, defaultValue) != 0)
        value = defaultValue;
    return value < 1 ? defaultValue : value;
}

void ResourceManager::setDispatcherThread(bool runsDispatcher)
{
    t_runsDispatcher = runsDispatcher;
}

bool ResourceManager::isDispatcherThread()
{
    return t_runsDispatcher;
}

// --- names ---

int32 ResourceManager::isValidResName(const ResourceName& resName) const
{
    return fendral::detail::checkResourceName(resName);
}

void ResourceManager::copyResourceName(ResourceName& destResName, const char* srcResName)
{
    if (srcResName == nullptr)
        return;
    const size_t len = strnlen(srcResName, sizeof(ResourceName) - 1);
    std::memset(destResName, 0, sizeof(ResourceName));
    std::memcpy(destResName, srcResName, len);
}

bool ResourceManager::anyErrorInResource(int32& lastErrorCode) const
{
    if (m_errorInResource)
        lastErrorCode = m_lastErrorCodeInRes;
    return m_errorInResource;
}

// --- parameter records ---

void ResourceManager::initThreadParam(ThreadParam& param)
{
    m_paramValidator.initThreadParam(param);
    if (m_threadInitParamFuncPtr != nullptr)
        m_threadInitParamFuncPtr(param);
}

void ResourceManager::initTcpConnParam(TcpConnParam& param)
{
    m_paramValidator.initTcpConnParam(param);
    if (m_tcpConnInitParamFuncPtr != nullptr)
        m_tcpConnInitParamFuncPtr(param);
    if (GlobalData::getInst().m_runAsFwMiddleware)
        copyResourceName(param.threadNameTxt, MIDDLEWARE_DISPATCHER_THREAD);
}

void ResourceManager::initUdpConnParam(UdpConnParam& param)
{
    m_paramValidator.initUdpConnParam(param);
    if (m_udpConnInitParamFuncPtr != nullptr)
        m_udpConnInitParamFuncPtr(param);
    if (GlobalData::getInst().m_runAsFwMiddleware)
        copyResourceName(param.threadNameTxt, MIDDLEWARE_DISPATCHER_THREAD);
}

void ResourceManager::initIpcParam(IpcParam& param)
{
    m_paramValidator.initIpcParam(param);
    if (m_ipcInitParamFuncPtr != nullptr)
        m_ipcInitParamFuncPtr(param);
    if (GlobalData::getInst().m_runAsFwMiddleware)
        copyResourceName(param.threadNameTxt, MIDDLEWARE_DISPATCHER_THREAD);
}

void ResourceManager::initMsgTopicParam(MsgTopicParam& param)
{
    m_paramValidator.initMsgTopicParam(param);
    if (m_msgTopicInitParamFuncPtr != nullptr)
        m_msgTopicInitParamFuncPtr(param);
    if (GlobalData::getInst().m_runAsFwMiddleware)
        copyResourceName(param.threadNameTxt, MIDDLEWARE_DISPATCHER_THREAD);
}

void ResourceManager::initPipelineParam(PipelineParam& param)
{
    m_paramValidator.initPipelineParam(param);
    if (m_pipelineInitParamFuncPtr != nullptr)
        m_pipelineInitParamFuncPtr(param);
}

// --- checks ---

int32 ResourceManager::validateThreadParam(const ThreadParam& param)
{
    if (isValidResName(param.threadNameTxt) != 0)
        return -1;
    // The thread record holds THREAD_PIPELINE_MAX pipeline entries: no check
    // an application installs can let more through.
    if (param.numOfPipeline < 0 || param.numOfPipeline > THREAD_PIPELINE_MAX)
        return fwFail(RES_THREAD_NUM_PL_INVALID, -1);
    if (m_threadValidateParamFuncPtr != nullptr)
        return m_threadValidateParamFuncPtr(param);
    return m_paramValidator.checkThreadParam(param);
}

int32 ResourceManager::validateTcpConnParam(const TcpConnParam& param)
{
    if (isValidResName(param.connNameTxt) != 0 || isValidResName(param.threadNameTxt) != 0)
        return -1;
    if (usesPipeline(param) && isValidResName(param.pipelineNameTxt) != 0)
        return -1;
    if (m_tcpConnValidateParamFuncPtr != nullptr)
        return m_tcpConnValidateParamFuncPtr(param);
    return m_paramValidator.checkTcpConnParam(param);
}

int32 ResourceManager::validateUdpConnParam(const UdpConnParam& param)
{
    if (isValidResName(param.connNameTxt) != 0 || isValidResName(param.threadNameTxt) != 0)
        return -1;
    if (usesPipeline(param) && isValidResName(param.pipelineNameTxt) != 0)
        return -1;
    if (m_udpConnValidateParamFuncPtr != nullptr)
        return m_udpConnValidateParamFuncPtr(param);
    return m_paramValidator.checkUdpConnParam(param);
}

int32 ResourceManager::validateIpcParam(const IpcParam& param)
{
    if (isValidResName(param.ipcNameTxt) != 0 || isValidResName(param.threadNameTxt) != 0)
        return -1;
    if (m_ipcValidateParamFuncPtr != nullptr)
        return m_ipcValidateParamFuncPtr(param);
    return m_paramValidator.checkIpcParam(param);
}

int32 ResourceManager::validatePipelineParam(const PipelineParam& param)
{
    if (isValidResName(param.pipelineNameTxt) != 0)
        return -1;
    if (param.numStages < 1 || param.numStages > PIPELINE_STAGE_MAX)
        return fwFail(RES_PL_NUM_STAGE_INVALID, -1);
    if (param.entrySize < PIPELINE_ENTRY_SIZE_MIN || param.entrySize > PIPELINE_ENTRY_SIZE_MAX)
        return fwFail(RES_PL_ENTRY_SIZE_INVALID, -1);
    if (param.numEntry < 1 || param.numEntry > PIPELINE_ENTRY_NUM_MAX)
        return fwFail(RES_PL_NUM_ENTRY_INVALID, -1);
    if (m_pipelineValidateParamFuncPtr != nullptr)
        return m_pipelineValidateParamFuncPtr(param);
    return m_paramValidator.checkPipelineParam(param);
}

int32 ResourceManager::validateMsgTopicParam(const MsgTopicParam& param, bool& directMcastAssigned,
                                             in_addr_t& dataMcast, in_addr_t& ackMcast, int32& pos,
                                             IpAddress& interfaceAddrTxt)
{
    directMcastAssigned = false;
    dataMcast = 0;
    ackMcast = 0;
    pos = -1;
    std::memset(interfaceAddrTxt, 0, sizeof(IpAddress));
    if (isValidResName(param.topicNameTxt) != 0 || isValidResName(param.threadNameTxt) != 0)
        return -1;
    if (usesPipeline(param) && isValidResName(param.pipelineNameTxt) != 0)
        return -1;
    if (m_msgTopicValidateParamFuncPtr != nullptr)
        return m_msgTopicValidateParamFuncPtr(param);
    const int32 result =
        m_paramValidator.checkMsgTopicParam(param, directMcastAssigned, dataMcast, ackMcast, pos, interfaceAddrTxt);
    if (result != 0 || !directMcastAssigned)
        return result;
    return compareWithRegisteredTopics(param, dataMcast, ackMcast);
}

int32 ResourceManager::compareWithRegisteredTopics(const MsgTopicParam& param, in_addr_t dataMcast,
                                                   in_addr_t ackMcast)
{
    const char* name = param.topicNameTxt;
    const uint16 dataPort = param.topicDataPortNum;
    const uint16 ackPort = param.topicAckPortNum;
    char dataTxt[INET_ADDRSTRLEN];
    char ackTxt[INET_ADDRSTRLEN];
    const in_addr dataAddr{dataMcast};
    const in_addr ackAddr{ackMcast};
    if (inet_ntop(AF_INET, &dataAddr, dataTxt, sizeof(dataTxt)) == nullptr)
        dataTxt[0] = '\0';
    if (inet_ntop(AF_INET, &ackAddr, ackTxt, sizeof(ackTxt)) == nullptr)
        ackTxt[0] = '\0';

    for (int32 i = 0; i < m_msgTopicResAryIdx; ++i)
    {
        const MsgTopicResource& other = m_msgTopicResAryPtr[i];
        if (other.status.load() == RES_UNUSED || !other.directMcastAssigned)
            continue;
        const bool dataIsItsAck = dataMcast == other.ackMcast && dataPort == other.regParam.topicAckPortNum;
        const bool ackIsItsData = ackMcast == other.dataMcast && ackPort == other.regParam.topicDataPortNum;
        const bool sameData = dataMcast == other.dataMcast && dataPort == other.regParam.topicDataPortNum;
        const bool sameAck = ackMcast == other.ackMcast && ackPort == other.regParam.topicAckPortNum;
        if (dataIsItsAck)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "The direct assignment of the data channel [%s:%d] for topic [%.16s] is the same as the ack channel "
                  "of the registered topic {%.16s].",
                  dataTxt, dataPort, name, other.topicNameTxt);
            return fwFail(RES_TOPIC_MADDR_USED_IN_OTHER, -1);
        }
        if (ackIsItsData)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "The direct assignment of the ack channel [%s:%d] for topic [%.16s] is the same as the data channel "
                  "of the registered topic {%.16s].",
                  ackTxt, ackPort, name, other.topicNameTxt);
            return fwFail(RES_TOPIC_MADDR_USED_IN_OTHER, -1);
        }
        if (sameData && sameAck)
            return fwFail(RES_TOPIC_MADDR_USED_IN_OTHER, -2);
        if (sameData || sameAck)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "Not both of the direct assignment of data channel [%s:%d] and ack channel [%s:%d] for topic [%.16s] "
                  "match the registered topic [%.16s].",
                  dataTxt, dataPort, ackTxt, ackPort, name, other.topicNameTxt);
            return fwFail(RES_TOPIC_MADDR_USED_IN_OTHER, -1);
        }
    }
    return 0;
}

template <typename Param, typename Validate>
int32 ResourceManager::validateWithSubnet(const Param& param, IpAddress& interfaceAddrTxt, Validate validate)
{
    std::memset(interfaceAddrTxt, 0, sizeof(IpAddress));
    if (validate(param) == 0)
    {
        std::memcpy(interfaceAddrTxt, param.interfaceTxt, sizeof(IpAddress) - 1);
        return 0;
    }
    if (FrameworkErrno::m_fwErrno != RES_INT_ADDR_NOT_EXIST)
        return -1;
    // No local interface has that address: it names a subnet. The record is
    // checked again in full with the matching address, so that no check is
    // skipped for a subnet.
    IpAddress resolved;
    if (!ResParamValidator::getInterfaceAddrBySubnet(param.interfaceTxt, resolved))
        return fwFail(RES_INT_ADDR_NOT_EXIST, -1);
    Param withAddress = param;
    std::memcpy(withAddress.interfaceTxt, resolved, sizeof(IpAddress));
    if (validate(withAddress) != 0)
        return -1;
    std::memcpy(interfaceAddrTxt, resolved, sizeof(IpAddress));
    return 0;
}

// --- registration ---

int32 ResourceManager::claimPipelineStages(const ThreadParam& param, bool commit, bool& stageTaken)
{
    PipelineResource* pipelines[THREAD_PIPELINE_MAX] = {};
    stageTaken = false;
    for (int32 i = 0; i < param.numOfPipeline; ++i)
    {
        const PipelineInfo& info = param.pipelineInfo[i];
        if (getPipelineRes(info.pipelineNameTxt, &pipelines[i]) != 0)
            return fwFail(RES_PL_NOT_EXIST, -1);
        if (info.pipelineStageNum < 0 || info.pipelineStageNum >= pipelines[i]->regParam.numStages)
            return fwFail(RES_PL_STAGE_NUM_INVALID, -1);
        const uint64 bit = uint64{1} << info.pipelineStageNum;
        bool taken = (pipelines[i]->stageCheckBitmask & bit) != 0;
        // An earlier entry of this same record claims it too.
        for (int32 k = 0; k < i && !taken; ++k)
            taken = pipelines[k] == pipelines[i] && param.pipelineInfo[k].pipelineStageNum == info.pipelineStageNum;
        stageTaken = stageTaken || taken;
    }
    if (commit)
    {
        for (int32 i = 0; i < param.numOfPipeline; ++i)
            pipelines[i]->stageCheckBitmask |= uint64{1} << param.pipelineInfo[i].pipelineStageNum;
    }
    return 0;
}

template <typename T>
int32 ResourceManager::checkNewResource(ResourceRepository<T>& store, int32 limit, const ResourceName& name)
{
    if (isDispatcherThread())
        return fwFail(RES_REG_NOT_ALLOWED, -1);
    if (store.size() >= limit)
        return fwFail(RES_REG_FULL, -1);
    T* found = nullptr;
    if (store.getResourceObject(name, found) == 0)
        return fwFail(RES_NAME_EXIST, -1);
    return FrameworkErrno::m_fwErrno == RES_NOT_EXIST ? 0 : -1;
}

int32 ResourceManager::registerThreadRes(const ThreadParam& param, bool appThread, ThreadResource** resObjPtr)
{
    if (checkNewResource(m_threadStore, m_thresResNumMax, param.threadNameTxt) != 0)
        return -1;
    if (m_threadResAryIdx >= m_thresResNumMax)
        return fwFail(RES_REG_FAILED, -1);
    ThreadResource& rec = m_threadResAryPtr[m_threadResAryIdx];
    if (rec.status.load() != RES_UNUSED)
        return fwFail(RES_REG_FAILED, -1);
    if (validateThreadParam(param) != 0)
        return -1;

    // Everything that can refuse the record is checked before anything
    // changes, so a refused thread claims no pipeline stage.
    bool stageTaken = false;
    if (param.numOfPipeline >= 1 && claimPipelineStages(param, false, stageTaken) != 0)
        return -1;
    // In 64 bits: seconds × 1000 must not wrap; the record holds int32 seconds.
    if (param.statusCheckInterval != 0 &&
        (static_cast<int64>(param.statusCheckInterval) * 1000 < GlobalData::getInst().m_stsRptInterval ||
         param.statusCheckInterval > static_cast<uint32>(std::numeric_limits<int32>::max())))
        return fwFail(RES_THREAD_HEALTH_CHECK_INTERVAL_INVALID, -1);

    rec.statusCheckInterval = static_cast<int32>(param.statusCheckInterval);
    copyResourceName(rec.threadNameTxt, param.threadNameTxt);
    rec.thdOptimiz = param.thdOptimiz;
    rec.thdInfo.cpuBitmap = static_cast<int64>(param.cpuAffinityBitmask);
    rec.thdInfo.priority = param.threadPriority;
    rec.thdInfo.tid = static_cast<pthread_t>(~pthread_t{0});
    rec.thdInfo.ptid = static_cast<pthread_t>(~pthread_t{0});
    rec.msgQueueLen = param.messageQueueLength;
    rec.appThread = appThread;
    rec.numOfPipeline = param.numOfPipeline;
    for (int32 i = 0; i < param.numOfPipeline; ++i)
    {
        PipelineResource* pipeline = nullptr;
        getPipelineRes(param.pipelineInfo[i].pipelineNameTxt, &pipeline);
        copyResourceName(rec.pipelineRec[i].pipelineNameTxt, param.pipelineInfo[i].pipelineNameTxt);
        rec.pipelineRec[i].appPlStageNum = param.pipelineInfo[i].pipelineStageNum;
        rec.pipelineRec[i].isLastStage = param.pipelineInfo[i].pipelineStageNum == pipeline->regParam.numStages - 1;
    }
    rec.status.store(RES_REGISTERED);
    if (m_threadStore.addResource(rec.threadNameTxt, &rec) != 0)
    {
        rec.status.store(RES_UNUSED);
        std::memset(rec.threadNameTxt, 0, sizeof(ResourceName));
        return -1;
    }
    if (param.numOfPipeline >= 1)
        claimPipelineStages(param, true, stageTaken);
    ++m_threadResAryIdx;
    if (resObjPtr != nullptr)
        *resObjPtr = &rec;
    if (stageTaken)
        return fwFail(RES_PL_STAGE_ALREADY_ASSIGNED, -2);
    return 0;
}

int32 ResourceManager::chooseTcpSlot()
{
    int32 slot = -1;
    if (m_tcpConnResEmptyIdx >= 0 && m_tcpConnResEmptyIdx < m_tcpConnResNumMax &&
        m_tcpConnResAryPtr[m_tcpConnResEmptyIdx].status.load() == RES_UNUSED)
    {
        slot = m_tcpConnResEmptyIdx;
    }
    else
    {
        for (int32 i = 0; i < m_tcpConnResNumMax && slot < 0; ++i)
        {
            if (m_tcpConnResAryPtr[i].status.load() == RES_UNUSED)
                slot = i;
        }
    }
    return slot;
}

int32 ResourceManager::registerTcpConnRes(const TcpConnParam& param, TcpConnResource** resObjPtr, bool exclusive)
{
    if (isDispatcherThread())
        return fwFail(RES_REG_NOT_ALLOWED, -1);
    std::lock_guard<std::mutex> registering(m_tcpRegMutex);
    if (m_tcpConnStore.size() >= m_tcpConnResNumMax)
    {
        m_tcpConnResEmptyIdx = 0;
        return fwFail(RES_REG_FULL, -1);
    }
    TcpConnResource* found = nullptr;
    if (m_tcpConnStore.getResourceObject(param.connNameTxt, found, exclusive) == 0)
        return fwFail(RES_NAME_EXIST, -1);
    if (FrameworkErrno::m_fwErrno != RES_NOT_EXIST)
        return -1;
    if (param.tcpMode == TCP_SERVER_LISTEN_MODE && nameLength(param.connNameTxt) > DEFAULT_TCP_LISTEN_RES_NAME_MAX)
        return fwFail(RES_TCP_SVR_NAME_TOO_LONG, -1);
    ThreadResource* thread = nullptr;
    if (getThreadRes(param.threadNameTxt, &thread) != 0)
        return fwFail(RES_THREAD_NOT_EXIST, -1);
    PipelineResource* pipeline = nullptr;
    if (usesPipeline(param) && getPipelineRes(param.pipelineNameTxt, &pipeline) != 0)
        return fwFail(RES_PL_NOT_EXIST, -1);
    const int32 slot = chooseTcpSlot();
    if (slot < 0)
        return fwFail(RES_REG_FAILED, -1);
    IpAddress interfaceAddrTxt;
    if (validateWithSubnet(param, interfaceAddrTxt,
                           [this](const TcpConnParam& checked) { return validateTcpConnParam(checked); }) != 0)
        return -1;

    TcpConnResource& rec = m_tcpConnResAryPtr[slot];
    // A reused slot starts clean: nothing of the connection that had it stays.
    rec.regParam = param;
    std::memcpy(rec.interfaceAddrTxt, interfaceAddrTxt, sizeof(IpAddress));
    std::memset(rec.srvConnNamePrefix, 0, sizeof(ResourceName));
    rec.srvConnNamePrefixLen = 0;
    rec.nextInConnNum = 0;
    rec.inConnNumMax = 0;
    rec.listenSockPtr = nullptr;
    rec.dataSockPtr = nullptr;
    rec.streamBufPtr = nullptr;
    rec.tmpOutBufPtr = nullptr;
    rec.usePipeline = usesPipeline(param);
    rec.pipelinePtr = nullptr;
    rec.msgQueuePtr = nullptr;
    rec.altMsgQueuePtr = nullptr;
    rec.tmpMsgStorePtr = nullptr;
    rec.tmpPlMsgStorePtr = nullptr;
    rec.congested = false;
    rec.connCloseReason = 0;
    rec.msgMaskFuncPtr = nullptr;
    if (param.tcpMode == TCP_SERVER_LISTEN_MODE)
    {
        const size_t len = nameLength(param.connNameTxt);
        std::memcpy(rec.srvConnNamePrefix, param.connNameTxt, len);
        std::memcpy(rec.srvConnNamePrefix + len, TCP_SERVER_DATA_NAME_EXT, std::strlen(TCP_SERVER_DATA_NAME_EXT));
        rec.srvConnNamePrefixLen = static_cast<int32>(len + std::strlen(TCP_SERVER_DATA_NAME_EXT));
        rec.inConnNumMax = DIGIT_RANGE[16 - rec.srvConnNamePrefixLen];
    }
    storeTcpConnName(rec, UInt128(param.connNameTxt, false));
    rec.status.store(RES_REGISTERED, std::memory_order_release);
    if (m_tcpConnStore.addResource(rec.tcpConnNameTxt, &rec, exclusive) != 0)
    {
        rec.status.store(RES_UNUSED, std::memory_order_release);
        storeTcpConnName(rec, UInt128());
        return -1;
    }
    for (int32 i = slot + 1; i < m_tcpConnResNumMax; ++i)
    {
        if (m_tcpConnResAryPtr[i].status.load() == RES_UNUSED)
        {
            m_tcpConnResEmptyIdx = i;
            break;
        }
    }
    if (resObjPtr != nullptr)
        *resObjPtr = &rec;
    return 0;
}

int32 ResourceManager::registerUdpConnRes(const UdpConnParam& param, UdpConnResource** resObjPtr)
{
    if (checkNewResource(m_udpConnStore, m_udpConnResNumMax, param.connNameTxt) != 0)
        return -1;
    ThreadResource* thread = nullptr;
    if (getThreadRes(param.threadNameTxt, &thread) != 0)
        return fwFail(RES_THREAD_NOT_EXIST, -1);
    PipelineResource* pipeline = nullptr;
    if (usesPipeline(param) && getPipelineRes(param.pipelineNameTxt, &pipeline) != 0)
        return fwFail(RES_PL_NOT_EXIST, -1);
    if (m_udpConnResAryIdx >= m_udpConnResNumMax ||
        m_udpConnResAryPtr[m_udpConnResAryIdx].status.load() != RES_UNUSED)
        return fwFail(RES_REG_FAILED, -1);
    IpAddress interfaceAddrTxt;
    if (validateWithSubnet(param, interfaceAddrTxt,
                           [this](const UdpConnParam& checked) { return validateUdpConnParam(checked); }) != 0)
        return -1;

    UdpConnResource& rec = m_udpConnResAryPtr[m_udpConnResAryIdx];
    copyResourceName(rec.udpConnNameTxt, param.connNameTxt);
    rec.regParam = param;
    std::memcpy(rec.interfaceAddrTxt, interfaceAddrTxt, sizeof(IpAddress));
    rec.multicastSockPtr = nullptr;
    rec.ptr = nullptr;
    rec.pipelinePtr = nullptr;
    rec.msgQueuePtr = nullptr;
    rec.usePipeline = usesPipeline(param);
    rec.status.store(RES_REGISTERED);
    if (m_udpConnStore.addResource(rec.udpConnNameTxt, &rec) != 0)
    {
        rec.status.store(RES_UNUSED);
        std::memset(rec.udpConnNameTxt, 0, sizeof(ResourceName));
        return -1;
    }
    ++m_udpConnResAryIdx;
    if (resObjPtr != nullptr)
        *resObjPtr = &rec;
    return 0;
}

int32 ResourceManager::registerIpcRes(const IpcParam& param, IpcResource** resObjPtr)
{
    if (checkNewResource(m_ipcStore, m_ipcResNumMax, param.ipcNameTxt) != 0)
        return -1;
    ThreadResource* thread = nullptr;
    if (getThreadRes(param.threadNameTxt, &thread) != 0)
        return fwFail(RES_THREAD_NOT_EXIST, -1);
    if (m_ipcResAryIdx >= m_ipcResNumMax || m_ipcResAryPtr[m_ipcResAryIdx].status.load() != RES_UNUSED)
        return fwFail(RES_REG_FAILED, -1);
    if (validateIpcParam(param) != 0)
        return -1;

    IpcResource& rec = m_ipcResAryPtr[m_ipcResAryIdx];
    copyResourceName(rec.ipcNameTxt, param.ipcNameTxt);
    rec.regParam = param;
    rec.usePipeline = usesPipeline(param);
    rec.status.store(RES_REGISTERED);
    if (m_ipcStore.addResource(rec.ipcNameTxt, &rec) != 0)
    {
        rec.status.store(RES_UNUSED);
        std::memset(rec.ipcNameTxt, 0, sizeof(ResourceName));
        return -1;
    }
    ++m_ipcResAryIdx;
    if (resObjPtr != nullptr)
        *resObjPtr = &rec;
    return 0;
}

int32 ResourceManager::registerMsgTopicRes(const MsgTopicParam& param, MsgTopicResource** resObjPtr)
{
    if (checkNewResource(m_msgTopicStore, m_msgTopicResNumMax, param.topicNameTxt) != 0)
        return -1;
    ThreadResource* thread = nullptr;
    if (getThreadRes(param.threadNameTxt, &thread) != 0)
        return fwFail(RES_THREAD_NOT_EXIST, -1);
    if (m_msgTopicResAryIdx >= m_msgTopicResNumMax ||
        m_msgTopicResAryPtr[m_msgTopicResAryIdx].status.load() != RES_UNUSED)
        return fwFail(RES_REG_FAILED, -1);
    bool directMcastAssigned = false;
    in_addr_t dataMcast = 0;
    in_addr_t ackMcast = 0;
    int32 pos = -1;
    IpAddress interfaceAddrTxt;
    const int32 result =
        validateMsgTopicParam(param, directMcastAssigned, dataMcast, ackMcast, pos, interfaceAddrTxt);
    if (result == -1 || (result != 0 && result != -2))
        return -1;
    const int32 warning = result == -2 ? FrameworkErrno::m_fwErrno : 0;

    MsgTopicResource& rec = m_msgTopicResAryPtr[m_msgTopicResAryIdx];
    rec.mcastAddrDuplicated = warning == RES_TOPIC_MADDR_USED_IN_OTHER;
    rec.mcastWithinLogicalChnList = warning == RES_TOPIC_MADDR_USED_IN_FW;
    rec.directMcastAssigned = directMcastAssigned;
    rec.posMcastRange = pos;
    rec.dataMcast = dataMcast;
    rec.ackMcast = ackMcast;
    const int32 chn = param.logicalChnNum;
    rec.mrmTopic = chn == ResParamValidator::MRM_LOCAL_LOGICAL_CHN || chn == ResParamValidator::MRM_CROSS_SITE_LOGICAL_CHN;
    rec.replicationTopic = chn == ResParamValidator::REPLICATION_LOGICAL_CHN;
    const size_t len = nameLength(param.topicNameTxt);
    const size_t postfixLen = std::strlen(RECOVERY_TOPIC_NAME_POSTFIX);
    rec.recoveryRqsTopic = !rec.mrmTopic && !rec.replicationTopic && len >= 6 &&
                           std::memcmp(param.topicNameTxt + len - postfixLen, RECOVERY_TOPIC_NAME_POSTFIX, postfixLen) == 0;
    copyResourceName(rec.topicNameTxt, param.topicNameTxt);
    rec.regParam = param;
    rec.msgTopicPtr = nullptr;
    rec.usePipeline = usesPipeline(param);
    if (param.interfaceSubnetTxt[0] != '\0' && interfaceAddrTxt[0] != '\0')
        std::memcpy(rec.interfaceTxt, interfaceAddrTxt, sizeof(IpAddress));
    rec.status.store(RES_REGISTERED);
    if (m_msgTopicStore.addResource(rec.topicNameTxt, &rec) != 0)
    {
        rec.status.store(RES_UNUSED);
        std::memset(rec.topicNameTxt, 0, sizeof(ResourceName));
        rec.directMcastAssigned = false;
        return -1;
    }
    ++m_msgTopicResAryIdx;
    if (directMcastAssigned && result == 0)
        ++m_numTopicDirectMcastChannel;
    if (resObjPtr != nullptr)
        *resObjPtr = &rec;
    if (result == -2)
        return fwFail(warning, -2);
    return 0;
}

int32 ResourceManager::registerPipelineRes(const PipelineParam& param, PipelineResource** resObjPtr)
{
    if (checkNewResource(m_pipelineStore, m_pipelineResNumMax, param.pipelineNameTxt) != 0)
        return -1;
    if (m_pipelineResAryIdx >= m_pipelineResNumMax ||
        m_pipelineResAryPtr[m_pipelineResAryIdx].status.load() != RES_UNUSED)
        return fwFail(RES_REG_FAILED, -1);
    if (validatePipelineParam(param) != 0)
        return -1;

    PipelineResource& rec = m_pipelineResAryPtr[m_pipelineResAryIdx];
    copyResourceName(rec.pipelineNameTxt, param.pipelineNameTxt);
    rec.regParam = param;
    rec.status.store(RES_REGISTERED);
    if (m_pipelineStore.addResource(rec.pipelineNameTxt, &rec) != 0)
    {
        rec.status.store(RES_UNUSED);
        std::memset(rec.pipelineNameTxt, 0, sizeof(ResourceName));
        return -1;
    }
    ++m_pipelineResAryIdx;
    if (resObjPtr != nullptr)
        *resObjPtr = &rec;
    return 0;
}

int32 ResourceManager::getTcpConnRoute(const TcpConnResource* rec, const UInt128& key, TcpMode& mode,
                                       IntChannelType& channelType)
{
    if (rec == nullptr)
        return fwFail(NULL_PARAM, -1);
    std::lock_guard<std::mutex> reading(m_tcpRegMutex);
    if (loadTcpConnNameKey(*rec) != key)
        return fwFail(RES_NOT_EXIST, -1);
    mode = rec->regParam.tcpMode;
    channelType = rec->regParam.channelType;
    return 0;
}

int32 ResourceManager::removeTcpClientConnRes(const ResourceName& resName, bool exclusive)
{
    std::lock_guard<std::mutex> removing(m_tcpRegMutex);
    TcpConnResource* rec = nullptr;
    if (m_tcpConnStore.getResourceObject(resName, rec, exclusive) != 0 || rec == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    if (m_tcpConnStore.removeResource(resName, exclusive) != 0)
        return -1;
    rec->status.store(RES_UNUSED, std::memory_order_release);
    storeTcpConnName(*rec, UInt128());
    return 0;
}

// --- lookups ---

namespace
{
template <typename T>
int32 lookup(ResourceRepository<T>& store, const ResourceName& resName, T** resObjPtr, bool exclusive = false)
{
    if (resObjPtr == nullptr)
        return fwFail(RES_NULL_OBJ_PTR, -1);
    T* found = nullptr;
    if (store.getResourceObject(resName, found, exclusive) != 0)
        return -1;
    if (found == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    *resObjPtr = found;
    return 0;
}

template <typename T>
int32 walk(ResourceRepository<T>& store, bool first, ResourceName& resName, T** resObjPtr, bool exclusive = false)
{
    if (resObjPtr == nullptr)
        return fwFail(RES_NULL_OBJ_PTR, -1);
    T* found = nullptr;
    const bool ok = first ? store.getFirst(resName, found, exclusive) : store.getNext(resName, found, exclusive);
    if (!ok)
        return -1;
    *resObjPtr = found;
    return 0;
}
} // namespace

int32 ResourceManager::getThreadRes(const ResourceName& resName, ThreadResource** resObjPtr)
{
    return lookup(m_threadStore, resName, resObjPtr);
}

int32 ResourceManager::getTcpConnRes(const ResourceName& resName, TcpConnResource** resObjPtr, bool exclusive)
{
    return lookup(m_tcpConnStore, resName, resObjPtr, exclusive);
}

int32 ResourceManager::getUdpConnRes(const ResourceName& resName, UdpConnResource** resObjPtr)
{
    return lookup(m_udpConnStore, resName, resObjPtr);
}

int32 ResourceManager::getIpcRes(const ResourceName& resName, IpcResource** resObjPtr)
{
    return lookup(m_ipcStore, resName, resObjPtr);
}

int32 ResourceManager::getMsgTopicRes(const ResourceName& resName, MsgTopicResource** resObjPtr)
{
    return lookup(m_msgTopicStore, resName, resObjPtr);
}

int32 ResourceManager::getPipelineRes(const ResourceName& resName, PipelineResource** resObjPtr)
{
    return lookup(m_pipelineStore, resName, resObjPtr);
}

int32 ResourceManager::getThreadFirstRes(ResourceName& resName, ThreadResource** resObjPtr)
{
    return walk(m_threadStore, true, resName, resObjPtr);
}

int32 ResourceManager::getThreadNextRes(ResourceName& resName, ThreadResource** resObjPtr)
{
    return walk(m_threadStore, false, resName, resObjPtr);
}

int32 ResourceManager::getFirstTcpConnRes(ResourceName& resName, TcpConnResource** resObjPtr)
{
    return walk(m_tcpConnStore, true, resName, resObjPtr, true);
}

int32 ResourceManager::getNextTcpConnRes(ResourceName& resName, TcpConnResource** resObjPtr)
{
    return walk(m_tcpConnStore, false, resName, resObjPtr, true);
}

int32 ResourceManager::getFirstUdpConnRes(ResourceName& resName, UdpConnResource** resObjPtr)
{
    return walk(m_udpConnStore, true, resName, resObjPtr);
}

int32 ResourceManager::getNextUdpConnRes(ResourceName& resName, UdpConnResource** resObjPtr)
{
    return walk(m_udpConnStore, false, resName, resObjPtr);
}

int32 ResourceManager::getFirstIpcRes(ResourceName& resName, IpcResource** resObjPtr)
{
    return walk(m_ipcStore, true, resName, resObjPtr);
}

int32 ResourceManager::getNextIpcRes(ResourceName& resName, IpcResource** resObjPtr)
{
    return walk(m_ipcStore, false, resName, resObjPtr);
}

int32 ResourceManager::getFirstMsgTopicRes(ResourceName& resName, MsgTopicResource** resObjPtr)
{
    return walk(m_msgTopicStore, true, resName, resObjPtr);
}

int32 ResourceManager::getNextMsgTopicRes(ResourceName& resName, MsgTopicResource** resObjPtr)
{
    return walk(m_msgTopicStore, false, resName, resObjPtr);
}

int32 ResourceManager::getFirstPipelineRes(ResourceName& resName, PipelineResource** resObjPtr)
{
    return walk(m_pipelineStore, true, resName, resObjPtr);
}

int32 ResourceManager::getNextPipelineRes(ResourceName& resName, PipelineResource** resObjPtr)
{
    return walk(m_pipelineStore, false, resName, resObjPtr);
}

int32 ResourceManager::getThreadResSize(int32& size)
{
    size = m_threadStore.size();
    return 0;
}

int32 ResourceManager::getTcpConnResSize(int32& size)
{
    // Accepted connections come and go on the receiver threads meanwhile.
    std::lock_guard<std::mutex> counting(m_tcpRegMutex);
    size = m_tcpConnStore.size();
    return 0;
}

int32 ResourceManager::getUdpConnResSize(int32& size)
{
    size = m_udpConnStore.size();
    return 0;
}

int32 ResourceManager::getIpcResSize(int32& size)
{
    size = m_ipcStore.size();
    return 0;
}

int32 ResourceManager::getMsgTopicResSize(int32& size)
{
    size = m_msgTopicStore.size();
    return 0;
}

int32 ResourceManager::getPipelineResSize(int32& size)
{
    size = m_pipelineStore.size();
    return 0;
}

// --- callbacks ---

int32 ResourceManager::registerThreadAppCallback(const ResourceName& resName, AppCallbackFunc callbackFuncPtr)
{
    if (isDispatcherThread())
        return fwFail(RES_REG_NOT_ALLOWED, -1);
    if (callbackFuncPtr == nullptr)
        return fwFail(RES_NO_FUNC, -1);
    ThreadResource* rec = nullptr;
    if (getThreadRes(resName, &rec) != 0)
        return -1;
    if (rec->appCallbackFuncPtr != nullptr)
        return fwFail(RES_CBK_EXIST, -1);
    rec->appCallbackFuncPtr = callbackFuncPtr;
    return 0;
}

int32 ResourceManager::registerMsgMaskCallback(const ResourceName& resName, ResourceType resType,
                                               MsgMaskFunc msgMaskFuncPtr)
{
    if (msgMaskFuncPtr == nullptr)
        return fwFail(RES_NO_FUNC, -1);
    MsgMaskFunc* slot = nullptr;
    switch (resType)
    {
    case TCP_RES: {
        TcpConnResource* rec = nullptr;
        if (getTcpConnRes(resName, &rec, true) != 0)
            return -1;
        slot = &rec->msgMaskFuncPtr;
        break;
    }
    case UDP_RES: {
        UdpConnResource* rec = nullptr;
        if (getUdpConnRes(resName, &rec) != 0)
            return -1;
        slot = &rec->msgMaskFuncPtr;
        break;
    }
    case TOPIC_RES: {
        MsgTopicResource* rec = nullptr;
        if (getMsgTopicRes(resName, &rec) != 0)
            return -1;
        slot = &rec->msgMaskFuncPtr;
        break;
    }
    default:
        return fwFail(RES_REG_NOT_ALLOWED, -1);
    }
    if (*slot != nullptr)
        return fwFail(RES_CBK_EXIST, -1);
    *slot = msgMaskFuncPtr;
    return 0;
}

// --- service objects ---

bool ResourceManager::validServiceType(ServiceResourceType resType) const
{
    return resType >= RES_TYPE_FILE && resType < NUM_OF_SERVICE_RES;
}

int32 ResourceManager::registerServiceRes(ServiceResourceType resType, const ResourceName& resName, void* resObjPtr)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    if (resObjPtr == nullptr)
        return fwFail(RES_NULL_OBJ_PTR, -1);
    return m_serviceStore[resType].addResource(resName, resObjPtr);
}

int32 ResourceManager::getServiceRes(ServiceResourceType resType, const ResourceName& resName, void** resObjPtr)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    return lookup(m_serviceStore[resType], resName, resObjPtr);
}

int32 ResourceManager::removeServiceRes(ServiceResourceType resType, const ResourceName& resName)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    return m_serviceStore[resType].removeResource(resName);
}

int32 ResourceManager::getFirstServiceRes(ServiceResourceType resType, ResourceName& resName, void** resObjPtr)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    return walk(m_serviceStore[resType], true, resName, resObjPtr);
}

int32 ResourceManager::getNextServiceRes(ServiceResourceType resType, ResourceName& resName, void** resObjPtr)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    return walk(m_serviceStore[resType], false, resName, resObjPtr);
}

int32 ResourceManager::getServiceResSize(ServiceResourceType resType, int32& size)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    size = m_serviceStore[resType].size();
    return 0;
}

int32 ResourceManager::lockServiceRes(ServiceResourceType resType, int32 timeoutMicro)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    return m_serviceResLock[resType].lock(timeoutMicro);
}

int32 ResourceManager::unlockServiceRes(ServiceResourceType resType)
{
    if (!validServiceType(resType))
        return fwFail(RES_SVC_OBJ_TYPE_INVALID, -1);
    return m_serviceResLock[resType].unlock();
}
