// The operator's configuration query tool, run as operators run it.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <fstream>
#include <sstream>

namespace
{

struct ToolRun
{
    int status;
    std::string out;
    std::string err;
};

std::string quote(const std::string& arg)
{
    std::string q = "'";
    for (char ch : arg)
        q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ConfigQueryToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir.write("conf/tarvok.xml", "<tarvok><QueueSize>100</QueueSize><LogLevel>5</LogLevel></tarvok>");
        dir.write("conf/feed.xml", R"(<feed>
  <QueueSize>200</QueueSize>
  <NamedThreads>MAIN</NamedThreads>
  <NamedThreads>LINE_A</NamedThreads>
  <Sep> </Sep>
  <feed><hostA><QueueSize>300</QueueSize><Enabled>yes</Enabled></hostA></feed>
  <Broken>12x</Broken>
</feed>
)");
    }

    ToolRun run(const std::vector<std::string>& args)
    {
        std::string command = "cd " + quote(dir.path()) + " && TARVOK_PATH=" + quote(dir.path() + "/conf") + " " +
                              quote(ZUNQ_CFG_QUERY_PATH);
        for (const auto& a : args)
            command += " " + quote(a);
        command += " >out.txt 2>err.txt";
        const int raw = std::system(command.c_str());
        return ToolRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir.path() + "/out.txt"),
                   slurp(dir.path() + "/err.txt")};
    }

    TempDir dir;
};

TEST_F(ConfigQueryToolTest, PrintsTheValueAKeyResolvesTo)
{
    const struct
    {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"--file", "tarvok", "QueueSize"}, "100\n"},
        {{"--file", "tarvok", "--file", "feed", "QueueSize"}, "200\n"},
        {{"--file", "tarvok", "--file", "feed", "--base", "feed", "--base", "feed/hostA", "QueueSize"}, "300\n"},
        {{"--file", "tarvok", "--file", "feed", "QueueSize", "--", "--queue-size", "7"}, "7\n"},
        {{"--file", "feed", "--option", "--size", "QueueSize", "--", "--size=8", "--queue-size=9"}, "8\n"},
        {{"--file", "feed", "--option", "", "QueueSize", "--", "--queue-size=9"}, "200\n"},
        {{"--file", "feed", "--base", "feed/hostA", "--type", "bool", "Enabled"}, "true\n"},
        {{"--file", "feed", "--type", "long", "QueueSize"}, "200\n"},
        {{"--file", "feed", "--type", "double", "QueueSize"}, "200\n"},
        {{"--file", "feed", "--list", "NamedThreads"}, "MAIN\nLINE_A\n"},
        {{"--file", "feed", "--raw", "Sep"}, " \n"},
        {{"--file", "feed", "Sep"}, "\n"},
        {{"--file", "feed", "--default", "45000", "Missing"}, "45000\n"},
        {{"--file", "conf/feed.xml", "LogLevel", "--default", "6"}, "6\n"},
    };
    for (const auto& c : cases)
    {
        const ToolRun r = run(c.args);
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        EXPECT_EQ(r.status, 0) << shown << r.err;
        EXPECT_EQ(r.out, c.out) << shown;
    }
}

TEST_F(ConfigQueryToolTest, ReportsMissingKeysFilesAndBadValues)
{
    dir.write("conf/bad.xml", "<a>\n<b>\n</a>\n");
    const struct
    {
        std::vector<std::string> args;
        int status;
        std::string err; // part of the error text
    } cases[] = {
        {{"--file", "feed", "Missing"}, 2, "Missing is not set"},
        {{"--file", "nowhere", "QueueSize"}, 1, "configuration file nowhere not found"},
        {{"--file", "bad", "QueueSize"}, 1, dir.path() + "/conf/bad.xml:3:"},
        {{"--file", "feed", "--type", "long", "Broken"}, 1, "key Broken (" + dir.path() + "/conf/feed.xml:7)"},
        {{"--file", "feed", "--type", "long", "QueueSize", "--", "--queue-size"}, 1, "option --queue-size"},
        {{"--file", "feed", "--type", "bool", "QueueSize"}, 1, "is not true or false"},
        {{"--file", "feed"}, 64, "no key given"},
        {{"--file", "feed", "--type", "text", "QueueSize"}, 64, "unknown type"},
        {{"--bogus", "QueueSize"}, 64, "unknown option --bogus"},
        {{"--file"}, 64, "--file needs a value"},
    };
    for (const auto& c : cases)
    {
        const ToolRun r = run(c.args);
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        EXPECT_EQ(r.status, c.status) << shown << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << shown << ": " << r.err;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST_F(ConfigQueryToolTest, HelpGoesToStandardOutput)
{
    const ToolRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: zunq_cfg_query", 0), 0u);
}

} // namespace
