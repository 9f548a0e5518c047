#include "CryptoTestSupport.h"

#include "FendralServices/crypto/CryptoBlowfish.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace
{
CryptoKey keyOf(const Bytes& bytes) { return CryptoKey(bytes.data(), bytes.size()); }

const std::string CHAIN_KEY = "0123456789abcdeff0e1d2c3b4a59687";
const std::string CHAIN_IV = "fedcba9876543210";
// "7654321 Now is the time for " and its terminating zero.
const std::string CHAIN_DATA = "37363534333231204e6f77206973207468652074696d6520666f722000";
} // namespace

TEST(CryptoBlowfishTest, KnownAnswersInEveryModeAndTheirRoundTrip)
{
    struct Case
    {
        const char* name;
        CryptoMode mode;
        std::string key, iv, plain, cipher;
    };
    const Case cases[] = {
        {"ECB zeros", MODE_ECB, "0000000000000000", "", "0000000000000000", "4ef997456198dd78"},
        {"ECB ones", MODE_DEFAULT, "ffffffffffffffff", "", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"ECB mixed", MODE_ECB, "3000000000000000", "", "1000000000000001", "7d856f9a613063f2"},
        {"CBC", MODE_CBC, CHAIN_KEY, CHAIN_IV, CHAIN_DATA + "000000",
         "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc"},
        {"CFB64", MODE_CFB, CHAIN_KEY, CHAIN_IV, CHAIN_DATA,
         "e73214a2822139caf26ecf6d2eb9e76e3da3de04d1517200519d57a6c3"},
        {"OFB64", MODE_OFB, CHAIN_KEY, CHAIN_IV, CHAIN_DATA,
         "e73214a2822139ca62b343cc5b65587310dd908d0c241b2263c2cf80da"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes key = fromHex(c.key), iv = fromHex(c.iv);
        CryptoBlowfish cipher(keyOf(key), keyOf(iv), c.mode);
        ASSERT_TRUE(cipher.isValid());
        Bytes data = fromHex(c.plain);
        unsigned long len = data.size();
        ASSERT_TRUE(cipher.encrypt(data.data(), len, data.size()));
        EXPECT_EQ(toHex(data.data(), len), c.cipher);
        ASSERT_TRUE(cipher.decrypt(data.data(), len));
        EXPECT_EQ(toHex(data.data(), len), c.plain);
    }
}

TEST(CryptoBlowfishTest, EveryCallRestartsFromTheConfiguredIv)
{
    for (CryptoMode mode : {MODE_CBC, MODE_CFB, MODE_OFB})
    {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        CryptoBlowfish cipher(keyOf(fromHex(CHAIN_KEY)), keyOf(fromHex(CHAIN_IV)), mode);
        Bytes first(16, 0x42), second(16, 0x42);
        unsigned long len = 13;
        if (mode == MODE_CBC)
            len = 16;
        unsigned long len2 = len;
        ASSERT_TRUE(cipher.encrypt(first.data(), len, first.size()));
        ASSERT_TRUE(cipher.encrypt(second.data(), len2, second.size()));
        EXPECT_EQ(first, second);
        // Decryption of a second message also starts afresh.
        ASSERT_TRUE(cipher.decrypt(first.data(), len));
        ASSERT_TRUE(cipher.decrypt(second.data(), len2));
        EXPECT_EQ(first, second);
        EXPECT_EQ(first[0], 0x42);
    }
}

TEST(CryptoBlowfishTest, LengthBufferAndModeRules)
{
    const CryptoKey key = keyOf(fromHex(CHAIN_KEY));
    Bytes data(24, 1);
    struct Case
    {
        CryptoMode mode;
        unsigned long len, bufferLen;
        bool ok;
        unsigned long produced;
        int32 code;
    };
    const Case cases[] = {
        {MODE_ECB, 12, 16, false, 0, 0},  // block modes take whole blocks only, no code
        {MODE_CBC, 12, 16, false, 0, 0},
        {MODE_ECB, 16, 16, true, 16, 0},
        {MODE_CFB, 12, 12, true, 12, 0},
        {MODE_OFB, 12, 11, false, 0, CRYPTO_INVALID_BUF_LEN},
        {MODE_CBC, 16, 15, false, 0, CRYPTO_INVALID_BUF_LEN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " len " << c.len << " buffer " << c.bufferLen);
        CryptoBlowfish cipher(key, c.mode);
        FrameworkErrno::set(0);
        unsigned long len = c.len;
        EXPECT_EQ(cipher.encrypt(data.data(), len, c.bufferLen), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(len, c.produced);
        }
        EXPECT_EQ(lastCode(), c.code);
    }

    EXPECT_EQ(CryptoBlowfish(key, MODE_CBC).encryptedLength(13), 16u);
    EXPECT_EQ(CryptoBlowfish(key, MODE_OFB).encryptedLength(13), 13u);
    CryptoBlowfish gcm(key, MODE_GCM);
    EXPECT_FALSE(gcm.isValid());
    EXPECT_EQ(gcm.encryptedLength(13), 0u);
    EXPECT_EQ(lastCode(), CRYPTO_BF_INVALID_MODE);
    unsigned long len = 8;
    EXPECT_FALSE(gcm.encrypt(data.data(), len, data.size()));
    EXPECT_FALSE(CryptoBlowfish(CryptoKey(), MODE_ECB).isValid());
}

TEST(CryptoBlowfishTest, LeavesTheProcessDefaultContextUntouched)
{
    CryptoBlowfish cipher(keyOf(fromHex(CHAIN_KEY)), MODE_CBC);
    ASSERT_TRUE(cipher.isValid());
    Bytes data(8, 0);
    unsigned long len = data.size();
    ASSERT_TRUE(cipher.encrypt(data.data(), len, data.size()));
    // The legacy provider stays out of the default context.
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
    EXPECT_EQ(fetched, nullptr);
    EVP_CIPHER_free(fetched);
}

TEST(CryptoBlowfishTest, CipherTextMatchesTheOpensslTool)
{
    TempDir dir;
    const Bytes plain = textBytes("sixteen byte msg");
    CryptoBlowfish cipher(keyOf(fromHex(CHAIN_KEY)), keyOf(fromHex(CHAIN_IV)), MODE_CBC);
    Bytes data = plain;
    unsigned long len = data.size();
    ASSERT_TRUE(cipher.encrypt(data.data(), len, data.size()));
    writeFile(dir.file("cipher"), data);
    std::string out;
    ASSERT_EQ(runOpenssl("enc -d -bf-cbc -provider legacy -provider default -nopad -K " + CHAIN_KEY + " -iv " +
                             CHAIN_IV + " -in " + dir.file("cipher"),
                         out),
              0);
    EXPECT_EQ(textBytes(out), plain);
}

TEST(CryptoBlowfishTest, NamedObjectsAreFoundUntilDestroyed)
{
    const CryptoKey key = keyOf(fromHex(CHAIN_KEY));
    {
        CryptoBlowfish first("bf-named", key, MODE_ECB);
        ASSERT_TRUE(first.isValid());
        EXPECT_EQ(CryptoBlowfish::lookup("bf-named"), &first);
        CryptoBlowfish clash("bf-named", key, MODE_ECB);
        EXPECT_FALSE(clash.isValid());
        EXPECT_EQ(lastCode(), RES_NAME_EXIST);
    }
    // The clashing object's destructor left the first one's name alone; the
    // first one's destructor removed it.
    EXPECT_EQ(CryptoBlowfish::lookup("bf-named"), nullptr);
    EXPECT_EQ(lastCode(), CRYPTO_OBJ_NOT_FOUND);
}
