#include "FendralServices/crypto/CryptoDigest.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/crypto/ThreadContext.h"

#include <openssl/evp.h>


namespace
{
struct DigestTable
{
    EVP_MD* digests[3] = {};

    DigestTable()
    {
        digests[CryptoDigest::SHA256] = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
        digests[CryptoDigest::SHA512] = EVP_MD_fetch(nullptr, "SHA2-512", nullptr);
        digests[CryptoDigest::MD5] = EVP_MD_fetch(nullptr, "MD5", nullptr);
    }
};

const DigestTable& digestTable()
{
    // Kept for the process's life: callers on other threads may still run at exit.
    static const DigestTable* const table = new DigestTable();
    return *table;
}

using DigestContext = ThreadContext<EVP_MD_CTX, EVP_MD_CTX_new, EVP_MD_CTX_free>;

constexpr unsigned long DIGEST_SIZES[] = {32, 64, 16};
} // namespace

unsigned long CryptoDigest::digestSize(Algorithm algorithm) { return DIGEST_SIZES[algorithm]; }

bool CryptoDigest::getHash(Algorithm algorithm, const unsigned char* dataPtr, unsigned long dataLen,
                           unsigned char* hashBuffPtr, unsigned long& hashBuffLen, const CryptoKey* saltPtr)
{
    if (saltPtr == nullptr)
        return getHash(algorithm, dataPtr, dataLen, hashBuffPtr, hashBuffLen, nullptr, 0);
    return getHash(algorithm, dataPtr, dataLen, hashBuffPtr, hashBuffLen, saltPtr->data(), saltPtr->length());
}

bool CryptoDigest::getHash(Algorithm algorithm, const unsigned char* dataPtr, unsigned long dataLen,
                           unsigned char* hashBuffPtr, unsigned long& hashBuffLen, const unsigned char* saltPtr,
                           unsigned long saltLen)
{
    if (hashBuffPtr == nullptr)
        return fwFail(CRYPTO_INVALID_HASH_BUF, false);
    if (dataPtr == nullptr && dataLen > 0)
        return fwFail(CRYPTO_NULL_PARAM, false);
    if (hashBuffLen < DIGEST_SIZES[algorithm])
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    EVP_MD_CTX* ctx = DigestContext::get();
    const EVP_MD* md = digestTable().digests[algorithm];
    if (ctx == nullptr || md == nullptr || EVP_DigestInit_ex2(ctx, md, nullptr) != 1)
        return fwFail(CRYPTO_HASH_INIT_FAIL, false);
    if (EVP_DigestUpdate(ctx, dataPtr, dataLen) != 1)
        return fwFail(CRYPTO_HASH_UPDATE_FAIL, false);
    if (saltPtr != nullptr && saltLen > 0 && EVP_DigestUpdate(ctx, saltPtr, saltLen) != 1)
        return fwFail(CRYPTO_HASH_UPDATE_SALT_FAIL, false);
    unsigned int produced = 0;
    if (EVP_DigestFinal_ex(ctx, hashBuffPtr, &produced) != 1)
        return fwFail(CRYPTO_GET_HASH_FAIL, false);
    hashBuffLen = produced;
    return true;
}
