// A single text or binary message. It can read its sequence number from a
// fixed ASCII decimal field of the payload (offset and length; offset -1 or
// length 0: no field), and carries a source host of up to 63 characters of
// its own. It is the record that block and packet records split into and
// that the pooled basic factory hands out; the pool bookkeeping lives in its
// ArrayBackedPoolObject base, which its constructor leaves alone.
#pragma once

#include "kelmora/linedata/LineData.h"
#include "libstats/pool/ArrayBackedPoolObject.h"

#include <cstdint>

class LineDataBasicImpl;

class LineDataBasic : public LineData, public Zunq::Utils::ArrayBackedPoolObject
{
public:
    LineDataBasic();
    LineDataBasic(const LineDataBasic& other);
    ~LineDataBasic() override;

    // From another basic record the host and port come along too; this
    // record keeps its own field offset and length.
    LineData& operator=(const LineData& other) override;
    LineDataBasic& operator=(const LineDataBasic& other);
    LineData* clone() const override;

    // Borrows the payload, then reads the sequence field when one is set.
    // Inline: a line handler sets every message it receives.
    void setData(const char* data, std::uint32_t len) override
    {
        borrowData(data, len);
        if (mSeqNumLength >= 1 && mSeqNumOffset >= 0)
            readSeqNum();
    }
    // The host is cut to 63 characters.
    void setSource(const char* host, int port) override;
    const char* getSrcHost() const override;
    int getSrcPort() const override;

    void setSeqNumOffset(std::int64_t offset);
    void setSeqNumLength(std::int64_t length);

    // The field rule shared with the block format: skip spaces, '0' and '+',
    // then decimal digits up to the first other character, reduced to 32
    // bits; 0 when no digit follows. Reads only `length` bytes at `field`.
    static std::uint32_t parseSeqNum(const char* field, std::uint64_t length);

private:
    // The sequence number from the field of the payload just set.
    void readSeqNum();

    LineDataBasicImpl* mBasicImpl;
    // The field's place, read by setData with each message.
    std::int64_t mSeqNumOffset = -1;
    std::int64_t mSeqNumLength = 0;
};
