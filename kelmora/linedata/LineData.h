// One unit of received feed data as it travels on the bus: the raw channels
// (module "OrluLineDataBlock") and the filtered channels (module
// "OrluLineData") both carry it as Orlu<LineData>. The bus passes the record
// by reference and never copies it; a subscriber that keeps one makes its own
// copy (clone, or assignment into a record of its own). Each line handler
// owns one record and reuses it.
//
// The record borrows its payload: setData points at the caller's bytes, which
// must stay valid while the record is in use. It owns bytes only after
// saveData (a text copy), setBufferLen or assignment (a heap buffer that
// grows and is reused). Format variants derive from it and supply clone.
// A record belongs to one thread; it takes no lock.
#pragma once

#include "zunq/time/Time.h"

#include <cstdint>
#include <deque>
#include <string>

class LineDataImpl;

class LineData
{
public:
    LineData();
    LineData(const LineData& other);
    virtual ~LineData();

    virtual LineData& operator=(const LineData& other);
    // A new heap copy of the record, of its own variant.
    virtual LineData* clone() const = 0;

    // Back to a fresh record, keeping an owned buffer (for reuse), the
    // channel id and the saved text.
    virtual void clear();
    // Points at `len` bytes of the caller; an owned buffer is released.
    virtual void setData(const char* data, std::uint32_t len) { borrowData(data, len); }
    virtual void setDataLen(std::uint32_t len);
    // Takes a heap buffer of at least `size` bytes holding the payload, or
    // grows the one owned; 0 releases it and empties the record.
    virtual void setBufferLen(std::uint32_t size);
    // The host is cut to 31 characters.
    virtual void setSource(const char* host, int port);
    virtual void setSeqNum(std::uint32_t seqNum);
    virtual void setMultipleMessages(bool on);
    virtual void setIgnoreSeqNum(bool on);
    virtual void setSrcTime(const Time& time);
    virtual void setSrcTime(std::uint64_t time);
    virtual void setLineTime(const Time& time);
    virtual void setLineTimeNow();
    virtual void setReadQuorDataTimeNow();
    virtual void setIsOriginal(bool on);
    virtual void setIsControl(bool on);
    virtual void setIsSequenceReset(bool on);
    virtual void setIsHeartbeat(bool on);
    virtual void setIsRecovery(bool on);
    virtual void setIsLast(bool on);
    // Copies the payload into a text the record owns and points at it.
    virtual void saveData();

    virtual const char* getData() const { return mData; }
    virtual std::uint32_t getDataLen() const { return mDataLen; }
    virtual std::uint32_t getSeqNum() const;
    virtual bool getMultipleMessages() const;
    virtual bool getIgnoreSeqNum() const;
    virtual const Time& getSrcTime() const;
    virtual std::uint64_t getSrcTimeInt64() const;
    virtual const Time& getReadQuorDataTime() const;
    virtual const Time& getLineTime() const;
    virtual void getDestHost(std::string& host) const;
    virtual void getDestPort(int& port) const;
    virtual const char* getSrcHost() const;
    virtual int getSrcPort() const;
    virtual bool isOriginal() const;
    virtual bool isControl() const;
    virtual bool isSequenceReset() const;
    virtual bool isHeartbeat() const;
    virtual bool isRecovery() const;
    virtual bool isLast() const;
    // A block or packet record that splits into messages.
    virtual bool isBlockData() const;
    // The messages of a block record; null for a single message.
    virtual void getBlockData(std::deque<const LineData*>*& out) const;
    // The number the next message on the line is expected to carry.
    virtual std::uint32_t getNextSeqNum() const;
    // Stores the pointer only: valid while its producer keeps it.
    virtual void setSessionId(const char* sessionId);
    virtual const char* getSessionId() const;

    // What sequencing reads of every record, in one call: the number and
    // the eight flags, each as its own getter answers. A variant that
    // overrides one of those getters overrides this too.
    struct SeqFields
    {
        std::uint32_t mSeqNum;
        bool mIsOriginal;
        bool mIsControl;
        bool mIsSequenceReset;
        bool mIsHeartbeat;
        bool mIsRecovery;
        bool mIsLast;
        bool mIgnoreSeqNum;
        bool mMultiMsg;
    };
    virtual SeqFields getSeqFields() const;

    void setChannelId(std::uint16_t channelId);
    std::uint16_t getChannelId() const;

protected:
    // The borrowing step of setData, without a variant's parse.
    void borrowData(const char* data, std::uint32_t len)
    {
        if (owns())
        {
            borrowIntoOwned(data, len);
            return;
        }
        // The usual case, a record that only ever borrows: nothing to release.
        mData = data;
        mDataLen = data != nullptr ? len : 0;
    }

private:
    bool owns() const { return mBufferLen != 0; }
    // The owned buffer; only while owns().
    char* buffer() const { return const_cast<char*>(mData); }
    bool pointsIntoBuffer(const char* p) const;
    void releaseBuffer();
    // Grows (or takes) an owned buffer of `size` bytes, the first `keep`
    // bytes of the payload kept.
    void takeBuffer(std::uint32_t size, std::uint32_t keep);
    // borrowData while an owned buffer is to be released.
    void borrowIntoOwned(const char* data, std::uint32_t len);

    LineDataImpl* mImpl;
    // The payload sits in the record itself: a line sets it, and every
    // subscriber reads it, once per message, with no call and no further load.
    const char* mData = nullptr;
    std::uint32_t mDataLen = 0;
    // The owned buffer's size; 0 while the record only borrows.
    std::uint32_t mBufferLen = 0;
};

// The list that block and packet records split into.
using LineDataList = std::deque<const LineData*>;
