// One unit of received feed data as it travels on the bus: the raw channels
// (module "OrluLineDataBlock") and the filtered channels (module
// "OrluLineData") both carry it as Orlu<LineData>. The bus passes the record
// by reference and never copies it; a subscriber that keeps one makes its own
// copy (clone). Each line handler owns one record and reuses it.
//
// The record borrows its payload: setData points at the caller's bytes, which
// must stay valid while the record is in use. Format variants derive from it
// and supply clone.
#pragma once

#include <cstdint>

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

    // Points at `len` bytes of the caller.
    virtual void setData(const char* data, std::uint32_t len);
    virtual void setSeqNum(std::uint32_t seqNum);

    virtual const char* getData() const;
    virtual std::uint32_t getDataLen() const;
    virtual std::uint32_t getSeqNum() const;

private:
    LineDataImpl* mImpl;
};
