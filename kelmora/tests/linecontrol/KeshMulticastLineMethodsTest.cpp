// The five admin methods of multicast lines, called as the admin path calls
// every object registered under a name: only the lines a call names act and
// answer.
#include "LineControlTestSupport.h"

#include "kelmora/linehandler/KeshMulticastLineMethods.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <gtest/gtest.h>

#include <memory>

using namespace lctest;

namespace
{

struct MulticastLines : ::testing::Test
{
    struct Line
    {
        const char* subfeed;
        const char* group;
        const char* service;
    };

    MulticastLines()
    {
        // The third line is configured with a service name, not a port number.
        const Line configured[] = {
            {"feedA", "239.1.1.1", "12345"}, {"feedA", "239.1.1.2", "12346"}, {"feedB", "239.1.1.1", "mcast-svc"}};
        for (const Line& l : configured)
        {
            lines.push_back(std::make_unique<CountingLine>(std::string(l.group) + ":" + l.service, session, host.log));
            LineHandler* h = lines.back().get();
            methods.push_back(std::make_unique<KeshUnjoinMulticastGroup>(h, l.subfeed, l.group, l.service));
            methods.push_back(std::make_unique<KeshRejoinMulticastGroup>(h, l.subfeed, l.group, l.service));
            methods.push_back(std::make_unique<KeshUnjoinSubfeed>(h, l.subfeed, l.group, l.service));
            methods.push_back(std::make_unique<KeshRejoinSubfeed>(h, l.subfeed, l.group, l.service));
            methods.push_back(std::make_unique<KeshMulticastDisconnect>(h, l.subfeed, l.group, l.service));
        }
    }

    // Every method object of that name, in line order; their "Message" results.
    std::vector<std::string> call(const std::string& name, const std::vector<std::string>& args)
    {
        KeshParamList in;
        for (const std::string& a : args)
            in.add("arg", a);
        KeshParamList out;
        for (const auto& m : methods)
            if (m->getName() == name)
                m->invoke(in, out);
        std::vector<std::string> answers;
        for (std::size_t i = 0; i < out.size(); ++i)
        {
            EXPECT_EQ(out.getParam(i)->getName(), "Message");
            answers.push_back(out.getParam(i)->getValue());
        }
        return answers;
    }

    std::string states() const
    {
        std::string s;
        for (const auto& line : lines)
            s += line->connected() ? 'u' : 'd';
        return s;
    }

    hostrun::Host host;
    TarvokSession session;
    std::vector<std::unique_ptr<CountingLine>> lines;
    std::vector<std::unique_ptr<KeshMethod>> methods;
};

TEST_F(MulticastLines, OnlyTheNamedLinesActAndAnswer)
{
    const struct
    {
        const char* method;
        std::vector<std::string> args;
        std::vector<std::string> answers;
        const char* states;
    } calls[] = {
        {"unjoinMulticastGroup", {"239.1.1.1", "12345"}, {"Unjoined: feedA (239.1.1.1/12345)"}, "duu"},
        {"unjoinMulticastGroup", {"239.1.1.1", "12345"}, {"Already unjoined: feedA (239.1.1.1/12345)"}, "duu"},
        {"unjoinMulticastGroup", {"239.9.9.9", "12345"}, {}, "duu"},
        {"unjoinMulticastGroup", {"239.1.1.1", "123456"}, {}, "duu"},
        // Found by its configured service name only, never by a port number.
        {"unjoinMulticastGroup", {"239.1.1.1", "12347"}, {}, "duu"},
        {"unjoinMulticastGroup", {"239.1.1.1", "mcast-svc"}, {"Unjoined: feedB (239.1.1.1/mcast-svc)"}, "dud"},
        {"rejoinSubfeed",
         {"feedA"},
         {"Rejoined :feedA (239.1.1.1/12345)", "Already joined: feedA (239.1.1.2/12346)"},
         "uud"},
        {"unjoinSubfeed",
         {"feedA"},
         {"Unjoined: feedA (239.1.1.1/12345)", "Unjoined: feedA (239.1.1.2/12346)"},
         "ddd"},
        {"unjoinSubfeed", {"feedC"}, {}, "ddd"},
        {"rejoinMulticastGroup", {"239.1.1.2", "12346"}, {"Rejoined :feedA (239.1.1.2/12346)"}, "dud"},
        {"rejoinMulticastGroup", {"239.1.1.2", "12346"}, {"Already joined: feedA (239.1.1.2/12346)"}, "dud"},
        {"disconnect",
         {},
         {"Already disconnected: feedA (239.1.1.1/12345)", "Disconnected: feedA (239.1.1.2/12346)",
          "Already disconnected: feedB (239.1.1.1/mcast-svc)"},
         "ddd"},
    };
    for (const auto& c : calls)
    {
        EXPECT_EQ(call(c.method, c.args), c.answers) << c.method << " " << (c.args.empty() ? "" : c.args[0]);
        EXPECT_EQ(states(), c.states) << c.method;
    }
    int calls_ = 0;
    for (const auto& line : lines)
        calls_ += line->connects + line->disconnects;
    EXPECT_EQ(calls_, 7);
}

TEST_F(MulticastLines, WrongArgumentCountsAreUsageErrorsAndTouchNoLine)
{
    const struct
    {
        const char* method;
        std::vector<std::string> args;
    } calls[] = {
        {"unjoinMulticastGroup", {"239.1.1.1"}},
        {"rejoinMulticastGroup", {"239.1.1.1", "12345", "x"}},
        {"unjoinSubfeed", {}},
        {"rejoinSubfeed", {"feedA", "feedB"}},
        {"disconnect", {"feedA"}},
    };
    for (const auto& c : calls)
    {
        try
        {
            call(c.method, c.args);
            ADD_FAILURE() << c.method << ": no usage error";
        }
        catch (const KeshUsageError& e)
        {
            EXPECT_STREQ(e.what(), "KESH usage") << c.method;
        }
    }
    EXPECT_EQ(states(), "uuu");
}

TEST_F(MulticastLines, MethodsAreInfoMethodsWithTheirArgumentsAndOneMessageResult)
{
    const struct
    {
        const char* name;
        std::vector<std::string> args;
    } expected[] = {
        {"unjoinMulticastGroup", {"Group", "GroupPort"}},
        {"rejoinMulticastGroup", {"Group", "GroupPort"}},
        {"unjoinSubfeed", {"Subfeed"}},
        {"rejoinSubfeed", {"Subfeed"}},
        {"disconnect", {}},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i)
    {
        const KeshMethod& m = *methods[i];
        EXPECT_EQ(m.getName(), expected[i].name);
        EXPECT_EQ(m.getType(), KESH_METHOD_INFO);
        std::vector<std::string> args;
        for (const auto& def : m.getArgParamDefs())
            args.push_back(def.name);
        EXPECT_EQ(args, expected[i].args) << expected[i].name;
        ASSERT_EQ(m.getResultParamDefs().size(), 1u);
        EXPECT_EQ(m.getResultParamDefs()[0].name, "Message");
    }
}

} // namespace
