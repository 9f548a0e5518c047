// Shared by the line filter tests: a filter wired to real bus channels, a
// subscriber on every channel it publishes that writes one event per
// publication, and a small text form of input streams.
//
// Input tokens: "10" original record 10; "r10" retransmitted copy; "h10"
// heartbeat; "i10" record without sequencing; "c10" control record; "s10"
// sequence reset record (control and reset) announcing 10 as the next number;
// "T" gap tick; "H" heartbeat-control cycle end; "A1000" admin SET_SEQNUM;
// "X" admin RESET; "N" admin NONE; "D" start of day; "Y" asks for the gap a
// disaster recovery leaves; "@B:" makes B the source of the records that
// follow; "t5" sets the source time of later records.
// Events: "10" filtered record 10 (heartbeats "h10"), "R100-102" request,
// "C0-102" cancel, "G100-102" gap, "B" START_BATCH, "F" FLUSH, "L" backup
// line change, "Q7" refresh request for channel 7.
#pragma once

#include "../linedata/LineDataTestSupport.h"
#include "kelmora/filter/LineFilter.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogSink.h"

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Every publication of the filter, in order, as text.
class Capture : public OrluSubscriber<LineData>,
                public OrluSubscriber<RetransRequest>,
                public OrluSubscriber<SeqNumGap>,
                public OrluSubscriber<MsgPubAdmin>,
                public OrluSubscriber<BackupLineChange>,
                public OrluSubscriber<RefreshRequest>
{
public:
    Capture()
        : OrluSubscriber<LineData>("capture"), OrluSubscriber<RetransRequest>("capture"),
          OrluSubscriber<SeqNumGap>("capture"), OrluSubscriber<MsgPubAdmin>("capture"),
          OrluSubscriber<BackupLineChange>("capture"), OrluSubscriber<RefreshRequest>("capture")
    {
    }
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        add(mDescribe ? mDescribe(d) : (d.isHeartbeat() ? "h" : "") + std::to_string(d.getSeqNum()));
        if (mOnRecord)
            mOnRecord(d);
    }
    void onData(const Orlu<RetransRequest>&, const std::string&, const RetransRequest& r) override
    {
        add((r.getCancel() ? "C" : "R") + std::to_string(r.begin()) + "-" + std::to_string(r.end()));
    }
    void onData(const Orlu<SeqNumGap>&, const std::string&, const SeqNumGap& g) override
    {
        add("G" + std::to_string(g.begin()) + "-" + std::to_string(g.end()));
    }
    void onData(const Orlu<MsgPubAdmin>&, const std::string&, const MsgPubAdmin& m) override
    {
        add(m.getAction() == MsgPubAdmin::START_BATCH ? "B" : m.getAction() == MsgPubAdmin::FLUSH ? "F" : "?");
    }
    void onData(const Orlu<BackupLineChange>&, const std::string&, const BackupLineChange&) override { add("L"); }
    void onData(const Orlu<RefreshRequest>&, const std::string&, const RefreshRequest& r) override
    {
        add("Q" + std::to_string(r.mChannelId));
    }
    void add(const std::string& event) { mEvents += (mEvents.empty() ? "" : " ") + event; }
    std::string take()
    {
        std::string out;
        out.swap(mEvents);
        return out;
    }
    std::string mEvents;
    std::function<void(const LineData&)> mOnRecord;
    // How a filtered record is written, when not by its number alone.
    std::function<std::string(const LineData&)> mDescribe;
};

// A record holding several messages, as block and packet records do.
class TestBlock : public LineData
{
public:
    explicit TestBlock(std::vector<std::uint32_t> seqs)
    {
        for (std::uint32_t s : seqs)
        {
            auto m = std::make_unique<LineDataBasic>();
            m->setSeqNum(s);
            mPointers.push_back(m.get());
            mMessages.push_back(std::move(m));
        }
        setSeqNum(seqs.front());
    }
    LineData* clone() const override { return nullptr; }
    bool isBlockData() const override { return true; }
    void getBlockData(std::deque<const LineData*>*& out) const override { out = &mPointers; }
    std::uint32_t getNextSeqNum() const override { return mMessages.back()->getSeqNum() + 1; }

private:
    std::vector<std::unique_ptr<LineDataBasic>> mMessages;
    mutable std::deque<const LineData*> mPointers;
};

struct FilterBench
{
    static constexpr unsigned long cGapLimitSize = 10000;

    // Without `session` the filter's session has no thread and the tests
    // drive its timers by hand. `records` makes the filter's spool copies
    // when the feed's records are not plain ones.
    explicit FilterBench(bool backupLine = true, std::uint32_t poolSize = 64, TarvokSession* session = nullptr,
                         LineDataFactory* records = nullptr)
        : mFactory("records", mLog),
          mFilter("filter", session != nullptr ? *session : mSession, mLog, records != nullptr ? records : &mFactory,
                  backupLine),
          mRaw("raw", "g"),
          mFiltered("filtered", "g"), mRequests("requests", "g"), mGaps("gaps", "g"), mPubAdmin("pubadmin", "g"),
          mBackup("backup", "g"), mRefresh("refresh", "g"), mAdmin("admin", "g"), mSourceA("A"), mSourceB("B"),
          mAdminPublisher("admin")
    {
        mLog.addLogSink(&mSink);
        mFactory.setObjPoolSize(poolSize);
        mRaw.subscribe(&mFilter);
        mAdmin.subscribe(&mFilter);
        static_cast<OrluPublisher<LineData>&>(mFilter).setDestination(&mFiltered);
        static_cast<OrluPublisher<RetransRequest>&>(mFilter).setDestination(&mRequests);
        static_cast<OrluPublisher<SeqNumGap>&>(mFilter).setDestination(&mGaps);
        static_cast<OrluPublisher<MsgPubAdmin>&>(mFilter).setDestination(&mPubAdmin);
        static_cast<OrluPublisher<BackupLineChange>&>(mFilter).setDestination(&mBackup);
        static_cast<OrluPublisher<RefreshRequest>&>(mFilter).setDestination(&mRefresh);
        mFiltered.subscribe(&mCapture);
        mRequests.subscribe(&mCapture);
        mGaps.subscribe(&mCapture);
        mPubAdmin.subscribe(&mCapture);
        mBackup.subscribe(&mCapture);
        mRefresh.subscribe(&mCapture);
        mSourceA.setDestination(&mRaw);
        mSourceB.setDestination(&mRaw);
        mAdminPublisher.setDestination(&mAdmin);
        mFilter.setFeedId("7");
        mFilter.setGapLimitSize(cGapLimitSize);
    }

    void send(const LineData& d) { (mSourceIsB ? mSourceB : mSourceA).publish(d); }

    void admin(LineAdmin::AdminAction action, std::uint64_t seq = 0)
    {
        LineAdmin a;
        if (action == LineAdmin::SET_SEQNUM)
            a.actionSetSequence(seq);
        else if (action == LineAdmin::RESET)
            a.actionSetReset();
        mAdminPublisher.publish(a);
    }

    // Plays a stream in the text form above.
    void play(const std::string& stream)
    {
        std::istringstream in(stream);
        std::string token;
        while (in >> token)
        {
            const char kind = token[0];
            if (kind == 'T')
                mFilter.onGapTimer();
            else if (kind == 'H')
                mFilter.onHeartbeatsControlTimer();
            else if (kind == 'D')
                mFilter.onData(mStartOfDay, "sod", MsgStartOfDay());
            else if (kind == 'A')
                admin(LineAdmin::SET_SEQNUM, std::strtoull(token.c_str() + 1, nullptr, 10));
            else if (kind == 'X')
                admin(LineAdmin::RESET);
            else if (kind == 'N')
                admin(LineAdmin::NONE);
            else if (kind == 'Y')
                mFilter.retransRequestDRRecoveryGap();
            else if (kind == '@')
                mSourceIsB = token[1] == 'B';
            else if (kind == 't')
                mSrcTime = std::strtoull(token.c_str() + 1, nullptr, 10);
            else
                send(record(token));
        }
    }

    LineDataBasic& record(const std::string& token)
    {
        mRecord.clear();
        const char kind = (token[0] >= '0' && token[0] <= '9') ? 'o' : token[0];
        const char* digits = token.c_str() + (kind == 'o' ? 0 : 1);
        std::uint32_t seq = static_cast<std::uint32_t>(std::strtoull(digits, nullptr, 10));
        if (kind == 's')
            seq -= 1;
        mRecord.setSeqNum(seq);
        mRecord.setIsOriginal(kind != 'r');
        mRecord.setIsHeartbeat(kind == 'h');
        mRecord.setIgnoreSeqNum(kind == 'i');
        mRecord.setIsControl(kind == 'c' || kind == 's');
        mRecord.setIsSequenceReset(kind == 's');
        mRecord.setSrcTime(mSrcTime);
        return mRecord;
    }

    KeepLinesSink mSink;
    // Long runs keep no lines.
    void quiet() { mSink.mLevel = LOG_LEVEL_ALERT; }
    Log mLog;
    TarvokSession mSession;
    LineDataFactoryBasic mFactory;
    LineFilter mFilter;
    Orlu<LineData> mRaw;
    Orlu<LineData> mFiltered;
    Orlu<RetransRequest> mRequests;
    Orlu<SeqNumGap> mGaps;
    Orlu<MsgPubAdmin> mPubAdmin;
    Orlu<BackupLineChange> mBackup;
    Orlu<RefreshRequest> mRefresh;
    Orlu<LineAdmin> mAdmin;
    Orlu<MsgStartOfDay> mStartOfDay{"sod", "g"};
    Capture mCapture;
    OrluPublisher<LineData> mSourceA;
    OrluPublisher<LineData> mSourceB;
    OrluPublisher<LineAdmin> mAdminPublisher;
    LineDataBasic mRecord;
    bool mSourceIsB = false;
    std::uint64_t mSrcTime = 0;
};
