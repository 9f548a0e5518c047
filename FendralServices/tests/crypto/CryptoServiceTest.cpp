#include "CryptoTestSupport.h"

#include "FendralServices/crypto/CryptoService.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
struct Group
{
    Bytes prime = fromHex(MODP_2048);
    Bytes generator = Bytes(255, 0);
    Group() { generator.push_back(2); }
};

std::string hashOf(const char* data, unsigned long dataLen, const char* salt, HashAlgorithm algorithm,
                   unsigned rounds = 5000)
{
    char hash[128];
    unsigned long size = sizeof(hash);
    std::string saltText = salt;
    if (hashData(data, dataLen, hash, size, saltText.data(), algorithm, rounds) != 0)
        return "error " + std::to_string(lastCode());
    EXPECT_EQ(size, std::strlen(hash) + 1);
    return hash;
}

// What the openssl tool prints after the last '$'.
std::string toolHash(const std::string& args)
{
    std::string out;
    EXPECT_EQ(runOpenssl("passwd " + args, out), 0);
    out = trimmed(out);
    return out.substr(out.rfind('$') + 1);
}
} // namespace

TEST(CryptoServiceTest, NullHandlesAndPointersAreRefusedWithTheirCodes)
{
    unsigned char buf[64] = {};
    char text[8] = "dh-live";
    unsigned long len = sizeof(buf);
    void* handle = nullptr;
    // Live objects, so the pointer checks are reached.
    const Group group;
    void* dh = nullptr;
    void* bf = nullptr;
    void* rsa = nullptr;
    ASSERT_EQ(createDhKeyExchange(text, 256, group.prime.data(), group.generator.data(), &dh), 1);
    ASSERT_EQ(createBlowfishCrypto("bf-live", buf, 8, nullptr, 0, MODE_ECB, &bf), 1);
    ASSERT_EQ(createRsaPrivate("rsa-live", 64UL, &rsa), 1);
    struct Case
    {
        const char* name;
        std::function<int()> call;
        int32 code;
    };
    const Case cases[] = {
        {"getDhParameters handle", [&] { return int(getDhParameters(nullptr, buf, 64, buf, 64, &len)); },
         CRYPTO_INVALID_HANDLE},
        {"getDhParameters length", [&] { return int(getDhParameters(dh, buf, 64, buf, 64, nullptr)); },
         CRYPTO_NULL_PARAM},
        {"getDhPublicKey handle", [&] { return int(getDhPublicKey(nullptr, buf, &len)); }, CRYPTO_INVALID_HANDLE},
        {"getDhPublicKey buffer", [&] { return int(getDhPublicKey(dh, nullptr, &len)); }, CRYPTO_NULL_PARAM},
        {"computeDhSharedKey handle", [&] { return computeDhSharedKey(nullptr, buf, 8, buf, &len); },
         CRYPTO_INVALID_HANDLE},
        {"computeDhSharedKey peer", [&] { return computeDhSharedKey(dh, nullptr, 8, buf, &len); },
         CRYPTO_NULL_PARAM},
        {"getDhSharedKey length", [&] { return getDhSharedKey(dh, buf, nullptr); }, CRYPTO_NULL_PARAM},
        {"createDhKeyExchange handle out", [&] { return createDhKeyExchange(text, 64, buf, buf, nullptr); },
         CRYPTO_NULL_PARAM},
        {"createDhKeyExchange name", [&] { return createDhKeyExchange(nullptr, 64, nullptr, nullptr, &handle); },
         CRYPTO_NULL_PARAM},
        {"createBlowfishCrypto name",
         [&] { return createBlowfishCrypto(nullptr, buf, 8, nullptr, 0, MODE_ECB, &handle); }, CRYPTO_NULL_PARAM},
        {"createRsaPrivate name", [&] { return createRsaPrivate(nullptr, 64UL, &handle); }, CRYPTO_NULL_PARAM},
        {"createRsaPrivate from PEM name", [&] { return createRsaPrivate(nullptr, buf, 8, KEY_FORMAT_PEM, &handle); },
         CRYPTO_NULL_PARAM},
        {"createRsaPublic name", [&] { return createRsaPublic(nullptr, buf, 8, KEY_FORMAT_PEM, &handle); },
         CRYPTO_NULL_PARAM},
        {"createBlowfishCrypto key",
         [&] { return createBlowfishCrypto("bf", nullptr, 8, nullptr, 0, MODE_ECB, &handle); }, CRYPTO_NULL_PARAM},
        {"bfEncrypt handle", [&] { return bfEncrypt(nullptr, buf, &len, 64); }, CRYPTO_INVALID_HANDLE},
        {"bfDecrypt length", [&] { return bfDecrypt(bf, buf, nullptr); }, CRYPTO_NULL_PARAM},
        {"createRsaPrivate handle out", [&] { return createRsaPrivate("rsa", 256UL, nullptr); }, CRYPTO_NULL_PARAM},
        {"createRsaPrivate key", [&] { return createRsaPrivate("rsa", nullptr, 8, KEY_FORMAT_PEM, &handle); },
         CRYPTO_NULL_PARAM},
        {"createRsaPrivate format", [&] { return createRsaPrivate("rsa", buf, 8, static_cast<KeyFormat>(2), &handle); },
         CRYPTO_RSA_INVALID_KEY_FORMAT},
        {"createRsaPublic key", [&] { return createRsaPublic("rsa", nullptr, 8, KEY_FORMAT_PEM, &handle); },
         CRYPTO_NULL_PARAM},
        {"rsaPublicEncrypt handle", [&] { return rsaPublicEncrypt(nullptr, buf, &len, 64); }, CRYPTO_INVALID_HANDLE},
        {"rsaPrivateDecrypt data", [&] { return rsaPrivateDecrypt(rsa, nullptr, &len); }, CRYPTO_NULL_PARAM},
        {"exportRsaPublicKey handle", [&] { return exportRsaPublicKey(nullptr, buf, &len, KEY_FORMAT_PEM); },
         CRYPTO_INVALID_HANDLE},
        {"aesEncrypt length",
         [&] { return aesEncrypt(MODE_ECB, buf, 16, buf, 16, nullptr, 0, nullptr, 0, nullptr, 0, buf, nullptr); },
         CRYPTO_NULL_PARAM},
        {"aesDecrypt key",
         [&] { return aesDecrypt(MODE_ECB, buf, 16, nullptr, 16, nullptr, 0, nullptr, 0, nullptr, 0, buf, &len); },
         CRYPTO_NULL_PARAM},
        {"aesEncryptByPassphrase length", [&] { return int(aesEncryptByPassphrase("p", buf, 4, text, nullptr)); },
         CRYPTO_NULL_PARAM},
        {"aesDecryptByPassphrase text", [&] { return aesDecryptByPassphrase("p", nullptr, buf, &len); },
         CRYPTO_NULL_PARAM},
        {"aesGetBlockSize", [&] { return int(aesGetBlockSize(MODE_CBC, nullptr)); }, CRYPTO_NULL_PARAM},
        {"computeSha256Hash data", [&] { return computeSha256Hash(nullptr, 0, buf, &len, nullptr, 0); },
         CRYPTO_NULL_PARAM},
        {"computeSha512Hash length", [&] { return computeSha512Hash(buf, 1, buf, nullptr, nullptr, 0); },
         CRYPTO_NULL_PARAM},
        {"computeMD5Hash buffer", [&] { return computeMD5Hash(buf, 1, nullptr, &len, nullptr, 0); },
         CRYPTO_NULL_PARAM},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        FrameworkErrno::set(0);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(lastCode(), c.code);
    }
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(removeDhKeyExchange("dh-live"), 1);
    EXPECT_EQ(removeBlowfishCrypto("bf-live"), 1);
    EXPECT_EQ(removeRsaPrivate("rsa-live"), 1);
}

TEST(CryptoServiceTest, RemovedHandlesAndHandlesOfAnotherKindAreRefused)
{
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    void* bf = nullptr;
    void* rsa = nullptr;
    ASSERT_EQ(createBlowfishCrypto("bf-stale", key, sizeof(key), nullptr, 0, MODE_ECB, &bf), 1);
    ASSERT_EQ(createRsaPrivate("rsa-kind", 64UL, &rsa), 1);
    unsigned char data[64] = {};
    unsigned long len = 8;
    // A Blowfish object is not an RSA key, nor the other way round.
    EXPECT_EQ(rsaPrivateEncrypt(bf, data, &len, sizeof(data)), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HANDLE);
    EXPECT_EQ(rsaPublicDecrypt(rsa, data, &len), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HANDLE);
    EXPECT_EQ(bfEncrypt(rsa, data, &len, sizeof(data)), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HANDLE);
    EXPECT_EQ(getDhPublicKey(bf, data, &len), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HANDLE);
    EXPECT_EQ(bfEncrypt(bf, data, &len, sizeof(data)), 1);

    // After removal the old handle is refused, not followed into freed memory.
    ASSERT_EQ(removeBlowfishCrypto("bf-stale"), 1);
    len = 8;
    EXPECT_EQ(bfEncrypt(bf, data, &len, sizeof(data)), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HANDLE);
    EXPECT_EQ(removeRsaPrivate("rsa-kind"), 1);
    EXPECT_EQ(exportRsaPublicKey(rsa, data, &len, KEY_FORMAT_PEM), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HANDLE);
}

TEST(CryptoServiceTest, NamedObjectsAreCreatedOnceAndRemovedByName)
{
    const Group group;
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(createDhKeyExchange(const_cast<char*>("dh-a"), 256, group.prime.data(), group.generator.data(), &first),
              1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(createDhKeyExchange(const_cast<char*>("dh-a"), 256, group.prime.data(), group.generator.data(), &second),
              0);
    EXPECT_EQ(lastCode(), RES_NAME_EXIST);
    EXPECT_EQ(second, nullptr);
    // The first object still works after the clash was cleaned up.
    unsigned char pub[256];
    unsigned long pubLen = sizeof(pub);
    EXPECT_TRUE(getDhPublicKey(first, pub, &pubLen));

    const unsigned char key[16] = {1, 2, 3};
    ASSERT_EQ(createBlowfishCrypto("bf-a", key, sizeof(key), nullptr, 0, MODE_CBC, &second), 1);
    EXPECT_EQ(createBlowfishCrypto("bf-a", key, sizeof(key), nullptr, 0, MODE_CBC, &second), 0);
    EXPECT_EQ(lastCode(), RES_NAME_EXIST);

    using Remove = int (*)(const char*);
    const std::pair<const char*, Remove> removals[] = {{"dh-a", removeDhKeyExchange},
                                                       {"bf-a", removeBlowfishCrypto}};
    for (const auto& [name, remove] : removals)
    {
        SCOPED_TRACE(name);
        EXPECT_EQ(remove(name), 1);
        EXPECT_EQ(remove(name), 0);
        EXPECT_EQ(lastCode(), CRYPTO_OBJ_NOT_FOUND);
    }
    for (Remove remove : {removeRsaPrivate, removeRsaPublic, removeDhKeyExchange, removeBlowfishCrypto})
    {
        EXPECT_EQ(remove("never-made"), 0);
        EXPECT_EQ(lastCode(), CRYPTO_OBJ_NOT_FOUND);
    }
}

TEST(CryptoServiceTest, DhSharedKeyIsCopiedOnlyIntoABufferThatHoldsIt)
{
    const Group group;
    void* alice = nullptr;
    void* bob = nullptr;
    ASSERT_EQ(createDhKeyExchange(const_cast<char*>("dh-alice"), 256, group.prime.data(), group.generator.data(),
                                  &alice),
              1);
    ASSERT_EQ(createDhKeyExchange(const_cast<char*>("dh-bob"), 256, group.prime.data(), group.generator.data(), &bob),
              1);
    unsigned char alicePub[256], bobPub[256];
    unsigned long aliceLen = sizeof(alicePub), bobLen = sizeof(bobPub);
    ASSERT_TRUE(getDhPublicKey(alice, alicePub, &aliceLen));
    ASSERT_TRUE(getDhPublicKey(bob, bobPub, &bobLen));

    Bytes aliceShared(256), bobShared(256);
    unsigned long aliceSharedLen = aliceShared.size(), bobSharedLen = bobShared.size();
    ASSERT_EQ(computeDhSharedKey(alice, bobPub, bobLen, aliceShared.data(), &aliceSharedLen), 1);
    ASSERT_EQ(computeDhSharedKey(bob, alicePub, aliceLen, bobShared.data(), &bobSharedLen), 1);
    ASSERT_GT(aliceSharedLen, 200u);
    EXPECT_EQ(aliceSharedLen, bobSharedLen);
    EXPECT_EQ(aliceShared, bobShared);

    // One byte short: a failure with no bytes copied and a length of 0.
    Bytes small(aliceSharedLen - 1, 0xee);
    unsigned long smallLen = small.size();
    EXPECT_EQ(computeDhSharedKey(alice, bobPub, bobLen, small.data(), &smallLen), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    EXPECT_EQ(smallLen, 0u);
    EXPECT_EQ(small, Bytes(aliceSharedLen - 1, 0xee));
    smallLen = small.size();
    EXPECT_EQ(getDhSharedKey(alice, small.data(), &smallLen), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    EXPECT_EQ(smallLen, 0u);

    Bytes again(256);
    unsigned long againLen = again.size();
    ASSERT_EQ(getDhSharedKey(alice, again.data(), &againLen), 1);
    EXPECT_EQ(againLen, aliceSharedLen);
    EXPECT_EQ(again, aliceShared);

    Bytes prime(256), generator(256);
    unsigned long keyLen = 0;
    ASSERT_TRUE(getDhParameters(bob, prime.data(), prime.size(), generator.data(), generator.size(), &keyLen));
    EXPECT_EQ(prime, group.prime);
    EXPECT_EQ(removeDhKeyExchange("dh-alice"), 1);
    EXPECT_EQ(removeDhKeyExchange("dh-bob"), 1);
}

TEST(CryptoServiceTest, GeneratedDhParametersUseGeneratorFive)
{
    Bytes prime(64), generator(64);
    ASSERT_TRUE(genDhParameters(64, prime.data(), generator.data()));
    EXPECT_EQ(generator.back(), 5);
    void* exchange = nullptr;
    ASSERT_EQ(createDhKeyExchange(const_cast<char*>("dh-gen"), 64, nullptr, nullptr, &exchange), 1);
    Bytes ownPrime(64), ownGenerator(64);
    unsigned long keyLen = 0;
    ASSERT_TRUE(getDhParameters(exchange, ownPrime.data(), 64, ownGenerator.data(), 64, &keyLen));
    EXPECT_EQ(keyLen, 64u);
    EXPECT_EQ(ownGenerator.back(), 5);
    EXPECT_EQ(removeDhKeyExchange("dh-gen"), 1);
}

TEST(CryptoServiceTest, RsaAndBlowfishThroughHandles)
{
    void* priv = nullptr;
    void* pub = nullptr;
    ASSERT_EQ(createRsaPrivate("rsa-priv", 128UL, &priv), 1);
    unsigned char pem[1024];
    unsigned long pemLen = sizeof(pem);
    ASSERT_EQ(exportRsaPublicKey(priv, pem, &pemLen, KEY_FORMAT_PEM), 1);
    ASSERT_EQ(createRsaPublic("rsa-pub", pem, pemLen, KEY_FORMAT_PEM, &pub), 1);
    Bytes data(256, 0);
    unsigned long len = 0; // empty input still makes one whole block
    ASSERT_EQ(rsaPrivateEncrypt(priv, data.data(), &len, 128), 1);
    EXPECT_EQ(len, 128u);
    ASSERT_EQ(rsaPublicDecrypt(pub, data.data(), &len), 1);
    EXPECT_EQ(len, 0u);
    len = 0;
    EXPECT_EQ(rsaPublicEncrypt(pub, data.data(), &len, 127), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    pemLen = sizeof(pem);
    ASSERT_EQ(exportRsaPrivateKey(priv, pem, &pemLen, KEY_FORMAT_PEM), 1);
    void* copy = nullptr;
    ASSERT_EQ(createRsaPrivate("rsa-copy", pem, pemLen, KEY_FORMAT_PEM, &copy), 1);
    EXPECT_EQ(removeRsaPrivate("rsa-copy"), 1);
    EXPECT_EQ(removeRsaPrivate("rsa-priv"), 1);
    EXPECT_EQ(removeRsaPublic("rsa-pub"), 1);

    const unsigned char key[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    void* bf = nullptr;
    ASSERT_EQ(createBlowfishCrypto("bf-h", key, sizeof(key), nullptr, 0, MODE_ECB, &bf), 1);
    unsigned char block[8] = {};
    len = sizeof(block);
    ASSERT_EQ(bfEncrypt(bf, block, &len, sizeof(block)), 1);
    EXPECT_EQ(toHex(block, len), "4ef997456198dd78");
    ASSERT_EQ(bfDecrypt(bf, block, &len), 1);
    EXPECT_EQ(toHex(block, len), "0000000000000000");
    EXPECT_EQ(removeBlowfishCrypto("bf-h"), 1);
}

TEST(CryptoServiceTest, DigestsAndAesThroughTheCalls)
{
    const Bytes data = textBytes("ab"), salt = textBytes("c");
    unsigned char digest[64];
    unsigned long len = sizeof(digest);
    ASSERT_EQ(computeSha256Hash(data.data(), data.size(), digest, &len, salt.data(), salt.size()), 1);
    EXPECT_EQ(toHex(digest, len), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    len = 15;
    EXPECT_EQ(computeMD5Hash(data.data(), data.size(), digest, &len, nullptr, 0), 0);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);

    const Bytes key(32, 9), iv(16, 3), plain = textBytes("hello");
    unsigned char cipher[16], back[16];
    unsigned long cipherLen = sizeof(cipher), backLen = sizeof(back);
    ASSERT_EQ(aesEncrypt(MODE_CTR, plain.data(), plain.size(), key.data(), key.size(), iv.data(), iv.size(), nullptr,
                         0, nullptr, 0, cipher, &cipherLen),
              1);
    EXPECT_EQ(cipherLen, 5u);
    ASSERT_EQ(aesDecrypt(MODE_CTR, cipher, cipherLen, key.data(), key.size(), iv.data(), iv.size(), nullptr, 0,
                         nullptr, 0, back, &backLen),
              1);
    EXPECT_EQ(Bytes(back, back + backLen), plain);
    unsigned long blockSize = 0;
    EXPECT_TRUE(aesGetBlockSize(MODE_CBC, &blockSize));
    EXPECT_EQ(blockSize, 16u);

    char hex[128];
    unsigned long hexLen = sizeof(hex);
    ASSERT_TRUE(aesEncryptByPassphrase("pw", plain.data(), plain.size(), hex, &hexLen));
    backLen = sizeof(back);
    ASSERT_EQ(aesDecryptByPassphrase("pw", hex, back, &backLen), 1);
    EXPECT_EQ(Bytes(back, back + backLen), plain);
}

TEST(CryptoServiceTest, PasswordHashesMatchTheOpensslTool)
{
    const char* salt16 = "saltsaltsaltsalt";
    const std::string sha256 = hashOf("password", 8, salt16, HASH_SHA256);
    EXPECT_EQ(sha256.size(), 43u);
    EXPECT_EQ(sha256, toolHash("-5 -salt saltsaltsaltsalt password"));
    EXPECT_EQ(hashOf("password", 8, salt16, HASH_SHA512), toolHash("-6 -salt saltsaltsaltsalt password"));
    // Only the first 16 salt characters count.
    EXPECT_EQ(hashOf("password", 8, "saltsaltsaltsaltEXTRA", HASH_SHA256), sha256);
    // Only the first dataLen bytes are the key.
    EXPECT_EQ(hashOf("password-and-more", 8, salt16, HASH_SHA256), sha256);

    // MD5 takes the caller's salt, so different salts give different hashes.
    EXPECT_EQ(hashOf("password", 8, "abcdefgh", HASH_MD5), toolHash("-1 -salt abcdefgh password"));
    EXPECT_NE(hashOf("password", 8, "abcdefgh", HASH_MD5), hashOf("password", 8, "zyxwvuts", HASH_MD5));
}

TEST(CryptoServiceTest, PasswordHashErrors)
{
    char hash[128];
    unsigned long size = sizeof(hash);
    char salt[] = "saltsalt";
    EXPECT_EQ(hashData(nullptr, 4, hash, size, salt, HASH_SHA256, 5000), -1);
    EXPECT_EQ(lastCode(), CRYPTO_NULL_PARAM);
    EXPECT_EQ(hashData("", 0, hash, size, salt, HASH_SHA256, 5000), -1);
    EXPECT_EQ(lastCode(), CRYPTO_NULL_PARAM);
    EXPECT_EQ(hashData("pw", 2, nullptr, size, salt, HASH_SHA256, 5000), -1);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_HASH_BUF);

    // The SHA-512 hash is 86 characters: a 10-byte buffer is refused, untouched.
    char small[10] = "untouched";
    unsigned long smallSize = sizeof(small);
    EXPECT_EQ(hashData("pw", 2, small, smallSize, salt, HASH_SHA512, 5000), -1);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    EXPECT_STREQ(small, "untouched");
    EXPECT_EQ(smallSize, sizeof(small));
    // The 43-character SHA-256 hash needs 44 bytes with its terminating zero.
    size = 43;
    EXPECT_EQ(hashData("pw", 2, hash, size, salt, HASH_SHA256, 5000), -1);
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    size = 44;
    EXPECT_EQ(hashData("pw", 2, hash, size, salt, HASH_SHA256, 5000), 0);

    // Settings the system's crypt refuses, and salts that would change the setting's meaning.
    struct Case
    {
        const char* name;
        const char* salt;
        int algorithm;
    };
    const Case invalid[] = {
        {"unknown algorithm", "saltsalt", 9},
        {"salt with a dollar", "ab$cd", HASH_SHA256},
        {"salt with a colon", "ab:cd", HASH_SHA512},
        {"salt with a space", "ab cd", HASH_MD5},
    };
    for (const Case& c : invalid)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hashOf("pw", 2, c.salt, static_cast<HashAlgorithm>(c.algorithm)),
                  "error " + std::to_string(CRYPTO_HASH_INVALID_SALT_FORMAT));
    }
    // A null salt is an empty one.
    size = sizeof(hash);
    EXPECT_EQ(hashData("pw", 2, hash, size, nullptr, HASH_SHA256, 5000), 0);
    EXPECT_EQ(size, 44u);
}
