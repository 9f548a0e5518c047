// The process-wide registry of named framework resources: threads, TCP
// connections, UDP (multicast) channels, shared-memory IPC channels, messaging
// topics and pipelines, plus nine tables of named service objects. A resource
// is known by a name of 1 to 16 characters; the registry keeps one name-keyed
// table per kind (ResourceRepository), hands out a pointer to the kind's
// record (records live in arrays allocated once, so pointers stay valid), and
// refuses registrations that break the per-kind limits or the parameter
// checks of ResParamValidator.
//
// Threads: everything is registered on the start-up thread before the
// framework and application threads run; a thread that runs a message
// dispatcher may not register (RES_REG_NOT_ALLOWED). Afterwards only accepted
// TCP server data connections come and go, registered and removed by the
// receiver threads with `exclusive` true while dispatchers look connections
// up the same way; those calls are serialised by the TCP table's baton.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/ResourceLock.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/ResParamValidator.h"
#include "FendralCore/runtime/ResourceParam.h"
#include "FendralCore/runtime/ResourceRepository.h"

#include <memory>
#include <mutex>

class AppLogger;
class ConfigManager;

class ResourceManager
{
public:
    enum ServiceResourceType : int32
    {
        RES_TYPE_FILE = 0,
        RES_TYPE_DATA = 1,
        RES_TYPE_DB = 2,
        RES_TYPE_CRYPTO_DH = 3,
        RES_TYPE_CRYPTO_BF = 4,
        RES_TYPE_CRYPTO_RSA_PUBLIC = 5,
        RES_TYPE_CRYPTO_RSA_PRIVATE = 6,
        RES_TYPE_LOCK = 7,
        RES_TYPE_SEM = 8,
        NUM_OF_SERVICE_RES = 9,
    };

    // Per-kind limits; a configured value below 1 gives the default.
    static constexpr const char* THREAD_RES_NUM_MAX_LABEL = "THREAD_RES_MAX";
    static constexpr int32 THREAD_RES_NUM_MAX = 10;
    // Listen, client and accepted server data connections together.
    static constexpr const char* TCP_CONN_RES_NUM_MAX_LABEL = "TCP_CONN_RES_MAX";
    static constexpr int32 TCP_CONN_RES_NUM_MAX = 20;
    static constexpr const char* UDP_CONN_RES_NUM_MAX_LABEL = "UDP_CONN_RES_MAX";
    static constexpr int32 UDP_CONN_RES_NUM_MAX = 10;
    static constexpr const char* IPC_RES_NUM_MAX_LABEL = "IPC_RES_MAX";
    static constexpr int32 IPC_RES_NUM_MAX = 5;
    static constexpr const char* PIPELINE_RES_NUM_MAX_LABEL = "PIPELINE_RES_MAX";
    static constexpr int32 PIPELINE_RES_NUM_MAX = 5;
    // Topics: the messaging service's publisher and subscriber limits together.
    static constexpr const char* MSG_TOPIC_PUB_NUM_MAX_LABEL = "TOPIC_MAX";
    static constexpr int32 MSG_TOPIC_PUB_NUM_MAX = 100;
    static constexpr const char* MSG_TOPIC_SUB_NUM_MAX_LABEL = "SUB_MAX";
    static constexpr int32 MSG_TOPIC_SUB_NUM_MAX = 100;

    static constexpr int32 DEFAULT_RES_LOCK_TIMEOUT_MICRO = 1000000;
    static constexpr const char* MIDDLEWARE_DISPATCHER_THREAD = "MIDDLEWARE_MD";
    static const UInt128 MIDDLEWARE_DISPATCHER_ID;
    static constexpr int32 DEFAULT_TCP_LISTEN_RES_NAME_MAX = 10;
    static constexpr const char* TCP_SERVER_DATA_NAME_EXT = ":";
    static constexpr const char* RECOVERY_TOPIC_NAME_POSTFIX = "_RECO";
    // Entry k: the largest number of k decimal digits.
    static constexpr int64 DIGIT_RANGE[17] = {0,
                                              9,
                                              99,
                                              999,
                                              9999,
                                              99999,
                                              999999,
                                              9999999,
                                              99999999,
                                              999999999,
                                              9999999999,
                                              99999999999,
                                              999999999999,
                                              9999999999999,
                                              99999999999999,
                                              999999999999999,
                                              9999999999999999};

    // The application's default-filling and checking steps per kind.
    using ThreadInitParamFunc = void (*)(ThreadParam&);
    using TcpConnInitParamFunc = void (*)(TcpConnParam&);
    using UdpConnInitParamFunc = void (*)(UdpConnParam&);
    using IpcInitParamFunc = void (*)(IpcParam&);
    using MsgTopicInitParamFunc = void (*)(MsgTopicParam&);
    using PipelineInitParamFunc = void (*)(PipelineParam&);
    using ThreadValidateParamFunc = int32 (*)(const ThreadParam&);
    using TcpConnValidateParamFunc = int32 (*)(const TcpConnParam&);
    using UdpConnValidateParamFunc = int32 (*)(const UdpConnParam&);
    using IpcValidateParamFunc = int32 (*)(const IpcParam&);
    using MsgTopicValidateParamFunc = int32 (*)(const MsgTopicParam&);
    using PipelineValidateParamFunc = int32 (*)(const PipelineParam&);

    // The process's registry, built on first use from the framework
    // configuration store of the global data.
    static ResourceManager& getInst();

    // A registry of its own over the given configuration (defaults when null).
    explicit ResourceManager(const ConfigManager* configMgr);
    virtual ~ResourceManager();

    ResourceManager(const ResourceManager&) = delete;
    ResourceManager& operator=(const ResourceManager&) = delete;

    // The message dispatcher marks the thread it runs on; registrations from
    // a marked thread fail with RES_REG_NOT_ALLOWED.
    static void setDispatcherThread(bool runsDispatcher);
    static bool isDispatcherThread();

    // --- registration: 0, or -1 with the code ---
    // -2 with RES_PL_STAGE_ALREADY_ASSIGNED: registered, but a pipeline stage
    // it serves was already claimed by another thread.
    int32 registerThreadRes(const ThreadParam& param, bool appThread, ThreadResource** resObjPtr);
    // exclusive: called while other threads run (accepted connections).
    int32 registerTcpConnRes(const TcpConnParam& param, TcpConnResource** resObjPtr, bool exclusive);
    int32 registerUdpConnRes(const UdpConnParam& param, UdpConnResource** resObjPtr);
    int32 registerIpcRes(const IpcParam& param, IpcResource** resObjPtr);
    // -2: registered, sharing its direct multicast pair with a registered
    // topic (RES_TOPIC_MADDR_USED_IN_OTHER) or with a framework logical
    // channel pair (RES_TOPIC_MADDR_USED_IN_FW).
    int32 registerMsgTopicRes(const MsgTopicParam& param, MsgTopicResource** resObjPtr);
    int32 registerPipelineRes(const PipelineParam& param, PipelineResource** resObjPtr);

    // --- lookup: RES_NULL_OBJ_PTR without an output, RES_NOT_EXIST when unknown ---
    int32 getThreadRes(const ResourceName& resName, ThreadResource** resObjPtr);
    int32 getTcpConnRes(const ResourceName& resName, TcpConnResource** resObjPtr, bool exclusive);
    int32 getUdpConnRes(const ResourceName& resName, UdpConnResource** resObjPtr);
    int32 getIpcRes(const ResourceName& resName, IpcResource** resObjPtr);
    int32 getMsgTopicRes(const ResourceName& resName, MsgTopicResource** resObjPtr);
    int32 getPipelineRes(const ResourceName& resName, PipelineResource** resObjPtr);

    // Removes an accepted TCP server data connection; its record slot can be reused.
    int32 removeTcpClientConnRes(const ResourceName& resName, bool exclusive);
    // The mode and channel type of the record rec while it still carries the
    // name of key: read against a reuse of its slot by an accepted connection.
    // RES_NOT_EXIST once the slot belongs to another name.
    int32 getTcpConnRoute(const TcpConnResource* rec, const UInt128& key, TcpMode& mode, IntChannelType& channelType);

    // --- walks: RES_EMPTY from First, RES_NEXT_END from Next ---
    // Walk the thread table under lockThreadRes. The TCP walk takes the
    // baton for each step, so accepted connections may come and go meanwhile.
    int32 getThreadFirstRes(ResourceName& resName, ThreadResource** resObjPtr);
    int32 getThreadNextRes(ResourceName& resName, ThreadResource** resObjPtr);
    int32 getFirstTcpConnRes(ResourceName& resName, TcpConnResource** resObjPtr);
    int32 getNextTcpConnRes(ResourceName& resName, TcpConnResource** resObjPtr);
    int32 getFirstUdpConnRes(ResourceName& resName, UdpConnResource** resObjPtr);
    int32 getNextUdpConnRes(ResourceName& resName, UdpConnResource** resObjPtr);
    int32 getFirstIpcRes(ResourceName& resName, IpcResource** resObjPtr);
    int32 getNextIpcRes(ResourceName& resName, IpcResource** resObjPtr);
    int32 getFirstMsgTopicRes(ResourceName& resName, MsgTopicResource** resObjPtr);
    int32 getNextMsgTopicRes(ResourceName& resName, MsgTopicResource** resObjPtr);
    int32 getFirstPipelineRes(ResourceName& resName, PipelineResource** resObjPtr);
    int32 getNextPipelineRes(ResourceName& resName, PipelineResource** resObjPtr);

    int32 getThreadResSize(int32& size);
    int32 getTcpConnResSize(int32& size);
    // TCP connection records the registry holds at most (TCP_CONN_RES_MAX).
    int32 getTcpConnResNumMax() const { return m_tcpConnResNumMax; }
    int32 getUdpConnResSize(int32& size);
    int32 getIpcResSize(int32& size);
    int32 getMsgTopicResSize(int32& size);
    int32 getPipelineResSize(int32& size);

    // The kind's lock, for callers that walk its table (time-out in microseconds).
    int32 lockThreadRes(int32 timeoutMicro) { return m_threadResLock.lock(timeoutMicro); }
    int32 unlockThreadRes() { return m_threadResLock.unlock(); }
    int32 lockTcpConnRes(int32 timeoutMicro) { return m_tcpConnResLock.lock(timeoutMicro); }
    int32 unlockTcpConnRes() { return m_tcpConnResLock.unlock(); }
    int32 lockUdpConnRes(int32 timeoutMicro) { return m_udpConnResLock.lock(timeoutMicro); }
    int32 unlockUdpConnRes() { return m_udpConnResLock.unlock(); }
    int32 lockIpcRes(int32 timeoutMicro) { return m_ipcResLock.lock(timeoutMicro); }
    int32 unlockIpcRes() { return m_ipcResLock.unlock(); }
    int32 lockMsgTopicRes(int32 timeoutMicro) { return m_msgTopicResLock.lock(timeoutMicro); }
    int32 unlockMsgTopicRes() { return m_msgTopicResLock.unlock(); }
    int32 lockPipelineRes(int32 timeoutMicro) { return m_pipelineResLock.lock(timeoutMicro); }
    int32 unlockPipelineRes() { return m_pipelineResLock.unlock(); }

    // --- callbacks ---
    int32 registerThreadAppCallback(const ResourceName& resName, AppCallbackFunc callbackFuncPtr);
    // TCP, UDP and topic resources only.
    int32 registerMsgMaskCallback(const ResourceName& resName, ResourceType resType, MsgMaskFunc msgMaskFuncPtr);

    void setThreadInitParamFunc(ThreadInitParamFunc func) { m_threadInitParamFuncPtr = func; }
    void setThreadValidateParamFunc(ThreadValidateParamFunc func) { m_threadValidateParamFuncPtr = func; }
    void setTcpConnInitParamFunc(TcpConnInitParamFunc func) { m_tcpConnInitParamFuncPtr = func; }
    void setTcpConnValidateParamFunc(TcpConnValidateParamFunc func) { m_tcpConnValidateParamFuncPtr = func; }
    void setUdpConnInitParamFunc(UdpConnInitParamFunc func) { m_udpConnInitParamFuncPtr = func; }
    void setUdpConnValidateParamFunc(UdpConnValidateParamFunc func) { m_udpConnValidateParamFuncPtr = func; }
    void setIpcInitParamFunc(IpcInitParamFunc func) { m_ipcInitParamFuncPtr = func; }
    void setIpcValidateParamFunc(IpcValidateParamFunc func) { m_ipcValidateParamFuncPtr = func; }
    void setMsgTopicInitParamFunc(MsgTopicInitParamFunc func) { m_msgTopicInitParamFuncPtr = func; }
    void setMsgTopicValidateParamFunc(MsgTopicValidateParamFunc func) { m_msgTopicValidateParamFuncPtr = func; }
    void setPipelineInitParamFunc(PipelineInitParamFunc func) { m_pipelineInitParamFuncPtr = func; }
    void setPipelineValidateParamFunc(PipelineValidateParamFunc func) { m_pipelineValidateParamFuncPtr = func; }

    // --- parameter records: the defaults, then the application's step; in
    // middleware mode channels belong to "MIDDLEWARE_MD" ---
    void initThreadParam(ThreadParam& param);
    void initTcpConnParam(TcpConnParam& param);
    void initUdpConnParam(UdpConnParam& param);
    void initIpcParam(IpcParam& param);
    void initMsgTopicParam(MsgTopicParam& param);
    void initPipelineParam(PipelineParam& param);

    // --- checks: the names, then the application's check for the kind when
    // one is installed, else the standard one. Bounds that the record layout
    // depends on (pipelines per thread, pipeline sizes) are checked first,
    // whatever check is installed. ---
    int32 validateThreadParam(const ThreadParam& param);
    int32 validateTcpConnParam(const TcpConnParam& param);
    int32 validateUdpConnParam(const UdpConnParam& param);
    int32 validateIpcParam(const IpcParam& param);
    int32 validatePipelineParam(const PipelineParam& param);
    // Also compares a directly assigned pair with the registered topics'.
    // 0, -1 or -2, with the validator's outputs.
    int32 validateMsgTopicParam(const MsgTopicParam& param, bool& directMcastAssigned, in_addr_t& dataMcast,
                                in_addr_t& ackMcast, int32& pos, IpAddress& interfaceAddrTxt);

    // --- service objects (the caller locks the type's table) ---
    int32 registerServiceRes(ServiceResourceType resType, const ResourceName& resName, void* resObjPtr);
    int32 getServiceRes(ServiceResourceType resType, const ResourceName& resName, void** resObjPtr);
    int32 removeServiceRes(ServiceResourceType resType, const ResourceName& resName);
    int32 getFirstServiceRes(ServiceResourceType resType, ResourceName& resName, void** resObjPtr);
    int32 getNextServiceRes(ServiceResourceType resType, ResourceName& resName, void** resObjPtr);
    int32 getServiceResSize(ServiceResourceType resType, int32& size);
    int32 lockServiceRes(ServiceResourceType resType, int32 timeoutMicro);
    int32 unlockServiceRes(ServiceResourceType resType);

    // 0, or -1 with RES_NO_NAME, RES_NAME_NOT_NULL_PADDED or RES_NAME_NOT_NULL_TERM.
    int32 isValidResName(const ResourceName& resName) const;
    // At most 16 characters, NUL-filled; nothing for a null source.
    static void copyResourceName(ResourceName& destResName, const char* srcResName);
    // True, with the code, when the channel plan in the configuration was invalid.
    bool anyErrorInResource(int32& lastErrorCode) const;

    int32 getNumTopicDirectMcastChannel() const { return m_numTopicDirectMcastChannel; }
    const ResParamValidator& getParamValidator() const { return m_paramValidator; }

private:
    // The checks every registration starts with, in order: the calling
    // thread, the kind's limit and a free name. 0 when the record may go in.
    template <typename T>
    int32 checkNewResource(ResourceRepository<T>& store, int32 limit, const ResourceName& name);

    bool m_errorInResource = false;
    int32 m_lastErrorCodeInRes = 0;
    int32 m_resLockTimeout = DEFAULT_RES_LOCK_TIMEOUT_MICRO;
    int32 m_thresResNumMax = THREAD_RES_NUM_MAX;
    int32 m_tcpConnResNumMax = TCP_CONN_RES_NUM_MAX;
    int32 m_udpConnResNumMax = UDP_CONN_RES_NUM_MAX;
    int32 m_ipcResNumMax = IPC_RES_NUM_MAX;
    int32 m_msgTopicResNumMax = MSG_TOPIC_PUB_NUM_MAX + MSG_TOPIC_SUB_NUM_MAX;
    int32 m_pipelineResNumMax = PIPELINE_RES_NUM_MAX;
    ResParamValidator m_paramValidator;
    const ConfigManager* m_configMgrPtr;
    AppLogger* m_loggerPtr;

    ResourceRepository<ThreadResource> m_threadStore;
    std::unique_ptr<ThreadResource[]> m_threadResAryPtr;
    int32 m_threadResAryIdx = 0;
    ResourceLock m_threadResLock;
    ThreadInitParamFunc m_threadInitParamFuncPtr = nullptr;
    ThreadValidateParamFunc m_threadValidateParamFuncPtr = nullptr;

    ResourceRepository<TcpConnResource> m_tcpConnStore;
    std::unique_ptr<TcpConnResource[]> m_tcpConnResAryPtr;
    int32 m_tcpConnResEmptyIdx = 0;
    ResourceLock m_tcpConnResLock;
    TcpConnInitParamFunc m_tcpConnInitParamFuncPtr = nullptr;
    TcpConnValidateParamFunc m_tcpConnValidateParamFuncPtr = nullptr;
    // Serialises the TCP registrations and removals of the receiver threads:
    // choosing a free record slot and filling it must not interleave.
    std::mutex m_tcpRegMutex;

    ResourceRepository<UdpConnResource> m_udpConnStore;
    std::unique_ptr<UdpConnResource[]> m_udpConnResAryPtr;
    int32 m_udpConnResAryIdx = 0;
    ResourceLock m_udpConnResLock;
    UdpConnInitParamFunc m_udpConnInitParamFuncPtr = nullptr;
    UdpConnValidateParamFunc m_udpConnValidateParamFuncPtr = nullptr;

    ResourceRepository<IpcResource> m_ipcStore;
    std::unique_ptr<IpcResource[]> m_ipcResAryPtr;
    int32 m_ipcResAryIdx = 0;
    ResourceLock m_ipcResLock;
    IpcInitParamFunc m_ipcInitParamFuncPtr = nullptr;
    IpcValidateParamFunc m_ipcValidateParamFuncPtr = nullptr;

    ResourceRepository<MsgTopicResource> m_msgTopicStore;
    std::unique_ptr<MsgTopicResource[]> m_msgTopicResAryPtr;
    int32 m_msgTopicResAryIdx = 0;
    ResourceLock m_msgTopicResLock;
    MsgTopicInitParamFunc m_msgTopicInitParamFuncPtr = nullptr;
    MsgTopicValidateParamFunc m_msgTopicValidateParamFuncPtr = nullptr;
    int32 m_numTopicDirectMcastChannel = 0;

    ResourceRepository<PipelineResource> m_pipelineStore;
    std::unique_ptr<PipelineResource[]> m_pipelineResAryPtr;
    int32 m_pipelineResAryIdx = 0;
    ResourceLock m_pipelineResLock;
    PipelineInitParamFunc m_pipelineInitParamFuncPtr = nullptr;
    PipelineValidateParamFunc m_pipelineValidateParamFuncPtr = nullptr;

    ResourceRepository<void> m_serviceStore[NUM_OF_SERVICE_RES];
    ResourceLock m_serviceResLock[NUM_OF_SERVICE_RES];

    int32 readLimit(const char* label, int32 defaultValue) const;
    bool validServiceType(ServiceResourceType resType) const;
    // A TCP or UDP check that failed because interfaceTxt names no local
    // address: resolve it as a subnet and check the whole record again.
    template <typename Param, typename Validate>
    int32 validateWithSubnet(const Param& param, IpAddress& interfaceAddrTxt, Validate validate);
    // Checks the pipeline entries of a thread record (RES_PL_NOT_EXIST,
    // RES_PL_STAGE_NUM_INVALID); with commit, claims their stages.
    int32 claimPipelineStages(const ThreadParam& param, bool commit, bool& stageTaken);
    int32 compareWithRegisteredTopics(const MsgTopicParam& param, in_addr_t dataMcast, in_addr_t ackMcast);
    int32 chooseTcpSlot();
};
