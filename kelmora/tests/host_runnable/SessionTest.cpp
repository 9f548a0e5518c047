// The session's value classes: the admin record's layout, the listener
// registry, reply subjects, status texts, and TERM on the default thread.
#include "RunnableTestSupport.h"

#include "kelmora/thread/OrvaneIpcMsg.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSessionRunnable.h"
#include "kelmora/process/Terminator.h"
#include "kelmora/bus/TerminateAll.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace hostrun;

TEST(OrvaneIpcMsg, FieldsAreCutToTheirSizeAndTheRestIsZero)
{
    struct Case
    {
        size_t length;
        size_t kept;
    } cases[] = {{0, 0}, {49, 49}, {50, 49}, {150, 49}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.length);
        TarvokOldMsg msg;
        const std::string text(c.length, 'r');
        msg.setSendSubject(std::string(c.length + 60, 's'));
        msg.setReplySubject(text);
        msg.setMethod(text);
        msg.setKeshName(text);
        msg.setArgs(std::string(c.length * 10, 'a'));
        OrvaneIpcMsg rec;
        std::memset(&rec, 0x55, sizeof rec);
        buildOrvaneIpcMsg(msg, rec);
        EXPECT_EQ(rec.mMsgType, 0);
        EXPECT_EQ(std::strlen(rec.mSubject), std::min<size_t>(c.length + 60, 99));
        EXPECT_EQ(std::strlen(rec.mReplySubject), c.kept);
        EXPECT_EQ(std::strlen(rec.mMethod), c.kept);
        EXPECT_EQ(std::strlen(rec.mKeshName), c.kept);
        EXPECT_EQ(std::strlen(rec.mArgs), std::min<size_t>(c.length * 10, 1199));
        // Past each text: zeros to the field's end.
        for (auto [field, size] : {std::pair<const char*, size_t>{rec.mSubject, 100}, {rec.mReplySubject, 50},
                                   {rec.mArgs, 1200}, {rec.mKeshName, 50}, {rec.mMethod, 50}})
            for (size_t i = std::strlen(field); i < size; ++i)
                ASSERT_EQ(field[i], 0) << "byte " << i;
    }
}

TEST(TarvokSession, ListenersPerSubject)
{
    Host host;
    TarvokSession session;
    session.setLog(&host.log);
    struct Handler : TarvokMsgHandler
    {
        void onMsg(TarvokListener*, TarvokOldMsg&) override {}
    } handler;
    std::vector<TarvokListener*> out{nullptr};
    session.getOrvaneRequestListener("never.registered", out);
    EXPECT_TRUE(out.empty());

    TarvokListener a;
    a.create(&session, &handler, "admin.subject", nullptr);
    {
        TarvokListener gone;
        gone.create(&session, &handler, std::string("admin.subject"), nullptr);
        session.getOrvaneRequestListener("admin.subject", out);
        EXPECT_EQ(out.size(), 2u);
    }
    // A freed listener is no longer handed out.
    session.getOrvaneRequestListener("admin.subject", out);
    EXPECT_EQ(out, std::vector<TarvokListener*>{&a});
    const char* subject = nullptr;
    a.getSubject(subject);
    EXPECT_STREQ(subject, "admin.subject");
}

TEST(TarvokSession, ReplySubjectsAndStatus)
{
    TarvokSession session;
    char first[64], second[64];
    session.createReplySubject(first, sizeof first);
    session.createReplySubject(second, sizeof second);
    const std::string a(first), b(second);
    const std::string head = TarvokSession::getHostIdStr() + "." + std::to_string(::getpid()) + ".";
    ASSERT_EQ(a.rfind(head, 0), 0u) << a;
    EXPECT_EQ(std::stol(b.substr(head.size())), std::stol(a.substr(head.size())) + 1);
    char tiny[4];
    session.createReplySubject(tiny, sizeof tiny);
    EXPECT_EQ(std::strlen(tiny), 3u);

    TarvokOldMsg msg;
    const char* args = nullptr;
    msg.getArgs(args);
    ASSERT_NE(args, nullptr);
    EXPECT_STREQ(args, "");

    TarvokStatus ok;
    EXPECT_FALSE(!ok);
    EXPECT_STREQ(ok.getText(), "");
    TarvokStatus bad(7, "ctx");
    EXPECT_TRUE(!bad);
    EXPECT_STREQ(bad.getText(), "[(1) NOT IMPLEMENTED ERROR]");
}

TEST(TarvokSessionRunnable, TermGoesToTheTerminatorOnceSet)
{
    Host host;
    TarvokSessionRunnable runnable("default", host.cfg, host.modules, host.log);
    TarvokSession session;
    session.setLog(&host.log);
    session.setRunnable(&runnable);
    Orlu<TerminateAll> channel("TerminateAll", "");
    struct Count : OrluSubscriber<TerminateAll>
    {
        Count() : OrluSubscriber<TerminateAll>("count") {}
        void onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&) override { ++n; }
        int n = 0;
    } count;
    channel.subscribe(&count);

    runnable.term(); // none set yet: ignored
    EXPECT_EQ(runnable.getTerminator(), nullptr);

    Terminator terminator(host.log, session, false);
    Terminator::setLocalTerminator(&terminator, static_cast<int>(::getpid()));
    terminator.setDestination(&channel);
    EXPECT_EQ(runnable.getTerminator(), &terminator);
    testing::internal::CaptureStdout();
    runnable.term();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "PID " + std::to_string(::getpid()) + " caught signal 15\n");
    EXPECT_EQ(count.n, 1);
    EXPECT_TRUE(terminator.endedByFramework());
    Terminator::setLocalTerminator(nullptr, 0);
}
