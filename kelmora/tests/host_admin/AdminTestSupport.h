// What the host_admin tests share: a fixture with a capturing log, and a
// configuration built from an XML body.
#pragma once

#include "../host_bus/HostTestSupport.h"

#include "kelmora/thread/NamedThreads.h"

#include <string>
#include <vector>

namespace admintest
{

// The framework registrations the named-thread factory made, in order.
struct Registered
{
    std::string name;
    ThreadParam param;
};

inline std::vector<Registered>& registered()
{
    static std::vector<Registered> calls;
    return calls;
}

inline int fakeRegisterThread(const ThreadParam* param)
{
    registered().push_back({param->threadNameTxt, *param});
    return 0;
}

inline int fakeRegisterCallback(const char*, int (*)(MessageType, EventMsg*, DataMsg*))
{
    return 0;
}

class AdminFixture : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        registered().clear();
        setThreadRegistrationCalls({&fakeRegisterThread, &fakeRegisterCallback});
    }

    // The configuration of an exe "feedd" with `xml` below the root.
    ZunqConfigManager& config(const std::string& xml, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), "feedd");
        mConfig = makeConfig(args, xml, &mDir);
        return *mConfig;
    }

    TempDir mDir;
    std::unique_ptr<ZunqConfigManager> mConfig;
};

} // namespace admintest
