#include "zunq/admin/KeshInterface.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/admin/KeshUsageError.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

class EchoMethod : public KeshMethod
{
public:
    explicit EchoMethod(const std::string& name, const std::string& thread = std::string())
        : KeshMethod(name, KESH_METHOD_ACTION_INFO, "Echo the first argument.")
    {
        if (!thread.empty())
            setThread(thread);
    }
    void invoke(const KeshParamList& in, KeshParamList& out) override
    {
        const KeshParam* first = in.getParam(0);
        if (first == nullptr)
            throw KeshUsageError();
        out.add("Message", first->getValue());
    }
};

// Records each method as it reaches the interface, with what it said then.
class RecordingInterface : public KeshInterface
{
public:
    void addMethod(KeshMethod* method) override
    {
        seen.push_back(method->getName() + "@" + method->getThread() + (method->getQuiet() ? "(quiet)" : ""));
    }
    std::vector<std::string> seen;
};

TEST(KeshParamList, FindsParametersByPositionAndName)
{
    KeshParamList list;
    list.add("Arg0", std::string("5"));
    list.add("Arg1", static_cast<const char*>(nullptr));
    list.add("Arg0", "shadowed");
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(list.getParam(0)->getValue(), "5");
    EXPECT_EQ(list.getParam(1)->getValue(), "");
    EXPECT_EQ(list.getParam(3), nullptr);
    EXPECT_EQ(list.getParam("Arg0"), list.getParam(0));
    EXPECT_EQ(list.getParam("Level"), nullptr);
    std::string text;
    list.getParam(2)->getValue(text);
    EXPECT_EQ(text, "shadowed");
}

TEST(KeshParam, ReadsOnlyWholeNumbersFromOperatorText)
{
    struct Case
    {
        const char* text;
        bool signedOk;
        long signedValue;
        bool unsignedOk;
        unsigned long unsignedValue;
    };
    const Case cases[] = {
        {"30", true, 30, true, 30},
        {" 42\t", true, 42, true, 42},
        {"-7", true, -7, false, 0},
        {"+3", true, 3, false, 0},
        {"0", true, 0, true, 0},
        {"", false, 0, false, 0},
        {"  ", false, 0, false, 0},
        {"abc", false, 0, false, 0},
        {"12x", false, 0, false, 0},
        {"1 2", false, 0, false, 0},
        {"0x10", false, 0, false, 0},
        {"9223372036854775807", true, LONG_MAX, true, 9223372036854775807ul},
        {"9223372036854775808", false, 0, true, 9223372036854775808ul},
        {"99999999999999999999", false, 0, false, 0},
    };
    for (const Case& c : cases)
    {
        KeshParam param("Interval", c.text);
        long s = 1234;
        unsigned long u = 1234;
        EXPECT_EQ(param.getValue(s), c.signedOk) << '"' << c.text << '"';
        EXPECT_EQ(s, c.signedOk ? c.signedValue : 1234) << '"' << c.text << '"';
        EXPECT_EQ(param.getValue(u), c.unsignedOk) << '"' << c.text << '"';
        EXPECT_EQ(u, c.unsignedOk ? c.unsignedValue : 1234u) << '"' << c.text << '"';
    }
}

TEST(KeshMethod, UsageErrorAndFullHelpDescribeTheMethod)
{
    KeshUsageError error;
    EXPECT_STREQ(error.what(), "KESH usage");
    const std::invalid_argument& asInvalid = error;
    EXPECT_STREQ(asInvalid.what(), "KESH usage");

    EchoMethod method("setLogLevel");
    method.addArgParamDef("Level", "Level to change.", "Debug", true);
    method.addArgParamDef("Scope", "Where", "", false);
    method.addResultParamDef("Setting", "New setting for level");
    std::string help;
    method.getFullHelp(help);
    EXPECT_NE(help.find("setLogLevel"), std::string::npos) << help;
    EXPECT_NE(help.find("Echo the first argument."), std::string::npos) << help;
    EXPECT_NE(help.find("Level (required, default Debug): Level to change."), std::string::npos) << help;
    EXPECT_NE(help.find("Scope (optional): Where"), std::string::npos) << help;
    EXPECT_NE(help.find("Setting: New setting for level"), std::string::npos) << help;
    EXPECT_EQ(method.getType(), KESH_METHOD_ACTION_INFO);
    static_assert(KESH_METHOD_INFO == 1 && KESH_METHOD_ACTION == 2 && KESH_METHOD_ACTION_INFO == 3);

    KeshParamList in, out;
    EXPECT_THROW(method.invoke(in, out), KeshUsageError);
}

TEST(KeshSession, HandsEveryMethodToEveryInterfaceWhicheverComesFirst)
{
    RecordingInterface early, late;
    KeshSession session("default");
    EXPECT_TRUE(session.addInterface(&early));
    EXPECT_FALSE(session.addInterface(&early));
    EXPECT_FALSE(session.addInterface(nullptr));
    EXPECT_TRUE(session.addMethod(new EchoMethod("quit")));
    EXPECT_TRUE(session.addMethod(new EchoMethod("getLineMonitorState", "xs_thread")));
    EXPECT_TRUE(session.addInterface(&late));
    auto* sameName = new EchoMethod("quit");
    EXPECT_TRUE(session.addMethod(sameName)); // several methods may share a name
    EXPECT_FALSE(session.addMethod(sameName));
    EXPECT_FALSE(session.addMethod(nullptr));

    const std::vector<std::string> expected = {"quit@default", "getLineMonitorState@xs_thread", "quit@default"};
    EXPECT_EQ(early.seen, expected);
    EXPECT_EQ(late.seen, expected);
    EXPECT_EQ(session.getMethods().size(), 3u);
}

TEST(KeshSession, QuietNamesMarkMethodsAddedBeforeAndAfter)
{
    RecordingInterface interface;
    KeshSession session("default");
    auto* before = new EchoMethod("getOrluStats");
    auto* loud = new EchoMethod("setLogLevel");
    session.addMethod(before);
    session.addMethod(loud);
    session.addQuietMethodName("getOrluStats");
    session.addQuietMethodName("getHAMode");
    session.addInterface(&interface);
    auto* after = new EchoMethod("getHAMode");
    auto* otherCase = new EchoMethod("gethamode");
    session.addMethod(after);
    session.addMethod(otherCase);

    EXPECT_TRUE(before->getQuiet());
    EXPECT_FALSE(loud->getQuiet());
    EXPECT_TRUE(after->getQuiet());
    EXPECT_FALSE(otherCase->getQuiet()); // names compare exactly
    EXPECT_TRUE(session.isQuietMethodName("getHAMode"));
    // The interface already sees the mark when the method reaches it.
    EXPECT_EQ(interface.seen, (std::vector<std::string>{"getOrluStats@default(quiet)", "setLogLevel@default",
                                                       "getHAMode@default(quiet)", "gethamode@default"}));
}

TEST(KeshSession, MethodsWithoutAThreadRunOnTheSessionsThread)
{
    KeshSession session;
    auto* early = new EchoMethod("resetStats");
    auto* own = new EchoMethod("reloadClientList", "RTS_THREAD");
    session.addMethod(early);
    session.addMethod(own);
    EXPECT_EQ(early->getThread(), "");
    session.setThreadName("xs_1");
    auto* late = new EchoMethod("setStatsInterval");
    session.addMethod(late);
    EXPECT_EQ(session.getThreadName(), "xs_1");
    EXPECT_EQ(early->getThread(), "xs_1");
    EXPECT_EQ(own->getThread(), "RTS_THREAD");
    EXPECT_EQ(late->getThread(), "xs_1");
}

} // namespace
