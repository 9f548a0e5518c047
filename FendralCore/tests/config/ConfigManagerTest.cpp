#include "ConfigFile.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <variant>
#include <vector>

namespace
{

class ConfigManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
    }

    // Loads text as a whole file into a fresh store.
    int32 load(const std::string& text)
    {
        m_file.write(text);
        m_config = std::make_unique<ConfigManager>(m_file.path());
        return m_config->loadConfigFile();
    }

    bool hasInt32(const std::string& name, int32 expected)
    {
        int32 value = expected == -12345 ? 0 : -12345;
        return m_config->getInt32ConfigPara(name, value, -12345) == 0 && value == expected;
    }

    bool absent(const std::string& name)
    {
        std::string value;
        return m_config->getStrConfPara(name, value, "<absent>") == 0 && value == "<absent>";
    }

    ConfigFile m_file;
    std::unique_ptr<ConfigManager> m_config;
};

// --- values ---

using Expected = std::variant<int64_t, uint64_t, double, std::string>;

struct ValueCase
{
    const char* type;
    const char* value;
    bool valid;
    Expected stored;
    const char* warning; // text of an expected warning line, or null
};

int64_t storedSigned(ConfigManager& config, const char* type, const std::string& name)
{
    if (std::string(type) == "INT16")
    {
        int16 v = 0;
        config.getInt16ConfigPara(name, v, 0);
        return v;
    }
    if (std::string(type) == "INT32")
    {
        int32 v = 0;
        config.getInt32ConfigPara(name, v, 0);
        return v;
    }
    int64 v = 0;
    config.getInt64ConfigPara(name, v, 0);
    return v;
}

uint64_t storedUnsigned(ConfigManager& config, const char* type, const std::string& name)
{
    if (std::string(type) == "UINT16")
    {
        uint16 v = 0;
        config.getUint16ConfigPara(name, v, 0);
        return v;
    }
    if (std::string(type) == "UINT32")
    {
        uint32 v = 0;
        config.getUint32ConfigPara(name, v, 0);
        return v;
    }
    uint64 v = 0;
    config.getUint64ConfigPara(name, v, 0);
    return v;
}

TEST_F(ConfigManagerTest, ValuesAreParsedPerTypeAndAdjustmentsAreLoggedAsWarnings)
{
    const std::vector<ValueCase> cases = {
        {"INT16", "70000", true, int64_t{4464}, "is out of the range of type [0]. Stored [4464]"},
        {"INT16", "-32768", true, int64_t{-32768}, nullptr},
        {"INT16", "3000000000", false, {}, nullptr},
        {"INT32", "3000000000", false, {}, nullptr},
        {"INT32", "-2147483648", true, int64_t{INT32_MIN}, nullptr},
        {"INT32", "0x10", true, int64_t{16}, nullptr},
        {"INT32", "010", true, int64_t{8}, nullptr},
        {"INT32", "12abc", true, int64_t{12}, "has trailing characters [abc]"},
        {"INT32", "08", true, int64_t{0}, "has trailing characters [8]"},
        {"INT32", "abc", false, {}, nullptr},
        {"INT32", "-", false, {}, nullptr},
        {"INT64", "9223372036854775807", true, int64_t{INT64_MAX}, nullptr},
        {"INT64", "9223372036854775808", false, {}, nullptr},
        {"INT64", "-0x8000000000000000", true, int64_t{INT64_MIN}, nullptr},
        {"UINT16", "65536", true, uint64_t{0}, "is out of the range of type [3]. Stored [0]"},
        {"UINT32", "-1", true, uint64_t{4294967295u}, "is out of the range of type [4]. Stored [4294967295]"},
        {"UINT32", "4294967295", true, uint64_t{4294967295u}, nullptr},
        {"UINT64", "18446744073709551615", true, uint64_t{UINT64_MAX}, nullptr},
        {"UINT64", "18446744073709551616", false, {}, nullptr},
        {"UINT64", "-0", true, uint64_t{0}, nullptr},
        {"DOUBLE", "1.5e3", true, 1500.0, nullptr},
        {"DOUBLE", "-0.25x", true, -0.25, "has trailing characters [x]"},
        {"DOUBLE", "1e999", false, {}, nullptr},
        {"STRING", "plain", true, std::string("plain"), nullptr},
    };
    std::string text;
    for (size_t i = 0; i < cases.size(); ++i)
        text += "K" + std::to_string(i) + " " + cases[i].type + " " + cases[i].value + "\n";
    ASSERT_EQ(load(text), 0);

    for (size_t i = 0; i < cases.size(); ++i)
    {
        const ValueCase& c = cases[i];
        const std::string name = "K" + std::to_string(i);
        SCOPED_TRACE(std::string(c.type) + " " + c.value);
        const std::string invalidLine = std::string("Invalid parameter value [") + c.value + "]";
        if (!c.valid)
        {
            EXPECT_TRUE(absent(name));
            EXPECT_TRUE(testLog().contains(invalidLine));
            continue;
        }
        if (auto* s = std::get_if<int64_t>(&c.stored))
            EXPECT_EQ(storedSigned(*m_config, c.type, name), *s);
        else if (auto* u = std::get_if<uint64_t>(&c.stored))
            EXPECT_EQ(storedUnsigned(*m_config, c.type, name), *u);
        else if (auto* d = std::get_if<double>(&c.stored))
        {
            double v = 0;
            EXPECT_EQ(m_config->getDoubleConfPara(name, v, 0), 0);
            EXPECT_EQ(v, *d);
        }
        const std::string warningOf = std::string("Value [") + c.value + "] of parameter [" + name + "]";
        if (c.warning != nullptr)
        {
            EXPECT_EQ(testLog().count(warningOf + " " + c.warning), 1u);
        }
        else
        {
            EXPECT_FALSE(testLog().contains(warningOf));
        }
    }
}

// --- line structure ---

struct LineCase
{
    std::string text;
    const char* name;
    const char* value; // null: nothing stored under name
    const char* log;   // an expected log line part, or null
    int32 code;        // the error code left, 0 when none
};

TEST_F(ConfigManagerTest, LinesSplitIntoNameTypeAndValueAndBadLinesAreSkipped)
{
    const std::string longName = "ABCDEFGHIJKLMNOPQRST";
    const std::vector<LineCase> cases = {
        {"A STRING \"a, b # c\"\n", "A", "a, b # c", nullptr, 0},
        {"A STRING \"it's\"\n", "A", "it", nullptr, 0},
        {"A STRING 'x\" y\n", "A", "x", nullptr, 0},
        {"A STRING x\r\n", "A", "x\r", nullptr, 0},
        {"A,STRING,\tx remark after the value\n", "A", "x", nullptr, 0},
        {" \t A STRING x \t\n", "A", "x", nullptr, 0},
        {"A STRING a#b\n", "A", "a#b", nullptr, 0},
        {"\"A B\" STRING x\n", "A B", "x", nullptr, 0},
        {longName + " STRING x\n", longName.c_str(), "x", nullptr, 0},
        {"# A STRING x\n", "A", nullptr, nullptr, 0},
        {"\n \t\n", "", nullptr, nullptr, 0},
        {"A string x\n", "A", nullptr, "Invalid parameter type [string]", INVALID_PARAMETER_TYPE},
        {"A STRING\n", "A", nullptr, "Invalid number of parameters in a configuration entry line [A STRING]",
         INVALID_NUM_OF_PARAMETER},
        {",A STRING x\n", "A", nullptr, "Invalid number of parameters in a configuration entry line [,A STRING x]",
         INVALID_NUM_OF_PARAMETER},
        {"A STRING \"\" x\n", "A", nullptr, "Invalid number of parameters", INVALID_NUM_OF_PARAMETER},
        {"\"\" STRING x\n", "", nullptr, "Invalid number of parameters", INVALID_NUM_OF_PARAMETER},
        {"A STRING \"open\n", "A", nullptr, "Invalid number of parameters", INVALID_NUM_OF_PARAMETER},
        {std::string("A STRING x\0y\n", 13), "A", nullptr, "Invalid character in a configuration entry line [A STRING x]",
         INVALID_NUM_OF_PARAMETER},
    };
    for (const LineCase& c : cases)
    {
        SCOPED_TRACE(c.text);
        SetUp();
        // A good line after the case shows that nothing else was lost.
        ASSERT_EQ(load(c.text + "NEXT INT32 7\n"), 0);
        EXPECT_TRUE(hasInt32("NEXT", 7));
        std::string value;
        EXPECT_EQ(m_config->getStrConfPara(c.name, value, "<absent>"), 0);
        EXPECT_EQ(value, c.value != nullptr ? c.value : "<absent>");
        if (c.log != nullptr)
        {
            EXPECT_EQ(testLog().count(c.log), 1u);
        }
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        EXPECT_TRUE(absent("")); // never an entry with an empty name
    }
}

TEST_F(ConfigManagerTest, FirstOfTwoEntriesWithOneNameWins)
{
    const std::string longName = "VERY_LONG_PARAMETER_NAME";
    ASSERT_EQ(load("DUP INT32 1\nDUP INT32 2\nDUP STRING x\n" + longName + " INT32 1\n" + longName + " INT32 2\n"), 0);
    EXPECT_TRUE(hasInt32("DUP", 1));
    EXPECT_TRUE(hasInt32(longName, 1));
    EXPECT_EQ(testLog().count("Duplicated configuration parameter name  [DUP] found. Skipped [DUP INT32 2]."), 1u);
    EXPECT_EQ(testLog().count("Duplicated configuration parameter name  [DUP] found. Skipped [DUP STRING x]."), 1u);
    EXPECT_EQ(testLog().count("Duplicated configuration parameter name  [VERY_LONG_PARAME] found."), 1u);
}

// --- line length ---

struct LengthCase
{
    size_t length; // characters before the newline
    const char* tail;
    bool stored;
};

// The buffer holds 254 characters and the newline. A longer line is refused
// whole and only it: what follows it always loads, whatever the over-long
// line's remainder looks like.
TEST_F(ConfigManagerTest, OverLongLineIsRefusedAndOnlyItsOwnRemainderIsDropped)
{
    const std::vector<LengthCase> cases = {
        {254, "", true},     {255, "", false},          {256, "", false},      {300, "", false},
        {511, "", false},    {600, "", false},          {300, " # tail", false}, {254, "\t", true},
    };
    for (const LengthCase& c : cases)
    {
        SCOPED_TRACE(c.length);
        SetUp();
        // "LONG STRING xxx..." padded to the length; tail ends it.
        std::string line = "LONG STRING ";
        line += std::string(c.length - line.size() - std::string(c.tail).size(), 'x') + c.tail;
        ASSERT_EQ(line.size(), c.length);
        const int32 rc = load("FIRST INT32 1\n" + line + "\n\n#\nNEXT INT32 2\nLAST INT32 3\n");
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(hasInt32("FIRST", 1));
        EXPECT_TRUE(hasInt32("NEXT", 2));
        EXPECT_TRUE(hasInt32("LAST", 3));
        EXPECT_EQ(!absent("LONG"), c.stored);
        EXPECT_EQ(testLog().count("too long"), c.stored ? 0u : 1u);
        if (!c.stored)
        {
            EXPECT_EQ(FrameworkErrno::m_fwErrno, LINE_TOO_LONG);
        }
    }
}

TEST_F(ConfigManagerTest, LineRightAfterAnOverLongLineOfExactlyTheBufferIsKept)
{
    // 255 characters fill the buffer; the remainder is only the newline. The
    // next line is an ordinary entry and must not be taken for that remainder.
    const std::string line = "LONG STRING " + std::string(243, 'x');
    ASSERT_EQ(load(line + "\nNEXT INT32 2\n"), 0);
    EXPECT_TRUE(hasInt32("NEXT", 2));
}

TEST_F(ConfigManagerTest, FileEndingInsideALineFailsTheLoadButKeepsTheRest)
{
    for (const std::string& last : {std::string("LAST INT32 3"), "LONG STRING " + std::string(400, 'x')})
    {
        SCOPED_TRACE(last.size());
        SetUp();
        EXPECT_EQ(load("FIRST INT32 1\n" + last), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, LINE_TOO_LONG);
        EXPECT_TRUE(hasInt32("FIRST", 1));
        EXPECT_TRUE(absent("LAST"));
        EXPECT_TRUE(testLog().contains("Configuration entry line [" + last.substr(0, 20)));
    }
}

TEST_F(ConfigManagerTest, EmptyFileLoadsNothingAndMissingOrUnreadableFileFails)
{
    EXPECT_EQ(load(""), 0);
    m_file.remove();
    EXPECT_EQ(m_config->loadConfigFile(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, FILE_OPEN_ERROR);
    EXPECT_EQ(testLog().count("Error [2] open configuration file [" + m_file.path() + "]"), 1u);

    // Opens, but cannot be read: a failure, not an empty configuration.
    const std::string directory = m_file.path().substr(0, m_file.path().rfind('/'));
    ConfigManager unreadable(directory);
    EXPECT_EQ(unreadable.loadConfigFile(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, READ_FAILED);
}

TEST_F(ConfigManagerTest, EveryLineIsLoggedTrimmedAtDebugLevel)
{
    ASSERT_EQ(load("  A INT32 5\t\n"), 0);
    EXPECT_EQ(testLog().count(",D, "), 1u);
    EXPECT_EQ(testLog().count("Read [A INT32 5]."), 1u);
}

// --- getters ---

struct GetterCase
{
    const char* type;
    const char* word;
    int32 (*get)(ConfigManager&, const std::string&, bool& untouched);
};

template <typename T, typename Getter>
int32 callGetter(ConfigManager& config, const std::string& name, bool& untouched, Getter getter, T sentinel)
{
    T value = sentinel;
    const int32 rc = (config.*getter)(name, value, T{});
    untouched = value == sentinel;
    return rc;
}

TEST_F(ConfigManagerTest, GetterOfAnotherTypeFailsAndLeavesTheOutputAlone)
{
    const std::vector<GetterCase> cases = {
        {"INT16", "Int16",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<int16>(c, n, u, &ConfigManager::getInt16ConfigPara, 99);
         }},
        {"INT32", "Int32",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<int32>(c, n, u, &ConfigManager::getInt32ConfigPara, 99);
         }},
        {"INT64", "Int64",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<int64>(c, n, u, &ConfigManager::getInt64ConfigPara, 99);
         }},
        {"UINT16", "Uint16",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<uint16>(c, n, u, &ConfigManager::getUint16ConfigPara, 99);
         }},
        {"UINT32", "Uint32",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<uint32>(c, n, u, &ConfigManager::getUint32ConfigPara, 99);
         }},
        {"UINT64", "Uint64",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<uint64>(c, n, u, &ConfigManager::getUint64ConfigPara, 99);
         }},
        {"DOUBLE", "double",
         [](ConfigManager& c, const std::string& n, bool& u) {
             return callGetter<double>(c, n, u, &ConfigManager::getDoubleConfPara, 99.5);
         }},
        {"STRING", "STRING",
         [](ConfigManager& c, const std::string& n, bool& u) {
             std::string value = "untouched";
             const int32 rc = c.getStrConfPara(n, value, "");
             u = value == "untouched";
             return rc;
         }},
    };
    ASSERT_EQ(load("S STRING text\nN INT16 1\n"), 0);
    for (const GetterCase& c : cases)
    {
        SCOPED_TRACE(c.word);
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
        const std::string name = std::string(c.type) == "STRING" ? "N" : "S";
        const int32 storedType = std::string(c.type) == "STRING" ? INTEGER16 : STRING;
        bool untouched = false;
        EXPECT_EQ(c.get(*m_config, name, untouched), -1);
        EXPECT_TRUE(untouched);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_PARAMETER_TYPE);
        EXPECT_EQ(testLog().count("Wrong data type for [" + name + "]. Request " + c.word +
                                  " but the parameter is of type [" + std::to_string(storedType) + "]"),
                  1u);

        // Absent: the default, 0, and the error code left as it was.
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(c.get(*m_config, "ABSENT", untouched), 0);
        EXPECT_FALSE(untouched);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, 0);
    }
    uint16 seven = 0;
    EXPECT_EQ(m_config->getUint16ConfigPara("ABSENT", seven, 7), 0);
    EXPECT_EQ(seven, 7);
}

// --- load and reload ---

TEST_F(ConfigManagerTest, LoadAddsAndReloadReplaces)
{
    ASSERT_EQ(load("A INT32 1\nB INT32 2\n"), 0);
    m_file.write("A INT32 10\nC INT32 3\n");
    ASSERT_EQ(m_config->loadConfigFile(), 0);
    EXPECT_TRUE(hasInt32("A", 1)); // first occurrence wins across loads too
    EXPECT_TRUE(hasInt32("B", 2));
    EXPECT_TRUE(hasInt32("C", 3));

    ASSERT_EQ(m_config->reloadConfigFile(), 0);
    EXPECT_TRUE(hasInt32("A", 10));
    EXPECT_TRUE(absent("B")); // vanished from the file: its default from now on
    EXPECT_TRUE(hasInt32("C", 3));
}

TEST_F(ConfigManagerTest, FailedReloadKeepsThePreviousValues)
{
    ASSERT_EQ(load("A INT32 1\nB STRING kept\n"), 0);
    const std::vector<std::string> broken = {"", "A INT32 2\nB STRING half-written"};
    for (const std::string& text : broken)
    {
        SCOPED_TRACE(text);
        if (text.empty())
            m_file.remove();
        else
            m_file.write(text);
        EXPECT_EQ(m_config->reloadConfigFile(), -1);
        EXPECT_TRUE(hasInt32("A", 1));
        std::string value;
        EXPECT_EQ(m_config->getStrConfPara("B", value, ""), 0);
        EXPECT_EQ(value, "kept");
    }
}

} // namespace
