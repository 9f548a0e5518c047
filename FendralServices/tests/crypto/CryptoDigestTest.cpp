#include "CryptoTestSupport.h"

#include "FendralServices/crypto/CryptoMD5.h"
#include "FendralServices/crypto/CryptoSha256.h"
#include "FendralServices/crypto/CryptoSha512.h"

#include <gtest/gtest.h>

namespace
{
using GetHash = bool (*)(const unsigned char*, unsigned long, unsigned char*, unsigned long&, const CryptoKey*);

struct Vector
{
    const char* name;
    GetHash getHash;
    unsigned long size;
    std::string data;
    std::string digest;
};

// FIPS 180 examples and RFC 1321's test suite.
const Vector VECTORS[] = {
    {"SHA-256 abc", CryptoSha256::getHash, 32, "abc",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"SHA-256 empty", CryptoSha256::getHash, 32, "",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"SHA-256 two blocks", CryptoSha256::getHash, 32, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"SHA-512 abc", CryptoSha512::getHash, 64, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {"SHA-512 empty", CryptoSha512::getHash, 64, "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {"MD5 empty", CryptoMD5::getHash, 16, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {"MD5 a", CryptoMD5::getHash, 16, "a", "0cc175b9c0f1b6a831c399e269772661"},
    {"MD5 abc", CryptoMD5::getHash, 16, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"MD5 message digest", CryptoMD5::getHash, 16, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
};
} // namespace

TEST(CryptoDigestTest, KnownAnswersWithAndWithoutASalt)
{
    for (const Vector& v : VECTORS)
    {
        SCOPED_TRACE(v.name);
        const Bytes data = textBytes(v.data);
        Bytes digest(v.size + 8, 0xee);
        unsigned long len = digest.size();
        ASSERT_TRUE(v.getHash(data.data(), data.size(), digest.data(), len, nullptr));
        EXPECT_EQ(len, v.size);
        EXPECT_EQ(toHex(digest.data(), len), v.digest);
        EXPECT_EQ(digest[v.size], 0xee);

        // An empty salt changes nothing; a salt is hashed after the data.
        const CryptoKey noSalt;
        len = digest.size();
        ASSERT_TRUE(v.getHash(data.data(), data.size(), digest.data(), len, &noSalt));
        EXPECT_EQ(toHex(digest.data(), len), v.digest);
        if (!v.data.empty())
        {
            const Bytes head(data.begin(), data.end() - 1);
            const CryptoKey lastByteAsSalt(&data.back(), 1);
            len = digest.size();
            ASSERT_TRUE(v.getHash(head.data(), head.size(), digest.data(), len, &lastByteAsSalt));
            EXPECT_EQ(toHex(digest.data(), len), v.digest);
        }
    }
}

TEST(CryptoDigestTest, BufferChecks)
{
    const Bytes data = textBytes("abc");
    const std::pair<GetHash, unsigned long> kinds[] = {
        {CryptoSha256::getHash, 32}, {CryptoSha512::getHash, 64}, {CryptoMD5::getHash, 16}};
    for (const auto& [getHash, size] : kinds)
    {
        SCOPED_TRACE(testing::Message() << "digest of " << size);
        Bytes digest(size);
        unsigned long len = size - 1;
        EXPECT_FALSE(getHash(data.data(), data.size(), digest.data(), len, nullptr));
        EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
        len = size;
        EXPECT_FALSE(getHash(data.data(), data.size(), nullptr, len, nullptr));
        EXPECT_EQ(lastCode(), CRYPTO_INVALID_HASH_BUF);
    }
}
