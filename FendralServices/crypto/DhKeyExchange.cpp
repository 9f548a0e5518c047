#include "FendralServices/crypto/DhKeyExchange.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/crypto/CryptoObjectLookup.h"
#include "FendralServices/crypto/OpensslPtr.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dh.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

namespace
{
constexpr ResourceManager::ServiceResourceType DH_TYPE = ResourceManager::RES_TYPE_CRYPTO_DH;

BnPtr getBn(const EVP_PKEY* key, const char* name)
{
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(key, name, &bn);
    return BnPtr(bn);
}

// A DH key (parameters only, or with a public value) from its numbers.
PkeyPtr dhFromNumbers(const BIGNUM* p, const BIGNUM* g, const BIGNUM* pub)
{
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    if (bld == nullptr)
        return nullptr;
    OSSL_PARAM* params = nullptr;
    if (OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g) == 1 &&
        (pub == nullptr || OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, pub) == 1))
        params = OSSL_PARAM_BLD_to_param(bld);
    OSSL_PARAM_BLD_free(bld);
    if (params == nullptr)
        return nullptr;
    EVP_PKEY* key = nullptr;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
    if (ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1)
        EVP_PKEY_fromdata(ctx.get(), &key, pub == nullptr ? EVP_PKEY_KEY_PARAMETERS : EVP_PKEY_PUBLIC_KEY, params);
    OSSL_PARAM_free(params);
    return PkeyPtr(key);
}

// Says which check failed when the library's full check refuses the parameters.
int32 parameterFault(const EVP_PKEY* params)
{
    BnPtr p = getBn(params, OSSL_PKEY_PARAM_FFC_P);
    if (!p)
        return CRYPTO_DH_CHECK_FAIL;
    if (BN_check_prime(p.get(), nullptr, nullptr) != 1)
        return CRYPTO_DH_P_NOT_PRIME;
    BnPtr q(BN_dup(p.get()));
    if (!q || BN_rshift1(q.get(), q.get()) != 1)
        return CRYPTO_DH_CHECK_FAIL;
    if (BN_check_prime(q.get(), nullptr, nullptr) != 1)
        return CRYPTO_DH_P_NOT_SAFE_PRIME;
    return CRYPTO_DH_NOT_SUITABLE_GENERATOR;
}

// Parameters with a safe prime of length bytes, checked; null with the code.
PkeyPtr generateParameters(unsigned long length, unsigned long generatorValue)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
    if (!ctx)
        return fwFail(CRYPTO_DH_NEW_FAIL, PkeyPtr());
    if (RAND_status() != 1)
        RAND_poll();
    // For DH keys the library generates a safe prime for the given generator
    // by default; the check below confirms it.
    EVP_PKEY* params = nullptr;
    if (EVP_PKEY_paramgen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_dh_paramgen_prime_len(ctx.get(), static_cast<int>(length * 8)) != 1 ||
        EVP_PKEY_CTX_set_dh_paramgen_generator(ctx.get(), static_cast<int>(generatorValue)) != 1 ||
        EVP_PKEY_paramgen(ctx.get(), &params) != 1)
        return fwFail(CRYPTO_DH_GEN_PARAM_FAIL, PkeyPtr());
    PkeyPtr result(params);
    PkeyCtxPtr checkCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr));
    if (!checkCtx)
        return fwFail(CRYPTO_DH_CHECK_FAIL, PkeyPtr());
    const int checked = EVP_PKEY_param_check(checkCtx.get());
    if (checked < 0)
        return fwFail(CRYPTO_DH_CHECK_FAIL, PkeyPtr());
    if (checked == 0)
        return fwFail(parameterFault(params), PkeyPtr());
    return result;
}

bool writePadded(const BIGNUM* bn, unsigned char* out, unsigned long size)
{
    return BN_bn2binpad(bn, out, static_cast<int>(size)) == static_cast<int>(size);
}
} // namespace

DhKeyExchange::DhKeyExchange(unsigned long keyLen, unsigned long generatorValue)
{
    start(nullptr, keyLen, nullptr, nullptr, generatorValue);
}

DhKeyExchange::DhKeyExchange(const char* nameTxt, unsigned long keyLen, unsigned long generatorValue)
{
    start(nameTxt, keyLen, nullptr, nullptr, generatorValue);
}

DhKeyExchange::DhKeyExchange(unsigned long keyLen, const unsigned char* primePtr, const unsigned char* generatorPtr)
{
    start(nullptr, keyLen, primePtr, generatorPtr, DEFAULT_GENERATOR);
}

DhKeyExchange::DhKeyExchange(const char* nameTxt, unsigned long keyLen, const unsigned char* primePtr,
                             const unsigned char* generatorPtr)
{
    start(nameTxt, keyLen, primePtr, generatorPtr, DEFAULT_GENERATOR);
}

void DhKeyExchange::start(const char* nameTxt, unsigned long keyLen, const unsigned char* primePtr,
                          const unsigned char* generatorPtr, unsigned long generatorValue)
{
    if (nameTxt != nullptr)
    {
        if (!ServiceResource::registerObject(nameTxt, this, DH_TYPE))
            return;
        ResourceManager::copyResourceName(m_nameTxt, nameTxt);
        m_registered = true;
    }
    m_valid = initialize(primePtr, generatorPtr, keyLen, generatorValue);
}

DhKeyExchange::~DhKeyExchange()
{
    if (m_registered)
        ServiceResource::unregisterObject(m_nameTxt, DH_TYPE);
    // The buffer's size is the key's: clear it while the key still stands.
    if (m_sharedKeyBuf != nullptr)
        OPENSSL_clear_free(m_sharedKeyBuf, getSize());
    EVP_PKEY_free(m_dhPtr);
}

bool DhKeyExchange::initialize(const unsigned char* primePtr, const unsigned char* generatorPtr,
                               unsigned long keyLen, unsigned long generatorValue)
{
    PkeyPtr params;
    if (primePtr == nullptr || generatorPtr == nullptr)
        params = generateParameters(keyLen, generatorValue);
    else
    {
        BnPtr p(BN_bin2bn(primePtr, static_cast<int>(keyLen), nullptr));
        BnPtr g(BN_bin2bn(generatorPtr, static_cast<int>(keyLen), nullptr));
        if (!p || !g)
            return fwFail(CRYPTO_DH_NEW_FAIL, false);
        params = dhFromNumbers(p.get(), g.get(), nullptr);
        if (!params)
            return fwFail(CRYPTO_DH_NEW_FAIL, false);
    }
    if (!params)
        return false;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, params.get(), nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_generate(ctx.get(), &m_dhPtr) != 1)
        return fwFail(CRYPTO_DH_GEN_KEY_FAIL, false);
    return true;
}

unsigned long DhKeyExchange::getSize() const
{
    return m_dhPtr != nullptr ? static_cast<unsigned long>(EVP_PKEY_get_size(m_dhPtr)) : 0;
}

bool DhKeyExchange::getParameters(unsigned char* primePtr, unsigned long primeSize, unsigned char* generatorPtr,
                                  unsigned long generatorSize, unsigned long& keyLen)
{
    if (m_dhPtr == nullptr)
        return fwFail(CRYPTO_DH_INVALID, false);
    const unsigned long size = getSize();
    keyLen = size;
    BnPtr p = getBn(m_dhPtr, OSSL_PKEY_PARAM_FFC_P);
    BnPtr g = getBn(m_dhPtr, OSSL_PKEY_PARAM_FFC_G);
    if (!p || !g)
        return fwFail(CRYPTO_DH_EXCEPTION, false);
    if (primeSize < size)
        return fwFail(CRYPTO_DH_INVALID_PRIME_LEN, false);
    if (!writePadded(p.get(), primePtr, size))
        return fwFail(CRYPTO_DH_INVALID_PRIME_LEN, false);
    if (generatorSize < size)
        return fwFail(CRYPTO_DH_INVALID_GENERATOR_LEN, false);
    if (!writePadded(g.get(), generatorPtr, size))
        return fwFail(CRYPTO_DH_INVALID_GENERATOR_LEN, false);
    return true;
}

bool DhKeyExchange::getPublicKey(unsigned char* publicKeyPtr, unsigned long& keyLen)
{
    if (m_dhPtr == nullptr)
        return fwFail(CRYPTO_DH_INVALID, false);
    const unsigned long size = getSize();
    if (keyLen < size)
        return fwFail(CRYPTO_DH_INVALID_KEY_LEN, false);
    BnPtr pub = getBn(m_dhPtr, OSSL_PKEY_PARAM_PUB_KEY);
    if (!pub || !writePadded(pub.get(), publicKeyPtr, size))
        return fwFail(CRYPTO_DH_EXCEPTION, false);
    keyLen = size;
    return true;
}

bool DhKeyExchange::computeSharedKey(const CryptoKey& publicKey)
{
    if (m_dhPtr == nullptr)
        return fwFail(CRYPTO_DH_INVALID, false);
    if (publicKey.empty())
        return fwFail(CRYPTO_DH_INVALID_PUBLIC_KEY, false);
    BnPtr peerPub(BN_bin2bn(publicKey.data(), static_cast<int>(publicKey.length()), nullptr));
    BnPtr p = getBn(m_dhPtr, OSSL_PKEY_PARAM_FFC_P);
    BnPtr g = getBn(m_dhPtr, OSSL_PKEY_PARAM_FFC_G);
    if (!peerPub || !p || !g)
        return fwFail(CRYPTO_DH_INVALID_PUBLIC_KEY, false);
    PkeyPtr peer = dhFromNumbers(p.get(), g.get(), peerPub.get());
    if (!peer)
        return fwFail(CRYPTO_DH_INVALID_PUBLIC_KEY, false);
    const unsigned long size = getSize();
    if (m_sharedKeyBuf == nullptr)
        m_sharedKeyBuf = static_cast<unsigned char*>(OPENSSL_zalloc(size));
    if (m_sharedKeyBuf == nullptr)
        return fwFail(CRYPTO_DH_COMPUTE_KEY_FAIL, false);
    m_sharedKeyLen = 0;
    // Setting the peer checks its public value (1 < y < p - 1) before any use.
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, m_dhPtr, nullptr));
    size_t produced = size;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), m_sharedKeyBuf, &produced) != 1)
    {
        OPENSSL_clear_free(m_sharedKeyBuf, size);
        m_sharedKeyBuf = nullptr;
        return fwFail(CRYPTO_DH_COMPUTE_KEY_FAIL, false);
    }
    m_sharedKeyLen = static_cast<unsigned long>(produced);
    return true;
}

CryptoKey DhKeyExchange::getSharedKey() const { return CryptoKey(m_sharedKeyBuf, m_sharedKeyLen); }

bool DhKeyExchange::genParameters(unsigned long length, unsigned char* primePtr, unsigned char* generatorPtr,
                                  unsigned long generatorValue)
{
    if (primePtr == nullptr || generatorPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    PkeyPtr params = generateParameters(length, generatorValue);
    if (!params)
        return false;
    BnPtr p = getBn(params.get(), OSSL_PKEY_PARAM_FFC_P);
    BnPtr g = getBn(params.get(), OSSL_PKEY_PARAM_FFC_G);
    if (!p || !g)
        return fwFail(CRYPTO_DH_EXCEPTION, false);
    if (!writePadded(p.get(), primePtr, length))
        return fwFail(CRYPTO_DH_INVALID_PRIME_LEN, false);
    if (!writePadded(g.get(), generatorPtr, length))
        return fwFail(CRYPTO_DH_INVALID_GENERATOR_LEN, false);
    return true;
}

DhKeyExchange* DhKeyExchange::lookup(const char* nameTxt)
{
    return lookupCryptoObject<DhKeyExchange>(nameTxt, DH_TYPE);
}
