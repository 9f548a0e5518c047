#include "CryptoTestSupport.h"

#include "FendralServices/crypto/DhKeyExchange.h"

#include <gtest/gtest.h>

namespace
{
constexpr unsigned long GROUP_SIZE = 256;

Bytes generatorBytes(unsigned long size, unsigned char g)
{
    Bytes out(size, 0);
    out.back() = g;
    return out;
}

Bytes publicKeyOf(DhKeyExchange& exchange)
{
    Bytes key(GROUP_SIZE);
    unsigned long len = key.size();
    EXPECT_TRUE(exchange.getPublicKey(key.data(), len));
    key.resize(len);
    return key;
}
} // namespace

TEST(DhKeyExchangeTest, TwoPartiesOnAFixedGroupAgree)
{
    const Bytes p = fromHex(MODP_2048), g = generatorBytes(GROUP_SIZE, 2);
    DhKeyExchange alice(GROUP_SIZE, p.data(), g.data());
    DhKeyExchange bob(GROUP_SIZE, p.data(), g.data());
    ASSERT_TRUE(alice.isValid());
    ASSERT_TRUE(bob.isValid());

    const Bytes alicePublic = publicKeyOf(alice), bobPublic = publicKeyOf(bob);
    EXPECT_EQ(alicePublic.size(), GROUP_SIZE);
    EXPECT_NE(alicePublic, bobPublic);
    ASSERT_TRUE(alice.computeSharedKey(CryptoKey(bobPublic.data(), bobPublic.size())));
    ASSERT_TRUE(bob.computeSharedKey(CryptoKey(alicePublic.data(), alicePublic.size())));
    const CryptoKey aliceShared = alice.getSharedKey(), bobShared = bob.getSharedKey();
    ASSERT_FALSE(aliceShared.empty());
    EXPECT_LE(aliceShared.length(), GROUP_SIZE);
    EXPECT_EQ(Bytes(aliceShared.data(), aliceShared.data() + aliceShared.length()),
              Bytes(bobShared.data(), bobShared.data() + bobShared.length()));

    Bytes prime(GROUP_SIZE), generator(GROUP_SIZE);
    unsigned long keyLen = 0;
    ASSERT_TRUE(alice.getParameters(prime.data(), prime.size(), generator.data(), generator.size(), keyLen));
    EXPECT_EQ(keyLen, GROUP_SIZE);
    EXPECT_EQ(prime, p);
    EXPECT_EQ(generator, g);
}

TEST(DhKeyExchangeTest, BuffersSmallerThanTheGroupAreRefused)
{
    const Bytes p = fromHex(MODP_2048), g = generatorBytes(GROUP_SIZE, 2);
    DhKeyExchange exchange(GROUP_SIZE, p.data(), g.data());
    Bytes big(GROUP_SIZE), small(GROUP_SIZE - 1);
    unsigned long keyLen = 0;
    EXPECT_FALSE(exchange.getParameters(small.data(), small.size(), big.data(), big.size(), keyLen));
    EXPECT_EQ(lastCode(), CRYPTO_DH_INVALID_PRIME_LEN);
    EXPECT_FALSE(exchange.getParameters(big.data(), big.size(), small.data(), small.size(), keyLen));
    EXPECT_EQ(lastCode(), CRYPTO_DH_INVALID_GENERATOR_LEN);
    keyLen = small.size();
    EXPECT_FALSE(exchange.getPublicKey(small.data(), keyLen));
    EXPECT_EQ(lastCode(), CRYPTO_DH_INVALID_KEY_LEN);
}

TEST(DhKeyExchangeTest, DegeneratePeerValuesAreRefused)
{
    const Bytes p = fromHex(MODP_2048), g = generatorBytes(GROUP_SIZE, 2);
    DhKeyExchange exchange(GROUP_SIZE, p.data(), g.data());
    Bytes pMinus1 = p;
    pMinus1.back() -= 1;
    Bytes pPlus1 = p;
    pPlus1.back() = 0; // p ends in ...FF: p + 1 ends in ...00 with a carry
    pPlus1.insert(pPlus1.begin(), 0x01);
    std::fill(pPlus1.begin() + 1, pPlus1.end(), 0);
    const std::pair<const char*, Bytes> peers[] = {
        {"zero", Bytes(GROUP_SIZE, 0)}, {"one", generatorBytes(GROUP_SIZE, 1)}, {"p - 1", pMinus1},
        {"p", p},                       {"above p", pPlus1},                    {"empty", Bytes()},
    };
    for (const auto& [name, peer] : peers)
    {
        SCOPED_TRACE(name);
        EXPECT_FALSE(exchange.computeSharedKey(CryptoKey(peer.data(), peer.size())));
        EXPECT_TRUE(lastCode() == CRYPTO_DH_COMPUTE_KEY_FAIL || lastCode() == CRYPTO_DH_INVALID_PUBLIC_KEY)
            << lastCode();
        EXPECT_EQ(exchange.getSharedKey().length(), 0u);
    }
}

TEST(DhKeyExchangeTest, PublicValueWithALeadingZeroKeepsTheFullGroupSize)
{
    const Bytes p = fromHex(MODP_2048), g = generatorBytes(GROUP_SIZE, 2);
    DhKeyExchange peer(GROUP_SIZE, p.data(), g.data());
    const Bytes peerPublic = publicKeyOf(peer);
    // About one key pair in 256 has a public value under 2^2040.
    for (int attempt = 0; attempt < 4000; ++attempt)
    {
        DhKeyExchange exchange(GROUP_SIZE, p.data(), g.data());
        const Bytes pub = publicKeyOf(exchange);
        ASSERT_EQ(pub.size(), GROUP_SIZE);
        if (pub[0] != 0)
            continue;
        // The padded value is the right number: the peer agrees with it.
        ASSERT_TRUE(peer.computeSharedKey(CryptoKey(pub.data(), pub.size())));
        ASSERT_TRUE(exchange.computeSharedKey(CryptoKey(peerPublic.data(), peerPublic.size())));
        const CryptoKey a = peer.getSharedKey(), b = exchange.getSharedKey();
        EXPECT_EQ(Bytes(a.data(), a.data() + a.length()), Bytes(b.data(), b.data() + b.length()));
        return;
    }
    FAIL() << "no public value with a leading zero byte in 4000 key pairs";
}

TEST(DhKeyExchangeTest, GeneratedParametersAreSafeAndUsable)
{
    constexpr unsigned long SIZE = 64;
    Bytes prime(SIZE), generator(SIZE);
    ASSERT_TRUE(DhKeyExchange::genParameters(SIZE, prime.data(), generator.data(), 5));
    EXPECT_EQ(generator, generatorBytes(SIZE, 5));
    EXPECT_GE(prime[0], 0x80); // a full-length prime

    DhKeyExchange a(SIZE, prime.data(), generator.data());
    DhKeyExchange b(SIZE, 2UL);
    ASSERT_TRUE(a.isValid());
    ASSERT_TRUE(b.isValid());
    Bytes bPrime(SIZE), bGenerator(SIZE);
    unsigned long keyLen = 0;
    ASSERT_TRUE(b.getParameters(bPrime.data(), SIZE, bGenerator.data(), SIZE, keyLen));
    EXPECT_EQ(keyLen, SIZE);
    EXPECT_EQ(bGenerator, generatorBytes(SIZE, 2));
    EXPECT_NE(bPrime, prime);

    // Parameters too short to generate.
    DhKeyExchange tiny(8UL, 5UL);
    EXPECT_FALSE(tiny.isValid());
    EXPECT_EQ(lastCode(), CRYPTO_DH_GEN_PARAM_FAIL);
    Bytes out(8);
    unsigned long len = out.size();
    EXPECT_FALSE(tiny.getPublicKey(out.data(), len));
    EXPECT_EQ(lastCode(), CRYPTO_DH_INVALID);
}
