#include "FendralCore/foundation/GlobalData.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

TEST(GlobalData, DefaultsOfTheProcessRecord)
{
    GlobalData& gd = GlobalData::getInst();
    EXPECT_EQ(&gd, &GlobalData::getInst());
    EXPECT_EQ(gd.m_appMode, ACTIVE_MODE);
    EXPECT_EQ(gd.m_optMode, CPU_UTILIZATION);
    EXPECT_EQ(gd.m_siteId, PRIMARY_SITE);
    EXPECT_EQ(gd.m_maxMsgSize, 32768u);
    EXPECT_EQ(gd.m_syslogLevel, 1);
    EXPECT_EQ(gd.m_syslogOption, 3);
    EXPECT_EQ(gd.m_syslogFacility, 8);
    EXPECT_EQ(gd.m_idleSpinCycle, 50);
    EXPECT_EQ(gd.m_fwStatusInfo.status, FW_WAIT_START);
    EXPECT_EQ(gd.m_metaCmdCode, NO_META_CMD);
    EXPECT_TRUE(gd.m_tmpMsgRepository.empty());
    EXPECT_STREQ(GlobalData::getLibBuildDate(), "May 26 2022");
}

TEST(GlobalData, PointersAreSetOnce)
{
    GlobalData& gd = GlobalData::getInst();
    auto* first = reinterpret_cast<ConfigManager*>(0x1000);
    auto* second = reinterpret_cast<ConfigManager*>(0x2000);
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(gd.setAppConfigManager(first), 0);
    EXPECT_EQ(gd.setAppConfigManager(second), -1);
    EXPECT_EQ(gd.getAppConfigManager(), first);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, 0);
}

TEST(GlobalData, AppIdIsItsBytesAsOneWord)
{
    GlobalData& gd = GlobalData::getInst();
    gd.setAppId("AB");
    uint64 expected = 0;
    std::memcpy(&expected, "AB\0\0\0\0\0\0", 8);
    EXPECT_EQ(gd.m_appId, expected);
    gd.setAppId("TOOLONGNAME");
    EXPECT_STREQ(gd.m_appIdTxt, "TOOLONGN");
}

} // namespace
