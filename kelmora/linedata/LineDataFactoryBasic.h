// Hands out LineDataBasic records from a pool filled once (setObjPoolSize)
// and takes them back. Records come back as they were left: create does not
// clear them, destroy neither clears nor destructs them. The pool keeps its
// last free entry in reserve and grows by a block of its first size when
// that is reached, with a warning in the log. One thread; no lock.
#pragma once

#include "kelmora/linedata/LineDataFactory.h"

#include <cstdint>
#include <memory>
#include <string>

class Log;
class LineDataBasic;
namespace Zunq::Utils
{
template <class T>
class ArrayBackedPool;
}

class LineDataFactoryBasic : public LineDataFactory
{
public:
    // Bytes of the buffer each record of the first fill owns.
    static constexpr std::uint32_t cInitialBufferLen = 20;

    LineDataFactoryBasic(const std::string& name, Log& log);
    ~LineDataFactoryBasic() override;

    LineDataFactoryBasic(const LineDataFactoryBasic&) = delete;
    LineDataFactoryBasic& operator=(const LineDataFactoryBasic&) = delete;

    LineData* create() override;
    void destroy(LineData* data) override;
    // The pool's fill-level warning counts as given until the pool grows.
    virtual void suppressPoolConsumptionWarning();

    // The sequence field every record from create reads.
    void setSeqNumOffset(std::int64_t offset);
    void setSeqNumLength(std::int64_t length);
    // Fills the pool with `n` records; the first call only counts.
    void setObjPoolSize(std::uint32_t n);

    const std::string& getName() const { return mName; }
    std::uint32_t getObjPoolSize() const { return mObjPoolSize; }
    // Records handed out and not returned.
    long getNumUsed() const;
    long getCapacity() const;

private:
    std::int64_t mSeqNumOffset = -1;
    std::int64_t mSeqNumLength = 0;
    std::string mName;
    Log& mLog;
    std::uint32_t mObjPoolSize = 0;
    bool mFilled = false;
    std::unique_ptr<Zunq::Utils::ArrayBackedPool<LineDataBasic>> mLineDataBasicPool;
};
