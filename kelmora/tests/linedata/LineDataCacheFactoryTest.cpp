#include "LineDataTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataCacheFactory.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{

// The registry is destroyed at the end of each test: LeakSanitizer reports
// a cache it did not free.
TEST(LineDataCacheFactory, OneCachePerNameSharedByItsCallers)
{
    TestLog log;
    LineDataCacheFactory registry(log.mLog);
    LineDataBasic record;
    LineDataCache* first = registry.getLineDataCache("A");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->empty());
    (*first)[7] = &record;

    LineDataCache* again = registry.getLineDataCache("A");
    EXPECT_EQ(again, first);
    ASSERT_EQ(again->size(), 1u);
    EXPECT_EQ(again->at(7), &record);

    LineDataCache* other = registry.getLineDataCache("B");
    EXPECT_NE(other, first);
    EXPECT_TRUE(other->empty());
    EXPECT_THROW(registry.getLineDataCache(nullptr), std::logic_error);
}

} // namespace
