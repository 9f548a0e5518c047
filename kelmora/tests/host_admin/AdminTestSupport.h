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

#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/thread/OrvaneClient.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSession.h"

namespace admintest
{

// The relay client as the session sees it: keeps every record it is given
// instead of sending it. Its line is never connected; it stands on a
// factory, session and log of its own.
struct RecordingClient : OrvaneClient
{
    struct Parts
    {
        Log log;
        LineDataFactoryBasic factory{"RecordingClient", log};
        TarvokSession session;
    };
    static Parts& parts()
    {
        static Parts p;
        return p;
    }
    RecordingClient() : OrvaneClient(parts().factory, parts().session, parts().log) {}

    bool sendTo(const char* data, int length, const char* context) override
    {
        std::lock_guard lock(mLock);
        records.emplace_back(data, static_cast<std::size_t>(length));
        lastContext = context;
        return true;
    }
    std::vector<std::string> taken()
    {
        std::lock_guard lock(mLock);
        return records;
    }
    std::mutex mLock;
    std::vector<std::string> records;
    std::string lastContext;
};

// Plays the relay client on the admin session's thread: hands a request to
// the listeners of its subject; false when no listener took it.
inline bool relayRequest(TarvokSession& session, const std::string& subject, const std::string& replySubject,
                         const std::string& args)
{
    TarvokOldMsg msg;
    msg.setSendSubject(subject);
    msg.setReplySubject(replySubject);
    msg.setArgs(args);
    std::vector<TarvokListener*> listeners;
    session.getOrvaneRequestListener(subject.c_str(), listeners);
    for (TarvokListener* l : listeners)
        l->getMsgHandler()->onMsg(l, msg);
    return !listeners.empty();
}

// A text field of a record: the bytes at `offset` up to the first zero within `size`.
inline std::string field(const std::string& record, std::size_t offset, std::size_t size)
{
    const std::string raw = record.substr(offset, size);
    return raw.substr(0, raw.find('\0'));
}

} // namespace admintest
