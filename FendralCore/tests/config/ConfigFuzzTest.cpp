// The configuration reader fed with generated files: arbitrary bytes, lines
// around the buffer length, embedded NUL and CR, broken quotes, near-valid
// entries. Run under the sanitizers, it checks that reading never crashes and
// that the load's outcome and the well-formed lines are what they must be.
#include "ConfigFile.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace
{

class FileGenerator
{
public:
    explicit FileGenerator(uint64_t seed) : m_random(seed) {}

    // A file of random pieces with sentinel lines "SENTINEL_<k> INT32 <k>"
    // placed at line starts; sentinels counts them.
    std::string file(int& sentinels)
    {
        std::string text;
        sentinels = 0;
        const int pieces = pick(0, 60);
        for (int i = 0; i < pieces; ++i)
        {
            text += piece();
            if (pick(0, 3) == 0)
            {
                if (!text.empty() && text.back() != '\n')
                    text += '\n';
                text += "SENTINEL_" + std::to_string(sentinels) + " INT32 " + std::to_string(sentinels) + "\n";
                ++sentinels;
            }
        }
        return text;
    }

private:
    std::mt19937_64 m_random;

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    template <typename T>
    const T& oneOf(const std::vector<T>& choices)
    {
        return choices[static_cast<size_t>(pick(0, static_cast<int>(choices.size()) - 1))];
    }

    std::string piece()
    {
        switch (pick(0, 5))
        {
        case 0: return randomBytes();
        case 1: return edgeLine();
        case 2: return oneOf<std::string>({"\n", "# comment\n", "   \t\n", "#", "\r\n", std::string(1, '\0') + "\n"});
        default: return entry();
        }
    }

    // Any byte, NUL and newline included.
    std::string randomBytes()
    {
        std::string bytes(static_cast<size_t>(pick(0, 600)), '\0');
        for (char& c : bytes)
            c = static_cast<char>(pick(0, 255));
        return bytes;
    }

    // Lines right around the 254-character limit and its double.
    std::string edgeLine()
    {
        const int length = oneOf<int>({253, 254, 255, 256, 257, 509, 510, 511, 512, 700});
        std::string line = "EDGE STRING ";
        const std::string tail = oneOf<std::string>({"", " # remark", "\t", "\r", "\"", std::string(1, '\0')});
        while (static_cast<int>(line.size() + tail.size()) < length)
            line += static_cast<char>('a' + pick(0, 25));
        line += tail;
        line.resize(static_cast<size_t>(length));
        return line + (pick(0, 9) == 0 ? "" : "\n");
    }

    std::string separator() { return oneOf<std::string>({" ", ",", "\t", " , ", ",,", "\t \t"}); }

    std::string field(const std::string& text)
    {
        switch (pick(0, 5))
        {
        case 0: return "\"" + text + "\"";
        case 1: return "'" + text + "\"";
        case 2: return "\"" + text; // left open
        default: return text;
        }
    }

    std::string entry()
    {
        std::string name;
        const int nameLength = pick(0, 24);
        for (int i = 0; i < nameLength; ++i)
            name += "abcdefghijklmnopqrstuvwxyz0123456789_"[pick(0, 36)];
        const std::string type = oneOf<std::string>({"INT16", "INT32", "INT64", "UINT16", "UINT32", "UINT64", "DOUBLE",
                                                     "STRING", "int32", "BOOL", "", "INT"});
        const std::string value = oneOf<std::string>(
            {"0", "-1", "70000", "3000000000", "0x10", "010", "08", "12abc", "-", "0x", "1e999", "nan", "-0",
             "9223372036854775808", "18446744073709551616", "a, b # c", "it's", "", "x\ry", std::string(1, '\0')});
        std::string line = (pick(0, 9) == 0 ? separator() : "") + field(name) + separator() + field(type) +
                           separator() + field(value);
        if (pick(0, 3) == 0)
            line += separator() + "remark " + field("more");
        if (pick(0, 5) == 0)
            line += "\r";
        return line + (pick(0, 19) == 0 ? "" : "\n");
    }
};

class ConfigFuzzTest : public ::testing::TestWithParam<uint64_t>
{
};

TEST_P(ConfigFuzzTest, GeneratedFilesLoadSafelyAndKeepEveryWellFormedLine)
{
    FileGenerator generate(GetParam());
    ConfigFile file;
    for (int round = 0; round < 300; ++round)
    {
        int sentinels = 0;
        const std::string text = generate.file(sentinels);
        SCOPED_TRACE("seed " + std::to_string(GetParam()) + " round " + std::to_string(round));
        file.write(text);
        testLog().clear();

        ConfigManager config(file.path());
        // A file fails only when it ends inside a line.
        const bool endsInsideALine = !text.empty() && text.back() != '\n';
        const int32 rc = config.loadConfigFile();
        ASSERT_EQ(rc, endsInsideALine ? -1 : 0);
        if (rc != 0)
        {
            ASSERT_EQ(FrameworkErrno::m_fwErrno, LINE_TOO_LONG);
        }

        // No line that starts a line and is well formed is ever lost, whatever
        // came before it.
        for (int k = 0; k < sentinels; ++k)
        {
            int32 value = -1;
            ASSERT_EQ(config.getInt32ConfigPara("SENTINEL_" + std::to_string(k), value, -1), 0);
            ASSERT_EQ(value, k);
        }

        // Never an entry with an empty name, under any type.
        int64 i64 = 5;
        uint64 u64 = 5;
        double d = 5;
        std::string s = "default";
        EXPECT_EQ(config.getInt64ConfigPara("", i64, 5), 0);
        EXPECT_EQ(config.getUint64ConfigPara("", u64, 5), 0);
        EXPECT_EQ(config.getDoubleConfPara("", d, 5), 0);
        EXPECT_EQ(config.getStrConfPara("", s, "default"), 0);
        EXPECT_EQ(s, "default");

        // A reload of the same file agrees with the load.
        EXPECT_EQ(config.reloadConfigFile(), rc);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ConfigFuzzTest, ::testing::Values(1u, 2u, 3u, 20240601u, 0xC0FFEEu, 977u));

} // namespace
