#include "CryptoTestSupport.h"

#include "FendralServices/crypto/CryptoAES.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

namespace
{
const std::string SP800_PLAIN = "6bc1bee22e409f96e93d7e117393172a"
                                "ae2d8a571e03ac9c9eb76fac45af8e51"
                                "30c81c46a35ce411e5fbc1191a0a52ef"
                                "f69f2445df4f9b17ad2b417be66c3710";
const std::string KEY128 = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string KEY256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string IV = "000102030405060708090a0b0c0d0e0f";
const std::string CTR_IV = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

struct KnownAnswer
{
    const char* name;
    CryptoMode mode;
    std::string key;
    std::string iv;
    std::string plain;
    std::string cipher; // padded modes: the cipher text before the padding block
};

// NIST SP 800-38A, four blocks each.
const KnownAnswer BLOCK_MODES[] = {
    {"ECB-128", MODE_ECB, KEY128, "", SP800_PLAIN,
     "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
     "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
    {"DEFAULT-256", MODE_DEFAULT, KEY256, "", SP800_PLAIN,
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
     "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {"CBC-128", MODE_CBC, KEY128, IV, SP800_PLAIN,
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"CBC-256", MODE_CBC, KEY256, IV, SP800_PLAIN,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    {"CFB128-128", MODE_CFB, KEY128, IV, SP800_PLAIN,
     "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
     "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
    {"OFB-128", MODE_OFB, KEY128, IV, SP800_PLAIN,
     "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"
     "9740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"},
    {"CTR-128", MODE_CTR, KEY128, CTR_IV, SP800_PLAIN,
     "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
     "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"},
    {"CTR-256", MODE_CTR, KEY256, CTR_IV, SP800_PLAIN,
     "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
     "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6"},
    // IEEE 1619 vector 2: data unit 0x3333333333, key halves 11.. and 22..
    {"XTS-128", MODE_XTS, std::string(32, '1') + std::string(32, '2'), "3333333333" + std::string(22, '0'),
     std::string(64, '4'), "c454185e6a16936e39334038acef838bfb186fff7480adc4289382ecd6d394f0"},
};

bool isPadded(CryptoMode mode) { return mode == MODE_ECB || mode == MODE_CBC || mode == MODE_DEFAULT; }

const unsigned char* ivOrNull(const Bytes& iv) { return iv.empty() ? nullptr : iv.data(); }
} // namespace

TEST(CryptoAESTest, KnownAnswersOfTheUnauthenticatedModesAndTheirRoundTrip)
{
    for (const KnownAnswer& c : BLOCK_MODES)
    {
        SCOPED_TRACE(c.name);
        const Bytes key = fromHex(c.key), iv = fromHex(c.iv), plain = fromHex(c.plain);
        Bytes cipher(plain.size() + 16);
        unsigned long cipherLen = cipher.size();
        ASSERT_TRUE(CryptoAES::encrypt(c.mode, plain.data(), plain.size(), key.data(), key.size(), ivOrNull(iv),
                                       iv.size(), nullptr, 0, nullptr, 0, cipher.data(), cipherLen));
        // Padded modes add one whole block of PKCS#7 padding to block-aligned input.
        EXPECT_EQ(cipherLen, plain.size() + (isPadded(c.mode) ? 16 : 0));
        EXPECT_EQ(toHex(cipher.data(), plain.size()), c.cipher);

        Bytes back(cipherLen);
        unsigned long backLen = back.size();
        ASSERT_TRUE(CryptoAES::decrypt(c.mode, cipher.data(), cipherLen, key.data(), key.size(), ivOrNull(iv),
                                       iv.size(), nullptr, 0, nullptr, 0, back.data(), backLen));
        back.resize(backLen);
        EXPECT_EQ(back, plain);
    }
}

TEST(CryptoAESTest, AuthenticatedModesMatchTheirVectorsAndRefuseAForgedTag)
{
    struct Aead
    {
        const char* name;
        CryptoMode mode;
        std::string key, iv, aad, plain, cipher, tag;
    };
    const Aead cases[] = {
        // The GCM specification's test cases 2 and 4.
        {"GCM case 2", MODE_GCM, std::string(32, '0'), std::string(24, '0'), "", std::string(32, '0'),
         "0388dace60b6a392f328c2b971b2fe78", "ab6e47d42cec13bdf53a67b21257bddf"},
        {"GCM case 4", MODE_GCM, "feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
         "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
         "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
         "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091",
         "5bc94fbc3221a5db94fae95ae7121a47"},
        // SP 800-38C examples 1 and 2.
        {"CCM example 1", MODE_CCM, "404142434445464748494a4b4c4d4e4f", "10111213141516", "0001020304050607",
         "20212223", "7162015b", "4dac255d"},
        {"CCM example 2", MODE_CCM, "404142434445464748494a4b4c4d4e4f", "1011121314151617",
         "000102030405060708090a0b0c0d0e0f", "202122232425262728292a2b2c2d2e2f", "d2a1f0e051ea5f62081a7792073d593d",
         "1fc64fbfaccd"},
    };
    for (const Aead& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes key = fromHex(c.key), iv = fromHex(c.iv), aad = fromHex(c.aad), plain = fromHex(c.plain);
        const size_t tagLen = c.tag.size() / 2;
        Bytes cipher(plain.size()), tag(tagLen);
        unsigned long cipherLen = cipher.size();
        ASSERT_TRUE(CryptoAES::encrypt(c.mode, plain.data(), plain.size(), key.data(), key.size(), iv.data(),
                                       iv.size(), aad.data(), aad.size(), tag.data(), tagLen, cipher.data(),
                                       cipherLen));
        EXPECT_EQ(toHex(cipher.data(), cipherLen), c.cipher);
        EXPECT_EQ(toHex(tag), c.tag);

        Bytes back(cipherLen);
        unsigned long backLen = back.size();
        ASSERT_TRUE(CryptoAES::decrypt(c.mode, cipher.data(), cipherLen, key.data(), key.size(), iv.data(),
                                       iv.size(), aad.data(), aad.size(), tag.data(), tagLen, back.data(), backLen));
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(backLen)), plain);

        tag[0] ^= 1;
        backLen = back.size();
        EXPECT_FALSE(CryptoAES::decrypt(c.mode, cipher.data(), cipherLen, key.data(), key.size(), iv.data(),
                                        iv.size(), aad.data(), aad.size(), tag.data(), tagLen, back.data(), backLen));
        // CCM checks its tag while decrypting, GCM at the final step.
        EXPECT_EQ(lastCode(), c.mode == MODE_CCM ? CRYPTO_AES_DECRYPT_DATA_ERROR : CRYPTO_AES_DECRYPT_FINAL_ERROR);
    }
}

TEST(CryptoAESTest, OutputBufferIsCheckedAgainstWhatTheModeWrites)
{
    const Bytes key = fromHex(KEY128), iv = fromHex(IV);
    const Bytes plain(32, 0x5a);
    struct Case
    {
        CryptoMode mode;
        unsigned long plainLen, bufferLen;
        bool ok;
        unsigned long produced;
    };
    const Case cases[] = {
        {MODE_CBC, 32, 32, false, 0}, {MODE_CBC, 32, 47, false, 0}, {MODE_CBC, 32, 48, true, 48},
        {MODE_ECB, 20, 31, false, 0}, {MODE_ECB, 20, 32, true, 32}, {MODE_CTR, 5, 4, false, 0},
        {MODE_CTR, 5, 5, true, 5},    {MODE_OFB, 0, 0, true, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " plain " << c.plainLen << " buffer " << c.bufferLen);
        // The buffer is exactly bufferLen bytes, so a write past it shows under the sanitizer.
        Bytes out(c.bufferLen + 1);
        unsigned long outLen = c.bufferLen;
        EXPECT_EQ(CryptoAES::encrypt(c.mode, plain.data(), c.plainLen, key.data(), key.size(), iv.data(), iv.size(),
                                     nullptr, 0, nullptr, 0, out.data(), outLen),
                  c.ok);
        if (c.ok)
        {
            EXPECT_EQ(outLen, c.produced);
        }
        else
        {
            EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_CIPHER_LENGTH);
        }
    }

    Bytes cipher(48), plainOut(47);
    unsigned long cipherLen = cipher.size();
    ASSERT_TRUE(CryptoAES::encrypt(MODE_CBC, plain.data(), 32, key.data(), key.size(), iv.data(), iv.size(), nullptr,
                                   0, nullptr, 0, cipher.data(), cipherLen));
    unsigned long plainLen = plainOut.size();
    EXPECT_FALSE(CryptoAES::decrypt(MODE_CBC, cipher.data(), cipherLen, key.data(), key.size(), iv.data(), iv.size(),
                                    nullptr, 0, nullptr, 0, plainOut.data(), plainLen));
    EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_DATA_LENGTH);
}

TEST(CryptoAESTest, CipherChoiceArgumentsAndKeyErrors)
{
    EXPECT_EQ(CryptoAES::getEvpCipher(MODE_XTS, 16), nullptr);
    EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_KEY_LEN);
    const EVP_CIPHER* xts256 = CryptoAES::getEvpCipher(MODE_XTS, 64);
    ASSERT_NE(xts256, nullptr);
    EXPECT_STREQ(EVP_CIPHER_get0_name(xts256), "AES-256-XTS");
    EXPECT_EQ(CryptoAES::getEvpCipher(MODE_CBC, 64), nullptr);
    EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_KEY_LEN);
    EXPECT_EQ(CryptoAES::getEvpCipher(MODE_GCM, 20), nullptr);
    EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_KEY_LEN);
    EXPECT_EQ(CryptoAES::getEvpCipher(static_cast<CryptoMode>(9), 16), nullptr);
    EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_MODE);
    EXPECT_STREQ(EVP_CIPHER_get0_name(CryptoAES::getEvpCipher(MODE_CFB, 24)), "AES-192-CFB");

    const std::pair<CryptoMode, unsigned long> blockSizes[] = {
        {MODE_ECB, 16}, {MODE_CBC, 16}, {MODE_CFB, 1}, {MODE_CTR, 1}, {MODE_GCM, 1}};
    for (const auto& [mode, size] : blockSizes)
    {
        unsigned long blockSize = 0;
        EXPECT_TRUE(CryptoAES::getBlockSize(mode, blockSize));
        EXPECT_EQ(blockSize, size) << "mode " << mode;
    }

    const Bytes key = fromHex(KEY128), iv(16, 1), data(32, 2);
    Bytes out(64), tag(16);
    unsigned long outLen = out.size();
    // Authenticated modes need their tag buffer and IV; XTS needs its IV.
    EXPECT_FALSE(CryptoAES::encrypt(MODE_GCM, data.data(), data.size(), key.data(), key.size(), iv.data(), 12,
                                    nullptr, 0, nullptr, 16, out.data(), outLen));
    EXPECT_EQ(lastCode(), CRYPTO_NULL_PARAM);
    EXPECT_FALSE(CryptoAES::decrypt(MODE_CCM, data.data(), data.size(), key.data(), key.size(), nullptr, 0, nullptr,
                                    0, tag.data(), 16, out.data(), outLen));
    EXPECT_EQ(lastCode(), CRYPTO_NULL_PARAM);
    // XTS refuses a key whose two halves are equal, and input under one block.
    const Bytes sameHalves(32, 7), otherHalves = fromHex(std::string(32, '1') + std::string(32, '2'));
    EXPECT_FALSE(CryptoAES::encrypt(MODE_XTS, data.data(), data.size(), sameHalves.data(), sameHalves.size(),
                                    iv.data(), iv.size(), nullptr, 0, nullptr, 0, out.data(), outLen));
    EXPECT_EQ(lastCode(), CRYPTO_AES_ENCRYPT_INIT_KEY_ERROR);
    EXPECT_FALSE(CryptoAES::encrypt(MODE_XTS, data.data(), 15, otherHalves.data(), otherHalves.size(), iv.data(),
                                    iv.size(), nullptr, 0, nullptr, 0, out.data(), outLen));
    EXPECT_EQ(lastCode(), CRYPTO_AES_ENCRYPT_DATA_ERROR);
    // Corrupted padding is caught at the final step.
    Bytes garbage(32, 0x33);
    outLen = out.size();
    EXPECT_FALSE(CryptoAES::decrypt(MODE_CBC, garbage.data(), garbage.size(), key.data(), key.size(), iv.data(),
                                    iv.size(), nullptr, 0, nullptr, 0, out.data(), outLen));
    EXPECT_EQ(lastCode(), CRYPTO_AES_DECRYPT_FINAL_ERROR);
}

TEST(CryptoAESTest, PassphraseRecordRoundTripsAndStaysWithinItsBuffers)
{
    const Bytes plain = textBytes("the quick brown fox");
    char hex[2 * CryptoAES::MAX_HASH_SIZE + 1];
    unsigned long hexLen = sizeof(hex);
    ASSERT_TRUE(CryptoAES::encryptByPassphrase("secret", plain.data(), plain.size(), hex, hexLen));
    EXPECT_EQ(hexLen, 2 * (16 + 32));
    EXPECT_EQ(std::string(hex, 16), toHex(textBytes("Salted__")));
    EXPECT_EQ(std::strlen(hex), hexLen);

    Bytes back(64);
    unsigned long backLen = back.size();
    ASSERT_TRUE(CryptoAES::decryptByPassphrase("secret", hex, back.data(), backLen));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(backLen)), plain);
    // A wrong passphrase never gives the plain text back. It usually fails the
    // padding check, but with a random salt about one record in 256 passes it.
    backLen = back.size();
    const bool wrongAccepted = CryptoAES::decryptByPassphrase("wrong", hex, back.data(), backLen);
    EXPECT_FALSE(wrongAccepted && Bytes(back.begin(), back.begin() + static_cast<long>(backLen)) == plain);

    // The record holds 1008 bytes of cipher text: 1007 bytes of plain text at most.
    const Bytes largest(1007, 'x'), tooLarge(1008, 'x');
    hexLen = sizeof(hex);
    EXPECT_TRUE(CryptoAES::encryptByPassphrase("p", largest.data(), largest.size(), hex, hexLen));
    EXPECT_EQ(hexLen, 2 * CryptoAES::MAX_HASH_SIZE);
    hexLen = sizeof(hex);
    EXPECT_FALSE(CryptoAES::encryptByPassphrase("p", tooLarge.data(), tooLarge.size(), hex, hexLen));
    EXPECT_EQ(lastCode(), CRYPTO_AES_INVALID_CIPHER_LENGTH);

    // The hex text's buffer needs room for the terminating zero.
    std::vector<char> exact(2 * 48 + 1, '#');
    hexLen = exact.size() - 1;
    EXPECT_FALSE(CryptoAES::encryptByPassphrase("p", plain.data(), plain.size(), exact.data(), hexLen));
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    EXPECT_EQ(exact[0], '#');
    hexLen = exact.size();
    EXPECT_TRUE(CryptoAES::encryptByPassphrase("p", plain.data(), plain.size(), exact.data(), hexLen));

    struct Bad
    {
        const char* name;
        std::string hex;
        unsigned long capacity;
        int32 code;
    };
    const std::string good(exact.data());
    const Bad bad[] = {
        {"shorter than the header", good.substr(0, 30), 64, CRYPTO_AES_INVALID_DATA_LENGTH},
        {"longer than a record", std::string(2 * CryptoAES::MAX_HASH_SIZE + 2, 'a'), 2048,
         CRYPTO_AES_INVALID_DATA_LENGTH},
        {"not hex", good.substr(0, 40) + "zz" + good.substr(42), 64, CRYPTO_AES_INVALID_DATA_LENGTH},
        {"plain buffer too small", good, 31, CRYPTO_INVALID_BUF_LEN},
    };
    for (const Bad& b : bad)
    {
        SCOPED_TRACE(b.name);
        Bytes out(b.capacity);
        unsigned long outLen = b.capacity;
        EXPECT_FALSE(CryptoAES::decryptByPassphrase("p", b.hex.c_str(), out.data(), outLen));
        EXPECT_EQ(lastCode(), b.code);
    }
}

TEST(CryptoAESTest, PassphraseRecordInteroperatesWithTheOpensslTool)
{
    TempDir dir;
    const Bytes plain = textBytes("interop across the tool boundary\n");
    writeFile(dir.file("plain"), plain);
    std::string out;
    // The tool's record, read here.
    ASSERT_EQ(runOpenssl("enc -aes-256-cbc -md md5 -pass pass:tiger -in " + dir.file("plain") +
                             " -out " + dir.file("theirs"),
                         out),
              0);
    const Bytes theirs = readFile(dir.file("theirs"));
    Bytes back(theirs.size());
    unsigned long backLen = back.size();
    ASSERT_TRUE(CryptoAES::decryptByPassphrase("tiger", toHex(theirs).c_str(), back.data(), backLen));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(backLen)), plain);

    // Our record, read by the tool.
    char hex[256];
    unsigned long hexLen = sizeof(hex);
    ASSERT_TRUE(CryptoAES::encryptByPassphrase("lion", plain.data(), plain.size(), hex, hexLen));
    writeFile(dir.file("ours"), fromHex(hex));
    ASSERT_EQ(runOpenssl("enc -d -aes-256-cbc -md md5 -pass pass:lion -in " + dir.file("ours"), out), 0);
    EXPECT_EQ(textBytes(out), plain);
}

TEST(CryptoAESTest, RawCipherTextMatchesTheOpensslTool)
{
    TempDir dir;
    const Bytes plain = textBytes("forty-one bytes of market data, give or t");
    writeFile(dir.file("plain"), plain);
    const Bytes key = fromHex(KEY256), iv = fromHex(IV);
    Bytes cipher(plain.size() + 16);
    unsigned long cipherLen = cipher.size();
    ASSERT_TRUE(CryptoAES::encrypt(MODE_CBC, plain.data(), plain.size(), key.data(), key.size(), iv.data(), iv.size(),
                                   nullptr, 0, nullptr, 0, cipher.data(), cipherLen));
    cipher.resize(cipherLen);
    writeFile(dir.file("cipher"), cipher);
    std::string out;
    ASSERT_EQ(runOpenssl("enc -d -aes-256-cbc -K " + KEY256 + " -iv " + IV + " -in " + dir.file("cipher"), out), 0);
    EXPECT_EQ(textBytes(out), plain);
}

TEST(CryptoAESTest, HexConversionChecksItsBuffers)
{
    const Bytes bytes = {0x00, 0xab, 0x7f};
    char hex[7];
    unsigned long hexLen = 6;
    EXPECT_FALSE(CryptoAES::byteToHex(bytes.data(), bytes.size(), hex, hexLen));
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    hexLen = 7;
    ASSERT_TRUE(CryptoAES::byteToHex(bytes.data(), bytes.size(), hex, hexLen));
    EXPECT_EQ(hexLen, 6u);
    EXPECT_STREQ(hex, "00ab7f");

    Bytes back(2);
    unsigned long backLen = back.size();
    EXPECT_FALSE(CryptoAES::hexToByte("00AB7f1", 7, back.data(), backLen));
    EXPECT_EQ(lastCode(), CRYPTO_INVALID_BUF_LEN);
    back.resize(3);
    backLen = 3;
    ASSERT_TRUE(CryptoAES::hexToByte("00AB7f1", 7, back.data(), backLen)); // the odd last character is ignored
    EXPECT_EQ(backLen, 3u);
    EXPECT_EQ(back, bytes);
}
