#include "zunq/config/ZunqConfigManager.h"

#include <gtest/gtest.h>

namespace
{

TEST(CommandLine, EveryOptionSyntax)
{
    const char* argv[] = {"rtsd",      "0",           "1",      "--config-file", "a.xml", "--name=feed_a1",
                          "-n",        "nine",        "-name",  "long-single",   "--flag", "--log-file",
                          "-",         "--offset",    "-1",     "--empty=",      "--repeat", "first",
                          "--repeat=second", "--eq=a=b", "--last"};
    ZunqConfigManager m(static_cast<int>(std::size(argv)), argv);
    const struct
    {
        const char* option;
        bool given;
        const char* value;
    } cases[] = {
        {"--config-file", true, "a.xml"},  // --opt value
        {"--name", true, "feed_a1"},       // --opt=value
        {"-n", true, "nine"},              // single dash
        {"-name", true, "long-single"},    // single dash, long name
        {"--flag", true, ""},              // switch followed by an option
        {"--log-file", true, "-"},         // "-" is a value
        {"--offset", true, "-1"},          // so is a negative number
        {"--empty", true, ""},             // --opt=
        {"--repeat", true, "second"},      // the last occurrence wins
        {"--eq", true, "a=b"},             // only the first "=" splits
        {"--last", true, ""},              // switch at the end
        {"--nam", false, ""},              // a prefix is not the option
        {"--name-x", false, ""},
        {"--missing", false, ""},
        {"0", false, ""},                  // positional arguments are not options
        {"", false, ""},
    };
    for (const auto& c : cases)
    {
        std::string value = "unchanged";
        EXPECT_EQ(m.getOptArg(c.option, value), c.given) << c.option;
        EXPECT_EQ(value, c.given ? c.value : "unchanged") << c.option;
    }
}

TEST(CommandLine, SetArgAddsOptionsThatLaterReadsSee)
{
    const char* argv[] = {"rtsd", "--ha-mode=active", "--restart"};
    ZunqConfigManager m(3, argv);
    EXPECT_EQ(m.getString("HaMode", "--ha-mode", "active"), "active");
    m.setArg("--ha-mode=standby");
    EXPECT_EQ(m.getString("HaMode", "--ha-mode", "active"), "standby");
    // Restart arguments arrive split at blanks, one piece per call.
    m.setArg("--log-level");
    m.setArg("6");
    EXPECT_EQ(m.getLong("LogLevel", "--log-level", 5), 6);
    std::string value = "unchanged";
    ASSERT_TRUE(m.getOptArg("--restart", value));
    EXPECT_EQ(value, "");
}

TEST(CommandLine, NoArgumentsAtAll)
{
    ZunqConfigManager m(0, nullptr);
    std::string value;
    EXPECT_FALSE(m.getOptArg("--x", value));
    EXPECT_EQ(m.getExeName(), "");
    EXPECT_EQ(m.getString("Key", "--key", "default"), "default");
}

} // namespace
