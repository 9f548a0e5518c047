#include "HostTestSupport.h"

#include "kelmora/runtime/SharedObjects.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace
{

// How often the counting plug-in's initialisation function ran; 0 before it is loaded.
int pluginInitCalls()
{
    void* library = dlopen(COUNTING_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return 0;
    auto* calls = static_cast<int*>(dlsym(library, "counting_plugin_init_calls"));
    int value = calls != nullptr ? *calls : -1;
    dlclose(library); // drops only the reference RTLD_NOLOAD took
    return value;
}

// Only the lines the loader wrote, in order.
std::vector<std::string> loaderLines(const CaptureLogSink& sink)
{
    std::vector<std::string> out;
    for (const std::string& line : sink.lines())
        if (line.rfind("InitModule<SharedObjects>", 0) == 0)
            out.push_back(line);
    return out;
}

class SharedObjectsTest : public HostFixture
{
protected:
    TempDir mDir;
};

TEST_F(SharedObjectsTest, OptionFirstThenSectionInOrderWithABrokenLibrarySkippedAndARepeatLoadedTwice)
{
    const std::string good = COUNTING_PLUGIN;
    const std::string broken = BROKEN_PLUGIN;
    auto config = makeConfig({"rtsd", "--shared-objects", broken},
                             "<SharedObjects><Value>" + good + "</Value><Value>" + good + "</Value></SharedObjects>",
                             &mDir);
    const int callsBefore = pluginInitCalls();
    InitModule<SharedObjects> factory;
    ASSERT_TRUE(factory.createModule(&mList, config.get()));

    EXPECT_EQ(pluginInitCalls() - callsBefore, 2);
    const std::vector<std::string> lines = loaderLines(mSink);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "InitModule<SharedObjects>: loading SharedObjects:\n");
    EXPECT_EQ(lines[1], "InitModule<SharedObjects>: loading " + broken + "\n");
    EXPECT_EQ(lines[2].rfind("InitModule<SharedObjects>: error opening dynamic library: ", 0), 0u);
    EXPECT_NE(lines[2].find("kelmora_symbol_nobody_defines"), std::string::npos) << lines[2];
    for (int i : {3, 6})
    {
        EXPECT_EQ(lines[i], "InitModule<SharedObjects>: loading " + good + "\n");
        EXPECT_EQ(lines[i + 1], "InitModule<SharedObjects>: calling init function: " + good + "\n");
        EXPECT_EQ(lines[i + 2], "InitModule<SharedObjects>: finished loading " + good + "\n");
    }
    // The library stays loaded.
    EXPECT_NE(dlopen(COUNTING_PLUGIN, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(SharedObjectsTest, NothingConfiguredLogsOnlyThatNothingIsDefined)
{
    mLog.setVerbose(false);
    auto config = makeConfig({"rtsd"});
    const int callsBefore = pluginInitCalls();
    InitModule<SharedObjects> factory;
    ASSERT_TRUE(factory.createModule(&mList, config.get()));
    EXPECT_EQ(loaderLines(mSink), std::vector<std::string>{"InitModule<SharedObjects>: no shared objects defined\n"});
    EXPECT_EQ(pluginInitCalls(), callsBefore);
}

TEST_F(SharedObjectsTest, LibraryWithoutInitFunctionIsStillLoaded)
{
    // A system library exports no init function: loaded and logged without the call.
    loadSharedObjects("libm.so.6", &mLog);
    const std::vector<std::string> lines = loaderLines(mSink);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "InitModule<SharedObjects>: loading libm.so.6\n");
    EXPECT_EQ(lines[1], "InitModule<SharedObjects>: finished loading libm.so.6\n");
}

} // namespace
