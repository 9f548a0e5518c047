#include "FendralCore/runtime/LoggerRegistryLink.h"

#include <atomic>

namespace
{

int32 noLoggerThread(MessageQueue<FwIntMessage>*& queue)
{
    queue = nullptr;
    return -1;
}

LoggerRegistryLink::MsgMaskFunc noMaskFunc(const char*, ExtChannelType)
{
    return nullptr;
}

std::atomic<LoggerRegistryLink::FindLoggerQueue> g_findLoggerQueue{noLoggerThread};
std::atomic<LoggerRegistryLink::FindMaskFunc> g_findMaskFunc{noMaskFunc};

} // namespace

int32 LoggerRegistryLink::findLoggerQueue(MessageQueue<FwIntMessage>*& queue)
{
    return g_findLoggerQueue.load(std::memory_order_acquire)(queue);
}

LoggerRegistryLink::MsgMaskFunc LoggerRegistryLink::findMaskFunc(const char* channelName, ExtChannelType channelType)
{
    return g_findMaskFunc.load(std::memory_order_acquire)(channelName, channelType);
}

void LoggerRegistryLink::setFindLoggerQueue(FindLoggerQueue lookup)
{
    g_findLoggerQueue.store(lookup != nullptr ? lookup : noLoggerThread, std::memory_order_release);
}

void LoggerRegistryLink::setFindMaskFunc(FindMaskFunc lookup)
{
    g_findMaskFunc.store(lookup != nullptr ? lookup : noMaskFunc, std::memory_order_release);
}
