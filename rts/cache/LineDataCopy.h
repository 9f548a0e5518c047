// A cache slot's record: a LineData that owns a copy of one message of at
// most 1456 bytes. The buffer is part of the object, so refilling a slot
// never allocates. A placeholder for a number that never arrived is a record
// with sequence number 0.
#pragma once

#include "kelmora/linedata/LineData.h"

#include <cstddef>
#include <cstdint>

class LineDataCopy final : public LineData
{
public:
    static constexpr std::uint32_t cBufferSize = 1456;

    LineDataCopy();
    LineDataCopy(const LineDataCopy& other);
    ~LineDataCopy() override;

    // Copies the LineData part only; the payload stays this record's own.
    LineData& operator=(const LineData& other) override;
    LineData* clone() const override;
    // Copies at most 1456 bytes into the record's own buffer.
    void setData(const char* data, std::uint32_t len) override;
    const char* getData() const override { return mBuffer; }
    bool isBlockData() const override;
    std::uint32_t getNextSeqNum() const override;
    // Number and length live beside the bytes, so that filling a slot
    // touches the slot alone.
    void setSeqNum(std::uint32_t seqNum) override;
    std::uint32_t getSeqNum() const override { return mSeqNum; }
    SeqFields getSeqFields() const override;
    void setDataLen(std::uint32_t len) override;
    std::uint32_t getDataLen() const override { return mLength; }
    void clear() override;

    std::uint32_t getLength() const { return mLength; }
    // Fetches the lines a read of the record starts with: its number, its
    // length and a short message's bytes.
    void prefetch() const
    {
        const char* at = reinterpret_cast<const char*>(this);
        for (std::size_t line = 0; line < cPrefetchBytes; line += 64)
            __builtin_prefetch(at + line);
    }
    static constexpr std::size_t cPrefetchBytes = 256;

private:
    std::uint32_t mSeqNum = 0;
    std::uint32_t mLength = 0;
    std::uint32_t mNextSeqNum = 0;
    char mBuffer[cBufferSize];
};
