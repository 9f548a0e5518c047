// The application logger reaches the registry of the process: the LOGGER
// thread's queue and the channels' masking callbacks.
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace
{

TEST(LoggerRegistryWiring, LoggerLinesGoToTheRegisteredLoggerThreadQueue)
{
    ResourceManager& registry = ResourceManager::getInst();
    MessageQueue<FwIntMessage>* queue = nullptr;
    EXPECT_EQ(LoggerRegistryLink::findLoggerQueue(queue), -1) << "LOGGER counted as registered before it was";

    ThreadParam param;
    registry.initThreadParam(param);
    std::strcpy(param.threadNameTxt, "LOGGER");
    ThreadResource* logger = nullptr;
    ASSERT_EQ(registry.registerThreadRes(param, false, &logger), 0);
    ASSERT_NE(logger, nullptr);
    MessageQueue<FwIntMessage> loggerQueue(16, false, true, LOW_LATENCY, false, 16);
    logger->msgQueuePtrArray[MQUEUE_NORMAL] = &loggerQueue;

    ASSERT_EQ(LoggerRegistryLink::findLoggerQueue(queue), 0);
    EXPECT_EQ(queue, &loggerQueue);

    char dirTemplate[] = "/tmp/wiringXXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    {
        AppLogger log(dirTemplate, "wired", LOG_LEVEL_INFO, true, false, true, true, false);
        ASSERT_EQ(log.openLog(), 0);
        EXPECT_TRUE(log.useLoggerThread());
        ASSERT_EQ(log.logMessage(LOG_LEVEL_INFO, "handed to [%s]", "LOGGER"), 0);

        FwIntMessage request;
        bool more = false;
        ASSERT_EQ(loggerQueue.getMessage(&request, more), 0);
        const std::string body(request.appMsg.data.buffer, request.appMsg.data.dataLen);
        EXPECT_NE(body.find("handed to [LOGGER]"), std::string::npos);
        log.closeLog();
    }
    logger->msgQueuePtrArray[MQUEUE_NORMAL] = nullptr;
    std::filesystem::remove_all(dirTemplate);

    // A channel without a registered masking callback masks nothing.
    EXPECT_EQ(LoggerRegistryLink::findMaskFunc("NO_SUCH_CHANNEL", TCP_CHANNEL), nullptr);
}

} // namespace
