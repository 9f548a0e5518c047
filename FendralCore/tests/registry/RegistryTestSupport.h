// Shared by the registry tests: a framework configuration store over a
// configuration text in a temporary directory of its own, and helpers that
// write names and addresses into records.
#pragma once

#include "FendralCore/tests/config/ConfigFile.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cstring>
#include <memory>
#include <string>

// A loaded configuration store; lines are "NAME TYPE VALUE".
class TestConfig
{
public:
    explicit TestConfig(const std::string& text)
    {
        m_file.write(text);
        m_store = std::make_unique<ConfigManager>(m_file.path());
        m_store->loadConfigFile();
    }

    const ConfigManager* get() const { return m_store.get(); }

private:
    ConfigFile m_file;
    std::unique_ptr<ConfigManager> m_store;
};

inline void setName(ResourceName& field, const char* text)
{
    ResourceManager::copyResourceName(field, text);
}

inline void setText(IpAddress& field, const char* text)
{
    std::memset(field, 0, sizeof(IpAddress));
    std::strncpy(field, text, sizeof(IpAddress) - 1);
}

// A name field written byte for byte (17 bytes), to build malformed names.
inline void setRawName(ResourceName& field, const char* bytes, size_t count)
{
    std::memset(field, 0, sizeof(ResourceName));
    std::memcpy(field, bytes, count);
}

// A clean (NUL-padded) name as a value.
struct Name
{
    ResourceName txt;

    explicit Name(const std::string& text) { setName(txt, text.c_str()); }
    operator const ResourceName&() const { return txt; }
};

inline int32 lastCode()
{
    return FrameworkErrno::m_fwErrno;
}

// A thread registered in registry with two queues of len entries made here
// (blocking on read when block), marked active, as the thread manager leaves
// it for the framework threads and their tests.
inline ThreadResource* registerTestThread(ResourceManager& registry, const char* name,
                                          std::unique_ptr<FwMessageQueue>& normal,
                                          std::unique_ptr<FwMessageQueue>& high, uint32 len, OptimizationMode mode,
                                          bool block = false)
{
    ThreadParam param;
    registry.initThreadParam(param);
    setName(param.threadNameTxt, name);
    ThreadResource* res = nullptr;
    if (registry.registerThreadRes(param, false, &res) != 0 || res == nullptr)
        return nullptr;
    normal = std::make_unique<FwMessageQueue>(len, false, true, mode, block, 100);
    high = std::make_unique<FwMessageQueue>(len, false, true, mode, block, 100);
    res->msgQueuePtrArray[MQUEUE_NORMAL] = normal.get();
    res->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = high.get();
    res->status.store(RES_ACTIVE);
    return res;
}

// A one-stage pipeline record named name, registered in registry, of the
// pipeline the test owns (built with numEntry entries of entrySize bytes).
inline PipelineResource* registerTestPipeline(ResourceManager& registry, const char* name, Pipeline* pipeline,
                                              int32 numEntry, int32 entrySize)
{
    PipelineParam param{};
    registry.initPipelineParam(param);
    setName(param.pipelineNameTxt, name);
    param.numStages = 1;
    param.numEntry = numEntry;
    param.entrySize = entrySize;
    PipelineResource* res = nullptr;
    if (registry.registerPipelineRes(param, &res) != 0 || res == nullptr)
        return nullptr;
    res->pipelinePtr = pipeline;
    return res;
}
