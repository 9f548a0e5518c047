#include "kelmora/linedata/LineDataFactoryBasic.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "libstats/pool/ArrayBackedPool.h"

LineDataFactoryBasic::LineDataFactoryBasic(const std::string& name, Log& log)
    : mName(name),
      mLog(log),
      mLineDataBasicPool(std::make_unique<Zunq::Utils::ArrayBackedPool<LineDataBasic>>())
{
}

LineDataFactoryBasic::~LineDataFactoryBasic()
{
    // The pool frees its blocks without destructing entries: the records
    // own their implementation and maybe a buffer.
    if (!mFilled)
        return;
    const long total = mLineDataBasicPool->getTotalMaxEntries();
    for (long i = 0; i < total; ++i)
        if (LineDataBasic* record = mLineDataBasicPool->peekEntry(i))
            record->~LineDataBasic();
}

void LineDataFactoryBasic::setObjPoolSize(std::uint32_t n)
{
    if (mFilled)
        return;
    mObjPoolSize = n;
    mLineDataBasicPool->setConstructorOnInit(true);
    if (!mLineDataBasicPool->init(static_cast<long>(n), mLog, mName, 0))
        return;
    mFilled = true;
    suppressPoolConsumptionWarning();
    const long total = mLineDataBasicPool->getTotalMaxEntries();
    for (long i = 0; i < total; ++i)
        mLineDataBasicPool->getEntry(i)->setBufferLen(cInitialBufferLen);
}

LineData* LineDataFactoryBasic::create()
{
    if (!mFilled) [[unlikely]]
        setObjPoolSize(1);
    const long index = mLineDataBasicPool->getFreeIndex();
    LineDataBasic* record = index >= 0 ? mLineDataBasicPool->getEntry(index) : nullptr;
    if (record == nullptr) [[unlikely]]
        return nullptr;
    record->mID = static_cast<std::uint64_t>(index) & 0xffffffffu;
    record->setSeqNumOffset(mSeqNumOffset);
    record->setSeqNumLength(mSeqNumLength);
    return record;
}

void LineDataFactoryBasic::destroy(LineData* data)
{
    if (data == nullptr)
        return;
    auto* record = static_cast<LineDataBasic*>(data);
    mLineDataBasicPool->freeIndex(static_cast<long>(record->mID & 0xffffffffu));
}

void LineDataFactoryBasic::suppressPoolConsumptionWarning()
{
    mLineDataBasicPool->suppressConsumptionWarning();
}

void LineDataFactoryBasic::setSeqNumOffset(std::int64_t offset)
{
    mSeqNumOffset = offset;
}

void LineDataFactoryBasic::setSeqNumLength(std::int64_t length)
{
    mSeqNumLength = length;
}

long LineDataFactoryBasic::getNumUsed() const
{
    return mLineDataBasicPool->getNumEntries();
}

long LineDataFactoryBasic::getCapacity() const
{
    return mLineDataBasicPool->getTotalMaxEntries();
}
