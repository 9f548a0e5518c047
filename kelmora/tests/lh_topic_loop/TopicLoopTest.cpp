// A topic published on the loopback interface, received by a topic line on
// its thread and seen on the line data channel.
#include <gtest/gtest.h>

TEST(TopicLoop, LoopbackTopicMessagesReachTheLineDataChannel)
{
    GTEST_SKIP() << "the framework's messaging threads are placeholders that drop what is posted to them; "
                    "a loopback topic needs the messaging topics in place";
}
