// The framework's argument vector: standalone from the configuration, and
// from the agent's command line with the restart handling of start-up mode 2.
#include "kelmora/process/HostMain.h"

#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"
#include "zunq/log/LogSink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

namespace
{

class Lines : public LogSink
{
public:
    void setLevel(LogLevels) override {}
    LogLevels getLevel() const override { return LOG_LEVEL_DEBUG; }
    void print(LogLevels level, char c) override { print(level, &c, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels, const char* text, unsigned long length) override { mText.append(text, length).append("\n"); }
    void clear() { mText.clear(); }
    int count(const std::string& what) const
    {
        int n = 0;
        for (std::size_t at = mText.find(what); at != std::string::npos; at = mText.find(what, at + 1))
            ++n;
        return n;
    }

private:
    std::string mText;
};

class FwArgsTest : public ::testing::Test
{
protected:
    FwArgsTest()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwargs-XXXXXX").string();
        mDir = ::mkdtemp(pattern.data());
        mLog.addLogSink(&mLines);
        mSaved = LogRegistry::g_logger;
        LogRegistry::g_logger = &mLog;
        for (auto& buffer : mBuffers)
            mArgv[&buffer - mBuffers] = buffer;
        ::unsetenv("DEFAULT_FW_CONFIG_PATH");
        ::unsetenv("DEFAULT_FW_LOGS_PATH");
    }
    ~FwArgsTest() override
    {
        LogRegistry::g_logger = mSaved;
        mLog.addLogSink(nullptr);
        cfgMain = nullptr;
        std::filesystem::remove_all(mDir);
    }

    // The configuration manager of `args` (argv[0] "feedd") with `xml` as its file.
    void configure(const std::string& xml, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), "feedd");
        mArgs = args;
        mArgPtrs.clear();
        for (std::string& a : mArgs)
            mArgPtrs.push_back(a.data());
        mConfig = std::make_unique<ZunqConfigManager>(static_cast<int>(mArgPtrs.size()), mArgPtrs.data());
        std::ofstream(mDir + "/c.xml") << "<c>" << xml << "</c>";
        std::unique_ptr<ConfigFile> file(ConfigFile::load("c", mDir + "/c.xml"));
        mConfig->addFile(file.get());
        cfgMain = mConfig.get();
    }
    std::vector<std::string> run(int fwArgc, bool agent)
    {
        for (auto& buffer : mBuffers)
            std::fill(std::begin(buffer), std::end(buffer), 'Z');
        configureFwArg("feedd", fwArgc, mArgv, agent, static_cast<int>(mArgPtrs.size()), mArgPtrs.data());
        std::vector<std::string> out;
        for (int i = 0; i < fwArgc; ++i)
            out.emplace_back(mArgv[i]);
        return out;
    }
    std::string option(const std::string& name)
    {
        std::string value;
        return cfgMain->getOptArg(name, value) ? value : "<none>";
    }

    std::string mDir;
    Lines mLines;
    Log mLog;
    Log* mSaved = nullptr;
    char mBuffers[16][cFwArgBufferSize];
    char* mArgv[16];
    std::vector<std::string> mArgs;
    std::vector<char*> mArgPtrs;
    std::unique_ptr<ZunqConfigManager> mConfig;
};

TEST_F(FwArgsTest, StandaloneDefaultsAreTheExeNameZerosAndTheEnvironment)
{
    configure("");
    EXPECT_EQ(run(7, false), (std::vector<std::string>{"feedd", "feedd", "0", "0", "0", "", ""}));
    ::setenv("DEFAULT_FW_CONFIG_PATH", "/etc/fw.cfg", 1);
    ::setenv("DEFAULT_FW_LOGS_PATH", "/var/log/fw", 1);
    configure("<FwInitArg1>APP1</FwInitArg1><FwInitArg4>1</FwInitArg4>");
    EXPECT_EQ(run(7, false), (std::vector<std::string>{"feedd", "APP1", "0", "0", "1", "/etc/fw.cfg", "/var/log/fw"}));
    EXPECT_EQ(mLines.count("StartByAgent:    false"), 2);
    EXPECT_EQ(mLines.count("QUOR FwInitArg1 : APP1"), 1);
}

TEST_F(FwArgsTest, A511CharacterValueFitsA512CharacterOneEndsStartUp)
{
    configure("<FwInitArg5>" + std::string(511, 'a') + "</FwInitArg5>");
    EXPECT_EQ(run(7, false)[5], std::string(511, 'a'));

    configure("<FwInitArg5>" + std::string(512, 'a') + "</FwInitArg5>");
    try
    {
        run(7, false);
        FAIL() << "accepted";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(), "configureFwArg failed");
    }
    EXPECT_EQ(mLines.count("Fatal error: FwInitArg5 length cannot be longer than 511bytes: aaa"), 1);
    // The entries before it were copied.
    EXPECT_STREQ(mArgv[4], "0");
}

TEST_F(FwArgsTest, AgentModesAndRestartHandling)
{
    struct Case
    {
        std::string name;
        std::string mode;
        std::string xml;
        bool flagFile;
        std::string fwMode;      // what the framework receives as the start-up mode
        std::string haMode;      // the option "--ha-mode" afterwards
        std::vector<std::string> added; // " - Adding ...Arg [x]" lines, in order
    };
    const std::string restart = "<RestartArgs>--alpha=1  --beta=2</RestartArgs><DRRestartArgs>--dr=1</DRRestartArgs>";
    const Case cases[] = {
        {"active start reads no restart keys", "0", restart, true, "0", "<none>", {}},
        {"standby start reads no restart keys", "1", restart, true, "1", "<none>", {}},
        {"restart, active-active: started active", "2", restart, false, "0", "<none>",
         {"RestartArg [--alpha=1]", "RestartArg []", "RestartArg [--beta=2]"}},
        {"restart, hot standby: standby option", "2", "<HAConfiguration>2</HAConfiguration>" + restart, false, "2",
         "standby", {"RestartArg [--alpha=1]", "RestartArg []", "RestartArg [--beta=2]"}},
        {"restart after disaster recovery", "2", restart, true, "0", "<none>",
         {"RestartArg [--alpha=1]", "RestartArg []", "RestartArg [--beta=2]", "DRRestartArg [--dr=1]"}},
        {"other HA configuration changes nothing", "2", "<HAConfiguration>3</HAConfiguration>", false, "2",
         "<none>", {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(mDir + "/dr_completed.flag");
        if (c.flagFile)
            std::ofstream(mDir + "/dr_completed.flag") << "";
        configure(c.xml, {"APP1", "0", "0", c.mode, mDir + "/fw.cfg", mDir});
        mLines.clear();
        const std::vector<std::string> fw = run(7, true);
        EXPECT_EQ(fw, (std::vector<std::string>{"feedd", "APP1", "0", "0", c.fwMode, mDir + "/fw.cfg", mDir}));
        EXPECT_EQ(option("--ha-mode"), c.haMode);
        int added = 0;
        for (const std::string& line : c.added)
            added += mLines.count(" - Adding " + line);
        EXPECT_EQ(added, static_cast<int>(c.added.size()));
        EXPECT_EQ(mLines.count(" - Adding "), static_cast<int>(c.added.size()));
        EXPECT_EQ(mLines.count("DR is activated"), c.flagFile && c.mode == "2" ? 1 : 0);
        if (!c.added.empty())
        {
            EXPECT_EQ(option("--alpha"), "1"); // later factories read them as options
        }
    }
}

TEST(StartedByAgent, SevenPositionalWordsOnly)
{
    struct Case
    {
        std::vector<std::string> args;
        bool agent;
    };
    const Case cases[] = {
        {{"rtsd", "APP1", "0", "0", "0", "/etc/fw.cfg"}, false},
        {{"rtsd", "APP1", "0", "0", "0", "/etc/fw.cfg", "/var/log"}, true},
        {{"rtsd", "APP1", "0", "0", "0", "/etc/fw.cfg", "/var/log", "--config-file", "x.xml"}, true},
        // An operator's own options are no agent's vector.
        {{"rtsd", "--config-file", "a.xml", "--name", "b", "--log-file-path", "/tmp"}, false},
        {{"rtsd", "APP1", "0", "0", "0", "/etc/fw.cfg", "-v"}, false},
    };
    for (const Case& c : cases)
    {
        std::vector<std::string> args = c.args;
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        EXPECT_EQ(startedByAgent(static_cast<int>(argv.size()), argv.data()), c.agent) << testing::PrintToString(c.args);
    }
}

} // namespace
