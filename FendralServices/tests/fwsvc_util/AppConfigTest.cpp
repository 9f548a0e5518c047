// The application configuration calls. The configuration managers are set
// once per process, so each test runs in a child process of its own.
#include "FendralServices/api/FwServices.h"

#include "FendralServices/tests/fwsvc_util/TempDir.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace
{

template <size_t N>
void setText(char (&dest)[N], const std::string& text)
{
    std::memset(dest, 0, N);
    std::memcpy(dest, text.data(), std::min(text.size(), N - 1));
}

class AppConfig : public TempDirTest
{
protected:
    std::string write(const char* name, const std::string& text) const
    {
        std::ofstream(path(name)) << text;
        return path(name);
    }
};

char g_name[17];

char (&para(const char* name))[17]
{
    setText(g_name, name);
    return g_name;
}

TEST_F(AppConfig, NothingLoadedGivesObjectNullPtr)
{
    processtest::inChildProcess([&] {
        char path[101];
        EXPECT_EQ(getAppConfigFilaname(path), -1);
        EXPECT_EQ(getErrorCode(), OBJECT_NULL_PTR);
        int value = 5;
        EXPECT_EQ(getInt32Para(para("A"), &value, 1), -1);
        EXPECT_EQ(getErrorCode(), OBJECT_NULL_PTR);
        EXPECT_EQ(getInt32Para(para("A"), nullptr, 1), -1);
        EXPECT_EQ(getErrorCode(), NULL_PARAM);
        char text[101];
        EXPECT_EQ(getTxtPara(para("A"), text, ""), -1);
        EXPECT_EQ(getErrorCode(), OBJECT_NULL_PTR);
    });
}

TEST_F(AppConfig, FileNameFromTheFrameworkConfiguration)
{
    processtest::inChildProcess([&] {
        const std::string fw = write("fw.cfg", "OTHER INT32 1\n");
        auto* config = new ConfigManager(fw);
        ASSERT_EQ(config->loadConfigFile(), 0);
        ASSERT_EQ(GlobalData::getInst().setConfigManager(config), 0);

        char path[101];
        char longPath[256];
        ASSERT_EQ(getAppConfigFilaname(path), 0);
        EXPECT_STREQ(path, "app_config.txt");

        const std::string name101(101, 'p');
        write("fw.cfg", "APP_CONFIG_FILE STRING " + name101 + "\n");
        ASSERT_EQ(config->reloadConfigFile(), 0);
        EXPECT_EQ(getAppConfigFilaname(path), -1);
        EXPECT_EQ(getErrorCode(), PARAM_TOO_LONG);
        ASSERT_EQ(getAppConfigFilaname2(longPath), 0);
        EXPECT_EQ(std::string(longPath), name101);
        write("fw.cfg", "APP_CONFIG_FILE STRING " + std::string(100, 'q') + "\n");
        ASSERT_EQ(config->reloadConfigFile(), 0);
        ASSERT_EQ(getAppConfigFilaname(path), 0);
        EXPECT_EQ(std::string(path), std::string(100, 'q'));
    });
}

TEST_F(AppConfig, TypedAndTextReads)
{
    processtest::inChildProcess([&] {
        char path[101];
        setText(path, m_dir + "/missing.txt");
        EXPECT_EQ(loadAppConfigFile(path), -1);
        EXPECT_EQ(getErrorCode(), FILE_OPEN_ERROR);
        setText(path, write("app_config.txt", "I16 INT16 -12\n"
                                              "I32 INT32 -70000\n"
                                              "I64 INT64 -5000000000\n"
                                              "U16 UINT16 65535\n"
                                              "U32 UINT32 4000000000\n"
                                              "U64 UINT64 18000000000000000000\n"
                                              "DBL DOUBLE 2.5\n"
                                              "TXT STRING abcdef\n"));
        ASSERT_EQ(loadAppConfigFile(path), 0);
        EXPECT_EQ(loadAppConfigFile(path), -1) << "loaded once";

        short i16 = 0;
        int i32 = 0;
        long i64 = 0;
        unsigned short u16 = 0;
        unsigned int u32 = 0;
        unsigned long u64 = 0;
        double dbl = 0;
        EXPECT_EQ(getInt16Para(para("I16"), &i16, 1), 0);
        EXPECT_EQ(i16, -12);
        EXPECT_EQ(getInt32Para(para("I32"), &i32, 1), 0);
        EXPECT_EQ(i32, -70000);
        EXPECT_EQ(getInt64Para(para("I64"), &i64, 1), 0);
        EXPECT_EQ(i64, -5000000000L);
        EXPECT_EQ(getUint16Para(para("U16"), &u16, 1), 0);
        EXPECT_EQ(u16, 65535);
        EXPECT_EQ(getUint32Para(para("U32"), &u32, 1), 0);
        EXPECT_EQ(u32, 4000000000u);
        EXPECT_EQ(getUint64Para(para("U64"), &u64, 1), 0);
        EXPECT_EQ(u64, 18000000000000000000UL);
        EXPECT_EQ(getDoublePara(para("DBL"), &dbl, 1), 0);
        EXPECT_EQ(dbl, 2.5);

        EXPECT_EQ(getInt32Para(para("ABSENT"), &i32, 77), 0);
        EXPECT_EQ(i32, 77);
        EXPECT_EQ(getInt32Para(para("I16"), &i32, 1), -1) << "another type";
        EXPECT_EQ(getErrorCode(), INVALID_PARAMETER_TYPE);
        EXPECT_EQ(i32, 77) << "unchanged";

        char text[101];
        char longText[256];
        ASSERT_EQ(getTxtPara(para("TXT"), text, "d"), 0);
        EXPECT_STREQ(text, "abcdef");
        ASSERT_EQ(getLongTxtPara(para("ABSENT"), longText, "dflt"), 0);
        EXPECT_STREQ(longText, "dflt");
        ASSERT_EQ(getTxtPara(para("ABSENT"), text, nullptr), 0) << "a null default reads as empty";
        EXPECT_STREQ(text, "");

        struct Case
        {
            int len;
            int result;
            const char* expect;
        };
        const Case cases[] = {{4, 0, "abc"}, {10, 0, "abcdef"}, {7, 0, "abcdef"}, {6, 0, "abcde"}, {1, 0, ""},
                              {0, -1, nullptr}, {-3, -1, nullptr}};
        for (const Case& c : cases)
        {
            char buf[16];
            std::memset(buf, 'Z', sizeof(buf));
            EXPECT_EQ(getTxtPara2(para("TXT"), buf, c.len, ""), c.result) << c.len;
            if (c.expect != nullptr)
            {
                EXPECT_STREQ(buf, c.expect) << c.len;
                EXPECT_EQ(buf[c.len], 'Z') << "nothing written past len " << c.len;
            }
            else
            {
                EXPECT_EQ(getErrorCode(), NULL_PARAM);
                EXPECT_EQ(buf[0], 'Z');
            }
        }
    });
}

TEST_F(AppConfig, OverLongLineFailsTheLoad)
{
    processtest::inChildProcess([&] {
        const ConfigManager* before = GlobalData::getInst().getAppConfigManager();
        char path[256];
        setText(path, write("long.txt", "A INT32 1\nB STRING " + std::string(300, 'x')));
        EXPECT_EQ(loadAppConfigFile2(path), -1);
        EXPECT_EQ(getErrorCode(), LINE_TOO_LONG);
        EXPECT_EQ(GlobalData::getInst().getAppConfigManager(), before) << "nothing kept";
    });
}

} // namespace
