// Seeded text-block feeds on one or two lines, with loss, duplication,
// reordering, blocks of several messages, heartbeats, control messages with
// and without a number, sequence resets forward, backward and across 2^32,
// and the test playing the retransmission server. The filter's publications
// after every delivery are compared with those of a small reference filter
// written from the filter's rules, for the settings the streams use.
//
// LINEFILTER_RANDOM_RECORDS sets how many records to deliver (a short run by
// default) and LINEFILTER_RANDOM_SEED the first seed.
#include "LineFilterTestSupport.h"

#include "kelmora/linedata/LineDataFactoryBlock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <queue>
#include <random>
#include <unordered_map>

namespace
{

std::int64_t serial(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b);
}

// ---- the feed's messages and their text

// Fields of a message: the number in 10 digits (blank for none), category
// ('D' data, 'C' control), type ('R' reset, 'H' heartbeat, 'X' other), the
// retransmission marker ('O' original, 'R' again), then the message's own id.
struct Message
{
    std::uint32_t seq = 0;
    bool numbered = true;
    bool control = false;
    bool heartbeat = false;
    bool reset = false;
    bool original = true;
    std::string id;
    // The numbering it belongs to, and the source time of its packet.
    std::uint64_t epoch = 0;
    std::uint64_t time = 0;

    std::string text() const
    {
        char number[11];
        if (numbered)
            std::snprintf(number, sizeof number, "%010u", seq);
        else
            std::snprintf(number, sizeof number, "%10s", "");
        std::string t = number;
        t += control ? 'C' : 'D';
        t += reset ? 'R' : heartbeat ? 'H' : 'X';
        t += original ? 'O' : 'R';
        return t + id;
    }
    // The number the record carries as the filter reads it.
    std::uint32_t value() const { return numbered ? seq : 0; }
};

void configure(LineDataFactoryBlock& f)
{
    f.setSeqNumOffset(0);
    f.setSeqNumLength(10);
    f.setCategoryOffset(10);
    f.setCategoryControl("C");
    f.setTypeOffset(11);
    f.setTypeSeqNumReset("R");
    f.setTypeHeartbeat("H");
    f.setRetransOffset(12);
    f.setRetransLength(1);
    f.setRetransOrig("O");
}

std::string blockText(const std::vector<Message>& messages)
{
    std::string t = "\x01";
    for (std::size_t i = 0; i < messages.size(); ++i)
        t += (i != 0 ? "\x1f" : "") + messages[i].text();
    return t + "\x03";
}

// ---- the reference filter

struct Settings
{
    bool checkEveryMessage = false;
    bool twoLines = false;
    bool backwardReset = false;
    std::uint64_t backwardResetLimit = 0;
    std::int64_t gapLimitSize = 200;
    std::uint64_t gapLimitTicks = 5;
    std::uint64_t retransMaxGap = 500;
    std::uint64_t requestTicks = 0;
    bool startOfDay = false;
    std::uint32_t start = 1;
    double loss = 0, duplication = 0, retransLoss = 0;
    int jitter = 0, maxLag = 0;

    std::string describe() const
    {
        char text[400];
        std::snprintf(text, sizeof text,
                      "checkEvery=%d twoLines=%d backwardReset=%d/%llu gapSize=%lld gapTicks=%llu maxGap=%llu "
                      "requestTicks=%llu startOfDay=%d start=%u loss=%.3f dup=%.3f retransLoss=%.2f jitter=%d lag=%d",
                      checkEveryMessage, twoLines, backwardReset, static_cast<unsigned long long>(backwardResetLimit),
                      static_cast<long long>(gapLimitSize), static_cast<unsigned long long>(gapLimitTicks),
                      static_cast<unsigned long long>(retransMaxGap), static_cast<unsigned long long>(requestTicks),
                      startOfDay, start, loss, duplication, retransLoss, jitter, maxLag);
        return text;
    }
};

// A record as the filter takes it: a whole block, or one message of it.
struct Unit
{
    std::vector<Message> messages;
    std::uint64_t time = 0;
    std::string payload;

    const Message& first() const { return messages.front(); }
    std::uint32_t next() const { return messages.back().value() + 1; }
    std::uint32_t implied() const { return first().value() + (first().heartbeat ? 1 : 0); }
};

// What the filter is to do, from its rules: the in-order path, the spool and
// its gap limits (which skip: no shutdown, no halt), requests under the
// start-of-day rule, resets with their backward handling, and control
// records known once.
//
// Readings the model takes:
// - One copy of a control record that carries no number of its own
//   numbering (a reset, or one without a number): another line's copy is
//   known by its numbers and bytes and dropped. A line repeating a record
//   is heard again: nothing tells that repeat from the feed sending the same
//   record twice. A repeated reset is thus followed again, unless
//   backward-reset handling, within its time limit, ignores it.
// - A followed reset drops the old numbering's spooled records and keeps
//   the new one's (checked against the feed's own numbering, see follow).
//   Backward-reset handling starts when the reset is followed; while it
//   lasts, a record stamped before the reset, or numbered above the
//   expected number and not above the reset's own, is old on every line.
// - A message checked on its own has its block's stamp (text block
//   messages carry none of their own).
class Reference
{
public:
    explicit Reference(const Settings& s) : mS(s) {}

    std::vector<std::string> mOut;
    // Spooled records a followed reset kept, as of the new numbering.
    std::uint64_t mKept = 0;

    void setNext(std::uint32_t seq)
    {
        mNext = seq;
        mSequenced = seq != 0;
        cancel(seq - 1);
    }

    void tick()
    {
        ++mTicks;
        checkSpool();
    }

    void take(const Unit& record, const std::string& source)
    {
        if (!mS.checkEveryMessage)
            return check(record, source);
        // A message checked on its own has its block's stamp.
        for (const Message& m : record.messages)
            check(Unit{{m}, record.time, m.text()}, source);
    }

private:
    struct Entry
    {
        std::uint32_t key;
        Unit unit;
        std::uint64_t since;
        bool requested;
    };
    struct Seen
    {
        std::uint32_t seq, next;
        std::string payload, source;
        bool used = false;
    };

    std::int64_t distance(std::uint32_t seq) const
    {
        if (mNext == 0 && !mSequenced)
            return seq;
        return serial(seq, mNext);
    }

    void check(const Unit& u, const std::string& source)
    {
        const Message& f = u.first();
        if (mS.backwardReset)
        {
            // Handling starts when the reset is followed (advance).
            if (f.reset)
            {
                if (mHandling)
                    return;
            }
            else if (mHandling)
            {
                if (mResetTime <= std::numeric_limits<std::uint64_t>::max() - mS.backwardResetLimit &&
                    u.time > mResetTime + mS.backwardResetLimit)
                {
                    mHandling = false;
                    mResetSeq = 0;
                    mResetTime = 0;
                }
                else if (u.time != 0 && u.time < mResetTime)
                    return checkSpool();
            }
        }
        const std::uint32_t implied = u.implied();
        if (!f.reset && !f.heartbeat && (mLastReceived == 0 || serial(implied, mLastReceived) > 0))
            mLastReceived = implied;
        if (!f.original && distance(implied) < 0)
            return checkSpool();
        if (f.control)
        {
            const bool byCopy = f.reset || f.value() == 0;
            if (byCopy ? knownCopy(u, source) : distance(implied) < 0)
                return;
            if (byCopy)
                remember(u, source);
            process(u);
            return checkSpool();
        }
        const std::int64_t d = distance(implied);
        if (d == 0)
        {
            process(u);
            return checkSpool();
        }
        if (d < 0)
            return;
        // Old on every line while a reset is handled.
        if (mHandling && serial(implied, mResetSeq) <= 0)
            return checkSpool();
        std::uint32_t begin = 0, end = 0;
        if (spool(u, begin, end) && mS.requestTicks == 0)
            requestFromStartOfDay(begin, end);
        checkSpool();
    }

    bool knownCopy(const Unit& u, const std::string& source)
    {
        for (Seen& seen : mSeen)
            if (seen.used && seen.seq == u.first().value() && seen.next == u.next() && seen.payload == u.payload &&
                seen.source != source)
            {
                seen.used = false;
                return true;
            }
        return false;
    }

    void remember(const Unit& u, const std::string& source)
    {
        mSeen[mSeenNext] = Seen{u.first().value(), u.next(), u.payload, source, true};
        mSeenNext = (mSeenNext + 1) % mSeen.size();
    }

    void process(const Unit& u)
    {
        for (const Message& m : u.messages)
        {
            mOut.push_back(m.id);
            advance(m, u.time);
        }
    }

    // `time` is the stamp of the record the message came in.
    void advance(const Message& m, std::uint64_t time)
    {
        const std::uint32_t implied = m.value() + (m.heartbeat ? 1 : 0);
        if (m.control && !m.reset)
        {
            const std::int64_t d = distance(implied);
            if (d < 0)
                return;
            if (d > 0)
                mOut.push_back("G" + std::to_string(mNext) + "-" + std::to_string(implied - 1));
        }
        const std::uint32_t before = mNext;
        const bool wasSequenced = mSequenced;
        mNext = m.value() + 1;
        mSequenced = true;
        if (m.reset)
            follow(m, time, !wasSequenced || serial(mNext, before) > 0);
    }

    // A followed reset: the spool keeps the new numbering only, known as the
    // filter knows it (a record stamped after the reset, or numbered above
    // it when the numbers went forward); backward-reset handling starts.
    //
    // When a reset is followed the first time (not a late repeat), what the
    // spool keeps is checked against the numbering the feed really sent each
    // record in: the new one's records kept, those of the numbering followed
    // before dropped. A mismatch is written among the publications, where
    // the filter has nothing to match it. Records of a numbering whose reset
    // was lost on every line are left to the rules: nothing tells the filter
    // that numbering began.
    void follow(const Message& reset, std::uint64_t time, bool forward)
    {
        const std::uint32_t resetSeq = reset.value();
        const bool first = reset.epoch > mFollowed;
        const std::uint64_t before = mFollowed;
        if (first)
            mFollowed = reset.epoch;
        mRequestedSet = false;
        mSpoolMaxSet = false;
        for (std::size_t i = 0; i < mSpool.size();)
        {
            const Entry& e = mSpool[i];
            const bool keep = (time != 0 && e.unit.time > time) || (forward && serial(e.key, resetSeq) > 0);
            const std::uint64_t epoch = e.unit.first().epoch;
            if (first && (epoch == reset.epoch || epoch == before) && keep != (epoch == reset.epoch))
                mOut.push_back((keep ? "kept old " : "dropped new ") + e.unit.first().id);
            if (keep)
            {
                ++mKept;
                const std::uint32_t last = e.unit.next() - 1;
                if (!mSpoolMaxSet || serial(last, mSpoolMax) > 0)
                    mSpoolMax = last;
                mSpoolMaxSet = true;
                ++i;
            }
            else
                mSpool.erase(mSpool.begin() + static_cast<long>(i));
        }
        if (mS.backwardReset && !mHandling && mLastReceived != 0)
        {
            mHandling = true;
            mResetSeq = resetSeq;
            mResetTime = time;
        }
    }

    Entry* find(std::uint32_t key)
    {
        for (Entry& e : mSpool)
            if (e.key == key)
                return &e;
        return nullptr;
    }

    bool spool(const Unit& u, std::uint32_t& begin, std::uint32_t& end)
    {
        const std::uint32_t implied = u.implied();
        if (Entry* held = find(implied))
        {
            if (!held->unit.first().heartbeat)
                return false;
            mSpool.erase(mSpool.begin() + (held - mSpool.data()));
        }
        mSpool.push_back(Entry{implied, u, mTicks, false});
        if (mSpoolMaxSet && serial(mSpoolMax, implied) >= 0)
            return false;
        bool reported = false;
        if (!mSpoolMaxSet || serial(implied, mSpoolMax) > 1)
        {
            begin = mSpoolMaxSet ? mSpoolMax + 1 : mNext;
            end = implied - 1;
            reported = true;
        }
        mSpoolMax = u.next() - 1;
        mSpoolMaxSet = true;
        return reported;
    }

    void requestFromStartOfDay(std::uint32_t begin, std::uint32_t end)
    {
        if (begin != 0)
            request(begin, end);
        else if (end != 0 && end < 1000)
            request(0, end);
    }

    void request(std::uint32_t begin, std::uint32_t end)
    {
        if (serial(end, begin) < 0 || (begin == 0 && end == 0))
            return;
        if (mRequestedSet && serial(end, mRequested) <= 0)
            return;
        if (mS.retransMaxGap != 0 && mS.retransMaxGap < static_cast<std::uint32_t>(end + 1 - begin))
            return;
        mOut.push_back("R" + std::to_string(begin) + "-" + std::to_string(end));
        mRequested = end;
        mRequestedSet = true;
    }

    void cancel(std::uint32_t end) { mOut.push_back("C0-" + std::to_string(end)); }

    std::size_t head() const
    {
        std::size_t best = 0;
        for (std::size_t i = 1; i < mSpool.size(); ++i)
            if (serial(mSpool[i].key, mSpool[best].key) < 0)
                best = i;
        return best;
    }

    void checkSpool()
    {
        bool announced = false;
        bool processed = false;
        std::uint32_t last = 0;
        while (!mSpool.empty())
        {
            const std::size_t at = head();
            Entry& e = mSpool[at];
            last = e.key;
            const std::int64_t d = distance(e.key);
            if (d < 0)
            {
                mSpool.erase(mSpool.begin() + static_cast<long>(at));
                continue;
            }
            if (d > 0)
            {
                if (!limitPassed(e))
                    break;
                mOut.push_back("G" + std::to_string(mNext) + "-" + std::to_string(e.key - 1));
                mNext = e.unit.first().heartbeat ? e.unit.next() : e.unit.first().value();
                mSequenced = true;
            }
            const Unit unit = std::move(e.unit);
            mSpool.erase(mSpool.begin() + static_cast<long>(at));
            if (!announced)
                cancel(last - 1);
            announced = processed = true;
            process(unit);
        }
        if (mSpool.empty())
            mSpoolMaxSet = false;
        else if (processed)
            request(mNext, last - 1);
    }

    // False while the gap before the entry is within its limits.
    bool limitPassed(Entry& e)
    {
        const std::uint64_t age = mTicks >= e.since ? mTicks - e.since : 0;
        if (mS.requestTicks != 0 && age >= mS.requestTicks && !e.requested && age <= mS.gapLimitTicks)
        {
            requestFromStartOfDay(mNext, e.key - 1);
            e.requested = true;
            return false;
        }
        const std::int64_t excess = mSpoolMaxSet ? serial(mSpoolMax, mNext) : 0;
        return (mS.gapLimitSize != 0 && excess > mS.gapLimitSize) || age > mS.gapLimitTicks ||
               (mS.requestTicks != 0 && age >= mS.requestTicks && !e.requested);
    }

    const Settings& mS;
    std::uint32_t mNext = 0;
    bool mSequenced = false;
    std::uint32_t mLastReceived = 0;
    std::uint64_t mTicks = 0;
    std::vector<Entry> mSpool;
    std::uint32_t mSpoolMax = 0;
    bool mSpoolMaxSet = false;
    std::uint32_t mRequested = 0;
    bool mRequestedSet = false;
    bool mHandling = false;
    // The latest numbering a reset was followed into; the feed starts in 0.
    std::uint64_t mFollowed = 0;
    std::uint32_t mResetSeq = 0;
    std::uint64_t mResetTime = 0;
    std::array<Seen, 16> mSeen{};
    std::size_t mSeenNext = 0;
};

// ---- the filter's publications as the reference writes them

struct Publications : public OrluSubscriber<LineData>,
                      public OrluSubscriber<RetransRequest>,
                      public OrluSubscriber<SeqNumGap>
{
    Publications() : OrluSubscriber<LineData>("pubs"), OrluSubscriber<RetransRequest>("pubs"), OrluSubscriber<SeqNumGap>("pubs") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        // The id after the message's fixed fields.
        const std::uint32_t len = d.getDataLen();
        mOut.emplace_back(len > 13 ? std::string(d.getData() + 13, len - 13) : std::string("?"));
    }
    void onData(const Orlu<RetransRequest>&, const std::string&, const RetransRequest& r) override
    {
        mOut.push_back((r.getCancel() ? "C" : "R") + std::to_string(r.begin()) + "-" + std::to_string(r.end()));
        if (!r.getCancel())
            mRequests.emplace_back(r.begin(), r.end());
    }
    void onData(const Orlu<SeqNumGap>&, const std::string&, const SeqNumGap& g) override
    {
        mOut.push_back("G" + std::to_string(g.begin()) + "-" + std::to_string(g.end()));
    }
    std::vector<std::string> mOut;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> mRequests;
};

std::string joined(const std::vector<std::string>& v)
{
    std::string s;
    for (const std::string& e : v)
        s += (s.empty() ? "" : " ") + e;
    return s;
}

// ---- the feed, its lines and the retransmission server

struct Totals
{
    std::uint64_t records = 0, messages = 0, published = 0, requests = 0, gaps = 0, resets = 0, controls = 0, kept = 0;
};

class FeedRun
{
public:
    FeedRun(unsigned seed, const Settings& settings)
        : mSeed(seed), mS(settings), mRng(seed), mBench(true, 64, nullptr, &mRecords), mReference(mS)
    {
        configure(mRecords);
        mBench.quiet();
        mBench.mFiltered.unsubscribe(&mBench.mCapture);
        mBench.mRequests.unsubscribe(&mBench.mCapture);
        mBench.mGaps.unsubscribe(&mBench.mCapture);
        mBench.mFiltered.subscribe(&mPubs);
        mBench.mRequests.subscribe(&mPubs);
        mBench.mGaps.subscribe(&mPubs);
        LineFilter& f = mBench.mFilter;
        f.setRetransActive(true);
        f.setRetransMaxGapSize(mS.retransMaxGap);
        f.setGapLimitSize(static_cast<unsigned long>(mS.gapLimitSize));
        f.setGapLimitTime(static_cast<double>(mS.gapLimitTicks) / 10.0);
        f.setRequestRetransTime(static_cast<double>(mS.requestTicks) / 10.0);
        f.setCheckEveryMessageInBlock(mS.checkEveryMessage);
        f.setHandleBackwardSequenceReset(mS.backwardReset);
        f.setBackwardSequenceResetTimeLimit(static_cast<long>(mS.backwardResetLimit));
        mNumber = mS.start;
        if (!mS.startOfDay)
        {
            f.setNextSeqNum(mS.start, false);
            mReference.setNext(mS.start);
        }
        mEpochs[0];
    }

    // Plays until `records` records reached the filter; false at the first
    // difference, which `mFailure` describes.
    bool play(std::uint64_t records)
    {
        if (!compare("start"))
            return false;
        while (mTotals.records < records)
        {
            generate(256);
            const std::uint64_t settled = mPackets * cSpacing;
            while (!mEvents.empty() && mEvents.top().at < settled)
            {
                Event e = mEvents.top();
                mEvents.pop();
                if (!deliver(e))
                    return false;
            }
        }
        return true;
    }

    Totals mTotals;
    std::string mFailure;
    std::uint64_t keptAcrossResets() const { return mReference.mKept; }

private:
    static constexpr std::uint64_t cSpacing = 8;
    static constexpr std::uint64_t cTickEvery = 40;

    enum class Kind { Line, Retrans, Tick };
    struct Event
    {
        std::uint64_t at;
        std::uint64_t order;
        Kind kind;
        char line;
        std::vector<Message> messages;
        std::uint64_t time;
        bool operator>(const Event& o) const { return at != o.at ? at > o.at : order > o.order; }
    };
    struct Packet
    {
        std::vector<Message> messages;
        std::uint64_t time;
    };

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(mRng) < p; }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(mRng() % n); }

    Message make()
    {
        Message m;
        m.id = "#" + std::to_string(++mIds);
        m.epoch = mEpoch;
        m.time = mPackets + 1;
        return m;
    }

    Message next(bool control)
    {
        Message m = make();
        m.seq = mNumber++;
        m.control = control;
        mEpochs[mEpoch][m.seq] = m;
        return m;
    }

    Packet makePacket()
    {
        Packet p;
        p.time = mPackets + 1;
        // Out of 10,000 packets: 40 resets (enough that a run of 100,000
        // records sees spooled records of the new numbering kept across one),
        // 85 heartbeats, 30 numbered control records, 30 without a number.
        constexpr std::uint32_t cResets = 40, cHeartbeats = cResets + 85, cNumbered = cHeartbeats + 30,
                                cUnnumbered = cNumbered + 30;
        // The day often opens with control records that carry no number.
        const std::uint32_t roll = mPackets < 3 && mS.startOfDay && chance(0.5) ? cNumbered : below(10000);
        if (roll < cResets)
        {
            // A reset: forward, back to a low number, or to just below 2^32.
            const std::uint32_t kind = below(3);
            const std::uint32_t to = kind == 0 ? mNumber + 1 + below(5000)
                                     : kind == 1 ? 1 + below(2000)
                                                 : 0xFFFFFFFFu - below(3000);
            mEpochs.erase(mEpoch - 2);
            ++mEpoch;
            Message m = make();
            m.seq = to - 1;
            m.numbered = m.seq != 0;
            m.control = m.reset = true;
            p.messages.push_back(m);
            mNumber = to;
            ++mTotals.resets;
        }
        else if (roll < cHeartbeats)
        {
            Message m = make();
            m.seq = mNumber - 1;
            m.numbered = m.seq != 0;
            m.control = m.heartbeat = true;
            p.messages.push_back(m);
        }
        else if (roll < cNumbered)
        {
            p.messages.push_back(next(true));
            p.messages.back().numbered = p.messages.back().seq != 0;
            ++mTotals.controls;
        }
        else if (roll < cUnnumbered)
        {
            Message m = make();
            m.numbered = false;
            m.control = true;
            p.messages.push_back(m);
            ++mTotals.controls;
        }
        else
        {
            const std::uint32_t count = 1 + below(4);
            for (std::uint32_t i = 0; i < count; ++i)
                p.messages.push_back(next(false));
        }
        return p;
    }

    void schedule(Kind kind, std::uint64_t at, char line, const std::vector<Message>& messages, std::uint64_t time)
    {
        mEvents.push(Event{at, ++mOrder, kind, line, messages, time});
    }

    void generate(int packets)
    {
        for (int i = 0; i < packets; ++i)
        {
            const Packet p = makePacket();
            const std::uint64_t base = mPackets * cSpacing;
            for (int line = 0; line < (mS.twoLines ? 2 : 1); ++line)
            {
                int& lag = mLag[line];
                lag = std::clamp(lag + static_cast<int>(below(3)) - 1, 0, mS.maxLag);
                // A 0 after 2^32 is lost more often than others: it cannot be
                // asked for again.
                if (chance(p.messages.front().seq == 0 && !p.messages.front().control ? 0.5 : mS.loss))
                    continue;
                const std::uint64_t at = base + static_cast<std::uint64_t>(lag) + below(static_cast<std::uint32_t>(mS.jitter) + 1);
                schedule(Kind::Line, at, line == 0 ? 'A' : 'B', p.messages, p.time);
                if (chance(mS.duplication))
                    schedule(Kind::Line, at + below(200), line == 0 ? 'A' : 'B', p.messages, p.time);
            }
            if (mPackets % (cTickEvery / cSpacing) == 0)
                schedule(Kind::Tick, base, ' ', {}, 0);
            ++mPackets;
        }
    }

    // The server answers from the numbering the lines last carried; a range
    // from 0 is served from 1.
    void answer(std::uint64_t now)
    {
        for (const auto& [begin, end] : mPubs.mRequests)
        {
            const auto served = mEpochs.find(mServedEpoch);
            if (served == mEpochs.end())
                continue;
            const auto& epoch = served->second;
            const std::uint64_t at = now + 20 + below(100);
            std::uint32_t count = 0;
            for (std::uint32_t n = begin == 0 ? 1 : begin; serial(n, end) <= 0 && count < 2000; ++n, ++count)
            {
                const auto found = epoch.find(n);
                if (found == epoch.end() || chance(mS.retransLoss))
                    continue;
                Message m = found->second;
                m.original = false;
                schedule(Kind::Retrans, at + count / 8, 'R', {m}, m.time);
            }
        }
        mPubs.mRequests.clear();
    }

    bool deliver(const Event& e)
    {
        std::string what;
        if (e.kind == Kind::Tick)
        {
            what = "tick";
            mBench.mFilter.onGapTimer();
            mReference.tick();
        }
        else
        {
            const std::string source(1, e.line);
            const std::string text = blockText(e.messages);
            if (e.kind == Kind::Line)
                mServedEpoch = e.messages.front().epoch;
            std::unique_ptr<LineData> record(mRecords.create());
            record->setData(text.data(), static_cast<std::uint32_t>(text.size()));
            record->setSrcTime(e.time);
            what = source + "@" + std::to_string(e.time) + ":";
            for (const Message& m : e.messages)
                what += " " + m.text();
            publishFrom(source, *record);
            mReference.take(Unit{e.messages, e.time, text}, source);
            ++mTotals.records;
            mTotals.messages += e.messages.size();
        }
        const bool same = compare(what);
        answer(e.at);
        return same;
    }

    void publishFrom(const std::string& source, const LineData& record)
    {
        OrluPublisher<LineData>*& publisher = mSources[source];
        if (publisher == nullptr)
        {
            mOwned.push_back(std::make_unique<OrluPublisher<LineData>>(source));
            publisher = mOwned.back().get();
            publisher->setDestination(&mBench.mRaw);
        }
        publisher->publish(record);
    }

    bool compare(const std::string& what)
    {
        mHistory.push_back(what);
        if (mHistory.size() > 40)
            mHistory.pop_front();
        for (const std::string& out : mPubs.mOut)
        {
            mTotals.published += out[0] == '#';
            mTotals.requests += out[0] == 'R';
            mTotals.gaps += out[0] == 'G';
        }
        if (mPubs.mOut == mReference.mOut)
        {
            mPubs.mOut.clear();
            mReference.mOut.clear();
            return true;
        }
        mFailure = "seed " + std::to_string(mSeed) + " (" + mS.describe() + ") after " +
                   std::to_string(mTotals.records) + " records\nlast inputs:\n";
        for (const std::string& h : mHistory)
            mFailure += "  " + h + "\n";
        mFailure += "filter:    " + joined(mPubs.mOut) + "\nreference: " + joined(mReference.mOut) + "\n";
        return false;
    }

    unsigned mSeed;
    Settings mS;
    std::mt19937 mRng;
    LineDataFactoryBlock mRecords;
    FilterBench mBench;
    Publications mPubs;
    Reference mReference;
    std::map<std::string, OrluPublisher<LineData>*> mSources;
    std::vector<std::unique_ptr<OrluPublisher<LineData>>> mOwned;
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> mEvents;
    // The messages of the latest numberings by number, for the server.
    std::map<std::uint64_t, std::unordered_map<std::uint32_t, Message>> mEpochs;
    std::uint64_t mEpoch = 0;
    std::uint64_t mServedEpoch = 0;
    std::deque<std::string> mHistory;
    std::uint64_t mOrder = 0;
    std::uint64_t mPackets = 0;
    std::uint64_t mIds = 0;
    std::uint32_t mNumber = 1;
    int mLag[2] = {0, 0};
};

Settings settingsFor(unsigned seed)
{
    std::mt19937 rng(seed * 7919u + 1);
    auto pick = [&](std::initializer_list<std::uint64_t> values) {
        return *(values.begin() + rng() % values.size());
    };
    Settings s;
    s.twoLines = rng() % 2 == 0;
    s.backwardReset = rng() % 3 == 0;
    s.checkEveryMessage = rng() % 2 == 0;
    s.backwardResetLimit = pick({40, 200});
    s.gapLimitSize = static_cast<std::int64_t>(pick({20, 200, 1000}));
    s.gapLimitTicks = pick({3, 5, 20});
    s.retransMaxGap = pick({0, 500});
    s.requestTicks = rng() % 4 == 0 ? 2 : 0;
    s.startOfDay = rng() % 5 == 0;
    // A start of day begins at 1, below the start-of-day limit or past it.
    const std::uint32_t dayStarts[] = {1, 2 + static_cast<std::uint32_t>(rng() % 998),
                                       1000 + static_cast<std::uint32_t>(rng() % 4000)};
    s.start = s.startOfDay          ? dayStarts[rng() % 3]
              : rng() % 4 == 0 ? 0xFFFFFFFFu - static_cast<std::uint32_t>(rng() % 5000)
                                : 1 + static_cast<std::uint32_t>(rng() % 1000000);
    s.loss = static_cast<double>(pick({0, 5, 20})) / 1000;
    s.duplication = static_cast<double>(pick({0, 5, 20})) / 1000;
    s.retransLoss = static_cast<double>(pick({0, 10, 30})) / 100;
    s.jitter = static_cast<int>(pick({0, 10, 40}));
    s.maxLag = s.twoLines ? static_cast<int>(pick({0, 100, 400})) : 0;
    return s;
}

std::uint64_t fromEnvironment(const char* name, std::uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST(LineFilterRandom, PublishesWhatTheReferenceFilterPublishes)
{
    const std::uint64_t total = fromEnvironment("LINEFILTER_RANDOM_RECORDS", 100000);
    const auto firstSeed = static_cast<unsigned>(fromEnvironment("LINEFILTER_RANDOM_SEED", 1));
    constexpr std::uint64_t cPerSeed = 20000;
    Totals sum;
    for (unsigned seed = firstSeed; sum.records < total; ++seed)
    {
        const Settings settings = settingsFor(seed);
        FeedRun run(seed, settings);
        const bool same = run.play(std::min(cPerSeed, total - sum.records));
        ASSERT_TRUE(same) << run.mFailure;
        sum.records += run.mTotals.records;
        sum.messages += run.mTotals.messages;
        sum.published += run.mTotals.published;
        sum.requests += run.mTotals.requests;
        sum.gaps += run.mTotals.gaps;
        sum.resets += run.mTotals.resets;
        sum.controls += run.mTotals.controls;
        sum.kept += run.keptAcrossResets();
    }
    std::printf("records %llu messages %llu published %llu requests %llu gaps %llu resets %llu controls %llu "
                "kept across resets %llu\n",
                static_cast<unsigned long long>(sum.records), static_cast<unsigned long long>(sum.messages),
                static_cast<unsigned long long>(sum.published), static_cast<unsigned long long>(sum.requests),
                static_cast<unsigned long long>(sum.gaps), static_cast<unsigned long long>(sum.resets),
                static_cast<unsigned long long>(sum.controls), static_cast<unsigned long long>(sum.kept));
    // The streams reach every path they are meant to.
    EXPECT_GT(sum.requests, 0u);
    EXPECT_GT(sum.gaps, 0u);
    EXPECT_GT(sum.resets, 0u);
    EXPECT_GT(sum.controls, 0u);
    EXPECT_GT(sum.kept, 0u);
}

} // namespace
