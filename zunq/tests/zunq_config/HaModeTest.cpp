#include "zunq/HaMode.h"

#include <gtest/gtest.h>

namespace
{

TEST(HaMode, ParsesNamesCaseBlindAndRefusesEverythingElse)
{
    const struct
    {
        const char* text;
        HaMode::Mode mode;
    } cases[] = {
        {"standby", HaMode::STANDBY},
        {"STANDBY", HaMode::STANDBY},
        {"Active", HaMode::ACTIVE},
        {"aCtIvE", HaMode::ACTIVE},
        {"PartiallyActive", HaMode::PARTIALLY_ACTIVE},
        {"partially_active", HaMode::PARTIALLY_ACTIVE},
        {"Unknown", HaMode::UNKNOWN},
        {"Error", HaMode::ERROR},
        {"", HaMode::ERROR},
        {" active", HaMode::ERROR},
        {"active ", HaMode::ERROR},
        {"act", HaMode::ERROR},
        {"activex", HaMode::ERROR},
        {"1", HaMode::ERROR},
        {"partially active", HaMode::ERROR},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HaMode::stringToMode(c.text), c.mode) << '"' << c.text << '"';
}

TEST(HaMode, PrintsCapitalisedNamesAndUnknownForOtherValues)
{
    const struct
    {
        int value;
        const char* text;
    } cases[] = {
        {0, "Standby"}, {1, "Active"}, {2, "PartiallyActive"}, {99, "Unknown"},
        {100, "Error"}, {3, "Unknown"}, {7, "Unknown"},       {98, "Unknown"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HaMode::modeToString(HaMode(static_cast<HaMode::Mode>(c.value))), c.text) << c.value;
}

TEST(HaMode, EveryPrintedNameParsesBackToItsMode)
{
    for (HaMode::Mode m : {HaMode::STANDBY, HaMode::ACTIVE, HaMode::PARTIALLY_ACTIVE, HaMode::UNKNOWN, HaMode::ERROR})
        EXPECT_EQ(HaMode::stringToMode(HaMode::modeToString(m)), m) << HaMode::modeToString(m);
}

TEST(HaMode, StartsUnknownAndComparesByMode)
{
    EXPECT_EQ(HaMode().getMode(), HaMode::UNKNOWN);
    EXPECT_EQ(HaMode(std::string("standby")), HaMode::STANDBY);
    EXPECT_EQ(HaMode(std::string("bogus")).getMode(), HaMode::ERROR);
    EXPECT_FALSE(HaMode(HaMode::ACTIVE) == HaMode(HaMode::STANDBY));
    EXPECT_EQ(HaMode(HaMode::ACTIVE).str(), "Active");
}

} // namespace
