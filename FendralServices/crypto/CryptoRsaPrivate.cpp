#include "FendralServices/crypto/CryptoRsaPrivate.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/crypto/CryptoObjectLookup.h"
#include "FendralServices/crypto/RsaKeyOps.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace
{
constexpr ResourceManager::ServiceResourceType RSA_PRIVATE_TYPE = ResourceManager::RES_TYPE_CRYPTO_RSA_PRIVATE;
}

CryptoRsaPrivate::CryptoRsaPrivate(unsigned long keyLen) : m_keyLen(keyLen) { start(nullptr); }

CryptoRsaPrivate::CryptoRsaPrivate(const char* nameTxt, unsigned long keyLen) : m_keyLen(keyLen) { start(nameTxt); }

CryptoRsaPrivate::CryptoRsaPrivate(const CryptoKey& key, KeyFormat format) : m_privateKey(key), m_keyFormat(format)
{
    start(nullptr);
}

CryptoRsaPrivate::CryptoRsaPrivate(const char* nameTxt, const CryptoKey& key, KeyFormat format)
    : m_privateKey(key), m_keyFormat(format)
{
    start(nameTxt);
}

void CryptoRsaPrivate::start(const char* nameTxt)
{
    if (nameTxt != nullptr)
    {
        if (!ServiceResource::registerObject(nameTxt, this, RSA_PRIVATE_TYPE))
            return;
        ResourceManager::copyResourceName(m_nameTxt, nameTxt);
        m_registered = true;
    }
    m_valid = initialize();
}

CryptoRsaPrivate::~CryptoRsaPrivate()
{
    if (m_registered)
        ServiceResource::unregisterObject(m_nameTxt, RSA_PRIVATE_TYPE);
    EVP_PKEY_free(m_rsaPtr);
}

bool CryptoRsaPrivate::initialize()
{
    if (!m_privateKey.empty())
    {
        if (m_keyFormat != KEY_FORMAT_PEM)
            return fwFail(CRYPTO_RSA_INVALID_KEY_FORMAT, false);
        m_rsaPtr = RsaKeyOps::readPem(m_privateKey, true);
        if (m_rsaPtr == nullptr)
            return false;
    }
    else
    {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        if (ctx == nullptr)
            return fwFail(CRYPTO_RSA_NEW_FAIL, false);
        if (RAND_status() != 1)
            RAND_poll();
        const bool generated = EVP_PKEY_keygen_init(ctx) == 1 &&
                               EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(m_keyLen * 8)) == 1 &&
                               EVP_PKEY_generate(ctx, &m_rsaPtr) == 1;
        EVP_PKEY_CTX_free(ctx);
        if (!generated)
            return fwFail(CRYPTO_RSA_GEN_KEY_FAIL, false);
    }
    m_encryptedBlockSize = static_cast<unsigned long>(EVP_PKEY_get_size(m_rsaPtr));
    return true;
}

bool CryptoRsaPrivate::encrypt(unsigned char* dataPtr, unsigned long& dataLen, unsigned long bufferLen)
{
    if (!m_valid)
        return false;
    return RsaKeyOps::encryptBlocks(m_rsaPtr, RsaKeyOps::PRIVATE_ENCRYPT, dataPtr, dataLen, bufferLen);
}

bool CryptoRsaPrivate::decrypt(unsigned char* dataPtr, unsigned long& dataLen)
{
    if (!m_valid)
        return false;
    return RsaKeyOps::decryptBlocks(m_rsaPtr, RsaKeyOps::PRIVATE_DECRYPT, dataPtr, dataLen);
}

bool CryptoRsaPrivate::exportPublicKey(unsigned char* keyPtr, unsigned long& keyLen, KeyFormat format)
{
    if (!m_valid)
        return false;
    if (format != KEY_FORMAT_PEM)
        return fwFail(CRYPTO_RSA_INVALID_KEY_FORMAT, false);
    return RsaKeyOps::writePem(m_rsaPtr, false, keyPtr, keyLen);
}

bool CryptoRsaPrivate::exportPrivateKey(unsigned char* keyPtr, unsigned long& keyLen, KeyFormat format)
{
    if (!m_valid)
        return false;
    if (format != KEY_FORMAT_PEM)
        return fwFail(CRYPTO_RSA_INVALID_KEY_FORMAT, false);
    return RsaKeyOps::writePem(m_rsaPtr, true, keyPtr, keyLen);
}

CryptoRsaPrivate* CryptoRsaPrivate::lookup(const char* nameTxt)
{
    return lookupCryptoObject<CryptoRsaPrivate>(nameTxt, RSA_PRIVATE_TYPE);
}
