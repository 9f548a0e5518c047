#include "FendralCore/foundation/BigEndianInteger.h"
#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/Int128.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

UInt128 nameKey(const char* name, bool nullPadded)
{
    char buf[17] = {};
    std::strncpy(buf, name, 16);
    return UInt128(buf, nullPadded);
}

TEST(Key128, NumberSitsInTheLowerWord)
{
    char bytes[16] = {};
    bytes[8] = 5;
    EXPECT_EQ(UInt128(5), UInt128(bytes));

    const Int128 minusOne(-1);
    EXPECT_EQ(minusOne.m_data.num.numUpper, 0);
    EXPECT_EQ(minusOne.m_data.num.numLower, -1);
    EXPECT_LT(minusOne, Int128(0));
    EXPECT_LT(minusOne, Int128(5));
}

TEST(Key128, NamesOrderByLittleEndianWords)
{
    EXPECT_LT(nameKey("BA", false), nameKey("AB", false));
}

TEST(Key128, SignednessDecidesTheLowerWordOrder)
{
    Data128 topBit{};
    topBit.unum = {7, 0x8000000000000000ULL};
    Data128 one{};
    one.unum = {7, 1};
    EXPECT_LT(Int128(topBit), Int128(one));
    EXPECT_GT(UInt128(topBit), UInt128(one));
    EXPECT_EQ(UInt128(topBit).compare(UInt128(topBit)), 0);
}

TEST(Key128, NullPaddedFlagOnlyMattersForDirtyPadding)
{
    char dirty[17] = {'a', 'b', 'c', '\0', 'x', 'y'};
    EXPECT_NE(UInt128(dirty, true), UInt128(dirty, false));

    char clean[17] = {'a', 'b', 'c'};
    EXPECT_EQ(UInt128(clean, true), UInt128(clean, false));

    // A full 16-character name fills every byte; the 17th is never read.
    char full[17];
    std::memcpy(full, "ABCDEFGHIJKLMNOP", 16);
    full[16] = 'Z';
    const UInt128 a(full, false);
    const UInt128 b(full, true);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::memcmp(a.m_data.txt, "ABCDEFGHIJKLMNOP", 16), 0);

    UInt128 assigned;
    assigned = dirty; // the 17-character assignment trims at the NUL
    EXPECT_EQ(assigned, UInt128(dirty, false));
}

TEST(Key128, HashIsTheXorOfTheWords)
{
    Data128 a{};
    a.unum = {1, 2};
    Data128 b{};
    b.unum = {3, 0};
    EXPECT_EQ(UInt128(a).hashValue(), UInt128(b).hashValue());
    EXPECT_NE(UInt128(a), UInt128(b));
    EXPECT_EQ(UInt128(42).hashValue(), 42u);
}

TEST(CharArray48, KeepsAtMost48CharactersZeroFilled)
{
    const std::string sixty(60, 'q');
    std::string other = sixty;
    other[55] = 'r';
    const CharArray<48> a(sixty.c_str());
    const CharArray<48> b(other.c_str());
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::memcmp(a.m_dataTxt, sixty.data(), 48), 0);

    EXPECT_EQ(CharArray<48>(""), CharArray<48>());
    EXPECT_EQ(CharArray<48>(static_cast<const char*>(nullptr)), CharArray<48>());

    CharArray<48> reused("a long text that leaves bytes behind");
    reused = "abc";
    for (int i = 3; i < 48; ++i)
        ASSERT_EQ(reused.m_dataTxt[i], '\0') << "byte " << i;
    EXPECT_EQ(reused.hashValue(), 0x636261u);
    EXPECT_EQ(CharArray<48>().hashValue(), 0u);
}

TEST(CharArray48, ComparesBytesAsUnsigned)
{
    const char high[] = {'\xe9', '\0'};
    EXPECT_GT(CharArray<48>(high), CharArray<48>("z"));
    EXPECT_LT(CharArray<48>("ab"), CharArray<48>("abc"));
    EXPECT_STREQ(CharArray<48>("abc").c_str(), "abc");
}

TEST(BigEndianInteger, StoresNetworkOrder)
{
    IntBig32 v;
    v = 0x01020304;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(static_cast<int32>(v), 0x01020304);

    IntBig16 s;
    const unsigned char raw[2] = {255, 254};
    std::memcpy(&s, raw, 2);
    EXPECT_EQ(static_cast<int16>(s), -2);

    UintBig64 u;
    u = 0x0102030405060708ULL;
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&u)[0], 1);
    EXPECT_EQ(static_cast<uint64>(u), 0x0102030405060708ULL);
}

} // namespace
