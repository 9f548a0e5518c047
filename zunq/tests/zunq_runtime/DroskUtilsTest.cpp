#include "zunq/admin/DroskUtils.h"
#include "zunq/log/LogRegistry.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

// A parsed list as text: one "type process subject [word,word]" per action.
std::string render(DroskUtils::KeshCmd** cmds)
{
    if (cmds == nullptr)
        return "null";
    std::string out;
    for (DroskUtils::KeshCmd** cmd = cmds; *cmd != nullptr; ++cmd)
    {
        const DroskUtils::KeshCmd& c = **cmd;
        out += (c.mType == DroskUtils::TOUCH ? "touch " : c.mType == DroskUtils::COMMAND ? "cmd " : "? ");
        out += std::string(c.mProcess) + " " + c.mSubject + " [";
        for (char** word = c.mpArgv; word != nullptr && *word != nullptr; ++word)
            out += std::string(word == c.mpArgv ? "" : ",") + *word;
        out += "];";
    }
    return out;
}

TEST(DroskUtils, ParsesTouchAndCommandEntriesInOrder)
{
    const struct
    {
        const char* text;
        const char* want;
    } cases[] = {
        {"", ""},
        {" ; ;", ""},
        {"touch:postgres:/var/run/db.failover", "touch postgres /var/run/db.failover [];"},
        // A path keeps its own ':'; blanks around fields go.
        {"  touch : feed : /tmp/a:b  ", "touch feed /tmp/a:b [];"},
        {"cmd:feed:orvane.all.databasefailover", "cmd feed orvane.all.databasefailover [];"},
        {"cmd:feed:orvane.all.databasefailover:", "cmd feed orvane.all.databasefailover [];"},
        {"cmd:rtsd:orvane.rtsd.setLogLevel:6", "cmd rtsd orvane.rtsd.setLogLevel [6];"},
        {"cmd:rtsd:subj: one \ttwo  three ", "cmd rtsd subj [one,two,three];"},
        {"touch:postgres:/f1;cmd:feed:orvane.all.databasefailover;touch:other:/f2;",
         "touch postgres /f1 [];cmd feed orvane.all.databasefailover [];touch other /f2 [];"},
    };
    for (const auto& c : cases)
    {
        DroskUtils::KeshCmd** cmds = DroskUtils::constructCmds(c.text);
        EXPECT_EQ(render(cmds), c.want) << c.text;
        DroskUtils::destroyCmds(cmds);
    }
}

TEST(DroskUtils, AMalformedEntryGivesNoListAndSaysWhich)
{
    const struct
    {
        const char* text;
        const char* reason;
    } cases[] = {
        {"touch", "no ':' after the kind"},
        {"move:feed:/tmp/x", "the kind is neither touch nor cmd"},
        {"TOUCH:feed:/tmp/x", "the kind is neither touch nor cmd"},
        {"touch:postgres", "no path"},
        {"touch:postgres:  ", "no path"},
        {"touch::/tmp/x", "no process"},
        {"cmd:feed", "no subject"},
        {"cmd:feed::6", "no subject"},
        // One bad entry spoils the list: half a failover is worse than none.
        {"touch:postgres:/f1;cmd:feed", "no subject"},
    };
    for (const auto& c : cases)
    {
        CaptureLogSink sink(LOG_LEVEL_DEBUG);
        Log log;
        log.addLogSink(&sink);
        EXPECT_EQ(DroskUtils::constructCmds(c.text, &log), nullptr) << c.text;
        EXPECT_EQ(sink.lines().size(), 1u) << c.text;
        EXPECT_TRUE(sink.contains(std::string("is malformed: ") + c.reason)) << c.text;
    }
    EXPECT_EQ(DroskUtils::constructCmds(nullptr), nullptr);
}

// Without a log of its own the parser writes to the process log, and a
// hostile text reaches it escaped.
TEST(DroskUtils, WritesToTheProcessLogWhenGivenNone)
{
    CaptureLogSink sink(LOG_LEVEL_DEBUG);
    Log log;
    log.addLogSink(&sink);
    Log* before = LogRegistry::g_logger;
    LogRegistry::g_logger = &log;
    EXPECT_EQ(DroskUtils::constructCmds("touch:a:/x;bad\x1b[2J"), nullptr);
    LogRegistry::g_logger = before;
    EXPECT_TRUE(sink.contains("failover action 2 (bad\\x1B[2J) is malformed")) << testing::PrintToString(sink.lines());
}

} // namespace
