#include "zunq/config/ConfigError.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace
{

using Strings = std::vector<std::string>;

class ConfigFileTest : public ::testing::Test
{
protected:
    std::unique_ptr<ConfigFile> load(const std::string& name, const std::string& xml)
    {
        return std::unique_ptr<ConfigFile>(ConfigFile::load(name, dir.write(name, xml)));
    }

    // The ConfigError text of parsing xml, or "" when it parses.
    std::string errorOf(const std::string& xml)
    {
        try
        {
            load("bad.xml", xml);
        }
        catch (const ConfigError& e)
        {
            return e.what();
        }
        return "";
    }

    TempDir dir;
    const char* argv[1] = {"test"};
    ZunqConfigManager manager{1, argv};
};

const char* const cLayout = R"(<?xml version="1.0"?>
<rtsd>
  <!-- a comment is not an entry -->
  <QueueSize>45000</QueueSize>
  <Padded>  text with spaces  </Padded>
  <Empty/>
  <NamedThreads>MAIN</NamedThreads>
  <NamedThreads>LINE_A</NamedThreads>
  <Channels><Value>1</Value><Value> 2 </Value><Value/><Value>3</Value></Channels>
  <Channels><Value>4</Value></Channels>
  <SF1>
    <TcpPort>9000</TcpPort>
    <LineHandlerType><Value>tcp</Value></LineHandlerType>
  </SF1>
  <ClientList>
    <Client><UserName>first</UserName><IpAddresses>10.0.0.1</IpAddresses></Client>
    <Client><UserName>second</UserName></Client>
  </ClientList>
  <Sep> </Sep>
  <Escaped>a &amp; b <![CDATA[<c>]]></Escaped>
</rtsd>
)";

TEST_F(ConfigFileTest, XmlLayoutMakesKeysListsAndSections)
{
    auto file = load("layout.xml", cLayout);
    ASSERT_TRUE(file);
    const CfgEntry& root = file->getRoot();
    EXPECT_EQ(root.getName(), "rtsd");

    const struct
    {
        const char* key;
        Strings values;
        bool section;
    } cases[] = {
        {"QueueSize", {"45000"}, false},
        {"Padded", {"text with spaces"}, false},
        {"Empty", {}, false},
        {"NamedThreads", {"MAIN", "LINE_A"}, false},    // repeated elements
        {"Channels", {"1", "2", "3", "4"}, false},      // <Value> children, across repeats
        {"SF1", {}, true},
        {"ClientList", {}, true},
        {"Sep", {}, false},
        {"Escaped", {"a & b <c>"}, false},
    };
    for (const auto& c : cases)
    {
        const CfgEntry* e = root.getChild(c.key);
        ASSERT_NE(e, nullptr) << c.key;
        EXPECT_EQ(e->values(), c.values) << c.key;
        EXPECT_EQ(e->isSection(), c.section) << c.key;
        EXPECT_EQ(e->noValues(), c.values.empty()) << c.key;
    }
    // Repeated keys merged into one entry: nine distinct top-level entries.
    EXPECT_EQ(root.numChildren(), 9u);
    EXPECT_EQ(root.getChild("Comment"), nullptr);

    const CfgEntry* sf1 = root.getChild("SF1");
    EXPECT_EQ(sf1->getChild("LineHandlerType")->values(), Strings{"tcp"});
    EXPECT_FALSE(sf1->getChild("LineHandlerType")->isSection());
    EXPECT_EQ(sf1->getChild("TcpPort")->where(), file->getPath() + ":12");
}

TEST_F(ConfigFileTest, RawTextKeepsWhiteSpaceTheValuesDrop)
{
    auto file = load("layout.xml", cLayout);
    EXPECT_EQ(file->getRoot().getChild("Padded")->getRawValue(), "  text with spaces  ");
    EXPECT_EQ(file->getRoot().getChild("Sep")->getRawValue(), " ");
    EXPECT_EQ(file->getRoot().getChild("Empty")->getRawValue(), "");
}

TEST_F(ConfigFileTest, RepeatedSectionsStayApartAndTheLastWinsByName)
{
    auto file = load("layout.xml", cLayout);
    const CfgEntry* list = file->getRoot().getChild("ClientList");
    ASSERT_EQ(list->numChildren(), 2u);
    Strings users;
    auto c = list->firstChild();
    while (!list->noMoreChildren(c))
    {
        std::string user;
        ASSERT_TRUE(list->nextChild(c)->getChild("UserName")->getValue(user));
        users.push_back(user);
    }
    EXPECT_EQ(users, (Strings{"first", "second"}));
    EXPECT_EQ(list->nextChild(c), nullptr);
    std::string last;
    list->getChild("Client")->getChild("UserName")->getValue(last);
    EXPECT_EQ(last, "second");
}

TEST_F(ConfigFileTest, ValueWalkReadsTextAndNumbersInOrder)
{
    auto file = load("layout.xml", cLayout);
    const CfgEntry* channels = file->getRoot().getChild("Channels");
    std::vector<long> numbers;
    for (auto c = channels->firstValue(); !channels->noMoreValues(c);)
    {
        long n = 0;
        ASSERT_TRUE(channels->getValue(c, n));
        numbers.push_back(n);
    }
    EXPECT_EQ(numbers, (std::vector<long>{1, 2, 3, 4}));

    const CfgEntry* threads = file->getRoot().getChild("NamedThreads");
    auto c = threads->firstValue();
    std::string text;
    long n = 0;
    EXPECT_FALSE(threads->getValue(c, n)); // "MAIN" is no number; the walk moves on
    ASSERT_TRUE(threads->getValue(c, text));
    EXPECT_EQ(text, "LINE_A");
    EXPECT_FALSE(threads->getValue(c, text));
    EXPECT_TRUE(threads->noMoreValues(c));

    // A key's own value is the last of its list.
    ASSERT_TRUE(threads->getValue(text));
    EXPECT_EQ(text, "LINE_A");
    EXPECT_FALSE(file->getRoot().getChild("Empty")->getValue(text));
}

TEST_F(ConfigFileTest, MalformedFilesGiveConfigErrorWithFileAndLine)
{
    const struct
    {
        const char* name;
        std::string xml;
        int line;
    } cases[] = {
        {"unclosed element", "<a>\n  <b>1</b>\n  <c>2\n</a>\n", 4},
        {"mismatched end tag", "<a>\n<b>1</c>\n</a>", 2},
        {"text beside child elements", "<a>\n  <S>\n    stray\n    <K>1</K>\n  </S>\n</a>", 2},
        {"two root elements", "<a/>\n<b/>\n", 2},
        {"bad character reference", "<a>\n<b>&#0;</b></a>", 2},
        {"undefined entity", "<a>\n\n<b>&nope;</b></a>", 3},
        {"document type declaration", "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>\n<a>&e;</a>", 2},
        {"no root element", "<?xml version=\"1.0\"?>\n", 0},
        {"not xml at all", "QueueSize=5\n", 1},
    };
    for (const auto& c : cases)
    {
        const std::string error = errorOf(c.xml);
        const std::string path = dir.path() + "/bad.xml";
        ASSERT_FALSE(error.empty()) << c.name;
        EXPECT_EQ(error.rfind(path, 0), 0u) << c.name << ": " << error;
        if (c.line > 0)
        {
            EXPECT_NE(error.find(path + ":" + std::to_string(c.line) + ":"), std::string::npos)
                << c.name << ": " << error;
        }
    }
}

TEST_F(ConfigFileTest, NestingTooDeepIsRefused)
{
    std::string ok, deep;
    for (int i = 0; i < ConfigFile::cMaxDepth; ++i)
        ok += "<s>";
    ok += "1";
    for (int i = 0; i < ConfigFile::cMaxDepth; ++i)
        ok += "</s>";
    EXPECT_EQ(errorOf(ok), "");
    deep = "<top>" + ok + "</top>";
    EXPECT_NE(errorOf(deep).find("nest deeper"), std::string::npos);
}

TEST_F(ConfigFileTest, OversizedFileIsRefusedBeforeReading)
{
    const std::string path = dir.write("huge.xml", "");
    ASSERT_EQ(::truncate(path.c_str(), ConfigFile::cMaxFileSize + 1), 0);
    try
    {
        ConfigFile::load("huge.xml", path);
        FAIL() << "no error";
    }
    catch (const ConfigError& e)
    {
        EXPECT_NE(std::string(e.what()).find("larger than"), std::string::npos) << e.what();
    }
}

TEST_F(ConfigFileTest, SearchesTarvokPathThenWorkingDirectoryWithOrWithoutXml)
{
    dir.write("first/other.xml", "<c><Where>first</Where></c>");
    dir.write("second/tarvok", "<c><Where>second</Where></c>");
    dir.write("second/other.xml", "<c><Where>second</Where></c>");
    dir.write("cwd/local.xml", "<c><Where>cwd</Where></c>");
    dir.write("cwd/tarvok.xml", "<c><Where>cwd</Where></c>");
    ::mkdir((dir.path() + "/first/tarvok").c_str(), 0700); // a directory is no file
    const std::string searchPath = dir.path() + "/first::" + dir.path() + "/second";
    ScopedEnv tarvokPath("TARVOK_PATH", searchPath.c_str());
    const std::string oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path() + "/cwd");

    const struct
    {
        std::string name;
        std::string where; // "" when not found
    } cases[] = {
        {"tarvok", "second"},   // first dir has only a directory of that name
        {"other", "first"},     // ".xml" added; first directory first
        {"other.xml", "first"}, // given with its suffix
        {"local", "cwd"},       // not on the path: the working directory
        {"missing", ""},
        {"", ""},
        {dir.path() + "/cwd/tarvok", "cwd"}, // a path is used as given
        {"./tarvok.xml", "cwd"},
        {dir.path() + "/nowhere/tarvok", ""},
    };
    for (const auto& c : cases)
    {
        std::unique_ptr<ConfigFile> file(createConfigFile(c.name, manager));
        if (c.where.empty())
        {
            EXPECT_EQ(file, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(file, nullptr) << c.name;
        std::string where;
        file->getRoot().getChild("Where")->getValue(where);
        EXPECT_EQ(where, c.where) << c.name << " read from " << file->getPath();
        EXPECT_EQ(file->getName(), c.name);
    }
    // Found in the working directory, kept by its absolute path.
    std::unique_ptr<ConfigFile> local(createConfigFile("local", manager));
    ASSERT_EQ(local->getPath().front(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(local->getPath(), dir.path() + "/cwd/local.xml"));
    std::filesystem::current_path(oldCwd);
}

TEST_F(ConfigFileTest, UnreadableFileIsNotFound)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string path = dir.write("locked.xml", "<a/>");
    ::chmod(path.c_str(), 0);
    EXPECT_EQ(createConfigFile(path, manager), nullptr);
}

TEST_F(ConfigFileTest, MalformedFileFoundOnThePathThrows)
{
    dir.write("broken.xml", "<a>\n<b>\n</a>");
    ScopedEnv tarvokPath("TARVOK_PATH", dir.path().c_str());
    EXPECT_THROW(createConfigFile("broken", manager), ConfigError);
}

} // namespace
