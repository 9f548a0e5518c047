#include "zunq/config/ConfigError.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <memory>

namespace
{

// The base file, loaded first.
const char* const cBaseFile = R"(<tarvok>
  <OnlyInBase>top-base</OnlyInBase>
  <InBothFiles>top-base</InBothFiles>
  <BaseInEarlierFile>top-base</BaseInEarlierFile>
  <feed>
    <BaseInEarlierFile>feed-base-file</BaseInEarlierFile>
  </feed>
</tarvok>
)";

// The application's class file, loaded second.
const char* const cClassFile = R"(<feed_cfg>
  <InBothFiles>top-class</InBothFiles>
  <BaseInEarlierFile>top-class</BaseInEarlierFile>
  <QueueSize>45000</QueueSize>
  <Sep>	</Sep>
  <Padded>  x  </Padded>
  <feed>
    <Specific>feed</Specific>
    <PerSubFeed>feed</PerSubFeed>
    <hostA>
      <Specific>feed-hostA</Specific>
    </hostA>
  </feed>
  <SF1>
    <PerSubFeed>sf1</PerSubFeed>
    <LineHandlerType>tcp</LineHandlerType>
  </SF1>
  <LineHandlerType>multicast</LineHandlerType>
  <Numbers>
    <Dec>42</Dec>
    <Hex>0x1F</Hex>
    <Neg> -7 </Neg>
    <Zeros>0900</Zeros>
    <AllBits>0xFFFFFFFFFFFFFFFF</AllBits>
    <Big>9223372036854775807</Big>
    <TooBig>9223372036854775808</TooBig>
    <Word>abc</Word>
    <Trailing>12abc</Trailing>
    <Empty/>
    <Real>2.5e-1</Real>
    <RealPlus>+0.5</RealPlus>
    <NotReal>nan</NotReal>
    <Yes>YES</Yes>
    <Off>off</Off>
    <Maybe>maybe</Maybe>
  </Numbers>
</feed_cfg>
)";

class ZunqConfigManagerTest : public ::testing::Test
{
protected:
    // A manager over both files with the host's bases, and these arguments.
    std::unique_ptr<ZunqConfigManager> makeManager(std::vector<const char*> args = {})
    {
        args.insert(args.begin(), "/opt/feed/bin/feed_a1");
        auto m = std::make_unique<ZunqConfigManager>(static_cast<int>(args.size()), args.data());
        for (const char* name : {"tarvok.xml", "class.xml"})
        {
            std::unique_ptr<ConfigFile> file(ConfigFile::load(name, dir.path() + "/" + name));
            m->addFile(file.get()); // the file object goes; its tree stays
        }
        m->addConfigBase("feed", ZunqConfigManager::ALT_ROOT_OPTIONAL);
        m->addConfigBase("feed/hostA", ZunqConfigManager::ALT_ROOT_OPTIONAL);
        m->addConfigBase("feed/hostB", ZunqConfigManager::ALT_ROOT_OPTIONAL); // absent: skipped
        return m;
    }

    std::string errorOf(const std::function<void()>& read)
    {
        try
        {
            read();
        }
        catch (const ConfigError& e)
        {
            return e.what();
        }
        return "";
    }

    void SetUp() override
    {
        dir.write("tarvok.xml", cBaseFile);
        dir.write("class.xml", cClassFile);
    }

    TempDir dir;
};

TEST_F(ZunqConfigManagerTest, OptionThenMostSpecificBaseThenLaterFileThenDefault)
{
    auto m = makeManager({"--per-sub-feed", "from-option", "0", "1"});
    const struct
    {
        const char* name;
        const char* key;
        const char* option;
        const char* expected;
    } cases[] = {
        {"top level of the only file", "OnlyInBase", "--only-in-base", "top-base"},
        {"later file over earlier file", "InBothFiles", "--in-both-files", "top-class"},
        {"base in earlier file over top level of later", "BaseInEarlierFile", "", "feed-base-file"},
        {"more specific base over general", "Specific", "--specific", "feed-hostA"},
        {"option over every key", "PerSubFeed", "--per-sub-feed", "from-option"},
        {"empty option not consulted", "PerSubFeed", "", "feed"},
        {"empty key reads the option alone", "", "--per-sub-feed", "from-option"},
        {"empty key and no option: default", "", "--absent", "default"},
        {"missing everywhere: default", "Missing", "--missing", "default"},
        {"positional arguments are no options", "Missing", "0", "default"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m->getString(c.key, c.option, "default"), c.expected) << c.name;
}

TEST_F(ZunqConfigManagerTest, CopyHasItsOwnBasesAndArguments)
{
    auto m = makeManager();
    ZunqConfigManager subFeed(*m);
    subFeed.addConfigBase("SF1", ZunqConfigManager::ALT_ROOT_OPTIONAL);
    subFeed.setArg("--queue-size=100");

    EXPECT_EQ(subFeed.getString("PerSubFeed", "", ""), "sf1");
    EXPECT_EQ(m->getString("PerSubFeed", "", ""), "feed");
    EXPECT_EQ(subFeed.getLong("QueueSize", "--queue-size", 0), 100);
    EXPECT_EQ(m->getLong("QueueSize", "--queue-size", 0), 45000);
    // Entries are found through the copy's bases too.
    EXPECT_EQ(subFeed.getChild("LineHandlerType")->values(), std::vector<std::string>{"tcp"});
    EXPECT_EQ(m->getChild("LineHandlerType")->values(), std::vector<std::string>{"multicast"});

    // A file added to the original later does not reach the copy.
    dir.write("late.xml", "<late><OnlyInBase>late</OnlyInBase></late>");
    std::unique_ptr<ConfigFile> late(ConfigFile::load("late.xml", dir.path() + "/late.xml"));
    m->addFile(late.get());
    EXPECT_EQ(m->getString("OnlyInBase", "", ""), "late");
    EXPECT_EQ(subFeed.getString("OnlyInBase", "", ""), "top-base");
    EXPECT_EQ(m->getConfigFileList(),
              (std::vector<std::string>{dir.path() + "/tarvok.xml", dir.path() + "/class.xml", dir.path() + "/late.xml"}));
}

TEST_F(ZunqConfigManagerTest, SectionArgumentReadsThatSectionAlone)
{
    auto m = makeManager();
    const CfgEntry* sf1 = m->getChild("SF1");
    ASSERT_NE(sf1, nullptr);
    EXPECT_EQ(m->getString("PerSubFeed", "", "none", false, sf1), "sf1");
    EXPECT_EQ(m->getString("InBothFiles", "", "none", false, sf1), "none");
    EXPECT_EQ(m->getChild("LineHandlerType", sf1)->values(), std::vector<std::string>{"tcp"});
    EXPECT_EQ(m->getChild("Missing", sf1), nullptr);
}

TEST_F(ZunqConfigManagerTest, FlagKeepsTheTextAsWritten)
{
    auto m = makeManager();
    EXPECT_EQ(m->getString("Sep", "", "x", true), "\t");
    EXPECT_EQ(m->getString("Sep", "", "x", false), "");
    EXPECT_EQ(m->getString("Padded", "", "", true), "  x  ");
    EXPECT_EQ(m->getString("Padded", "", "", false), "x");
}

TEST_F(ZunqConfigManagerTest, NumbersAndBooleansParseOrNameTheBadValue)
{
    auto m = makeManager();
    ZunqConfigManager numbers(*m);
    numbers.addConfigBase("Numbers", ZunqConfigManager::ALT_ROOT_OPTIONAL);
    EXPECT_EQ(numbers.getLong("Dec", "", 0), 42);
    EXPECT_EQ(numbers.getLong("Hex", "", 0), 31);
    EXPECT_EQ(numbers.getLong("Neg", "", 0), -7);
    EXPECT_EQ(numbers.getLong("Zeros", "", 0), 900);
    EXPECT_EQ(static_cast<unsigned long>(numbers.getLong("AllBits", "", 0)), ~0UL);
    EXPECT_EQ(numbers.getLong("Big", "", 0), 9223372036854775807L);
    EXPECT_DOUBLE_EQ(numbers.getDouble("Real", "", 0), 0.25);
    EXPECT_DOUBLE_EQ(numbers.getDouble("RealPlus", "", 0), 0.5);
    EXPECT_DOUBLE_EQ(numbers.getDouble("Dec", "", 0), 42);
    EXPECT_TRUE(numbers.getBool("Yes", "", false));
    EXPECT_FALSE(numbers.getBool("Off", "", true));

    const std::string where = dir.path() + "/class.xml:";
    const struct
    {
        const char* key;
        std::function<void()> read;
    } bad[] = {
        {"TooBig", [&] { numbers.getLong("TooBig", "", 0); }},
        {"Word", [&] { numbers.getLong("Word", "", 0); }},
        {"Trailing", [&] { numbers.getLong("Trailing", "", 0); }},
        {"Empty", [&] { numbers.getLong("Empty", "", 0); }},
        {"NotReal", [&] { numbers.getDouble("NotReal", "", 0); }},
        {"Maybe", [&] { numbers.getBool("Maybe", "", false); }},
        {"Empty", [&] { numbers.getBool("Empty", "", false); }},
        {"Numbers", [&] { m->getString("Numbers", "", ""); }}, // a section is no value
    };
    for (const auto& b : bad)
    {
        const std::string error = errorOf(b.read);
        EXPECT_NE(error.find(std::string("key ") + b.key + " (" + where), std::string::npos) << b.key << ": " << error;
    }
}

TEST_F(ZunqConfigManagerTest, OptionValuesAreTypedLikeKeys)
{
    auto m = makeManager({"--count=0x10", "--ratio", "-1.5", "--enable", "--disable=no", "--bad=ten"});
    EXPECT_EQ(m->getLong("", "--count", 0), 16);
    EXPECT_DOUBLE_EQ(m->getDouble("", "--ratio", 0), -1.5);
    EXPECT_TRUE(m->getBool("", "--enable", false)); // a bare switch
    EXPECT_FALSE(m->getBool("", "--disable", true));
    EXPECT_NE(errorOf([&] { m->getLong("", "--bad", 0); }).find("option --bad"), std::string::npos);
    EXPECT_NE(errorOf([&] { m->getLong("", "--enable", 0); }).find("option --enable"), std::string::npos);
}

TEST_F(ZunqConfigManagerTest, GetChildSearchesBasesThenTopLevel)
{
    auto m = makeManager();
    EXPECT_EQ(m->getChild("Specific")->values(), std::vector<std::string>{"feed-hostA"});
    EXPECT_TRUE(m->getChild("feed")->isSection());
    EXPECT_EQ(m->getChild("Missing"), nullptr);
    EXPECT_EQ(m->getChild(""), nullptr);
}

TEST_F(ZunqConfigManagerTest, IdentityStartsFromTheProgramPath)
{
    auto m = makeManager();
    EXPECT_EQ(m->getBinaryName(), "feed_a1");
    EXPECT_EQ(m->getExeName(), "feed_a1");
    EXPECT_EQ(m->getExePath(), "/opt/feed/bin/feed_a1");
    m->setExeName("other");
    EXPECT_EQ(m->getBinaryName(), "feed_a1"); // the binary name stays the first exe name
}

TEST(ZunqConfigManagerOptionName, KeysBecomeLowerCaseHyphenatedOptions)
{
    const struct
    {
        const char* key;
        const char* option;
    } cases[] = {
        {"TcpConnectDelay", "--tcp-connect-delay"},
        {"NamedThreadsEnableLocking", "--named-threads-enable-locking"},
        {"LoginWhenToStartHeartBeats", "--login-when-to-start-heart-beats"},
        {"HAConfiguration", "--ha-configuration"},
        {"HaMode", "--ha-mode"},
        {"LineDataSeqNumOffset", "--line-data-seq-num-offset"},
        {"OrvaneParamSeparator", "--orvane-param-separator"},
        {"Ipv4Address", "--ipv4-address"},
        {"Enabled", "--enabled"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZunqConfigManager::optionName(c.key), c.option) << c.key;
}

} // namespace
