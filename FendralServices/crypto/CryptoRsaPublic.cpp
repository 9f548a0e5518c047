#include "FendralServices/crypto/CryptoRsaPublic.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/crypto/CryptoObjectLookup.h"
#include "FendralServices/crypto/RsaKeyOps.h"

#include <openssl/evp.h>

namespace
{
constexpr ResourceManager::ServiceResourceType RSA_PUBLIC_TYPE = ResourceManager::RES_TYPE_CRYPTO_RSA_PUBLIC;
}

CryptoRsaPublic::CryptoRsaPublic(const CryptoKey& key, KeyFormat format) : m_publicKey(key), m_keyFormat(format)
{
    m_valid = initialize();
}

CryptoRsaPublic::CryptoRsaPublic(const char* nameTxt, const CryptoKey& key, KeyFormat format)
    : m_publicKey(key), m_keyFormat(format)
{
    if (!ServiceResource::registerObject(nameTxt, this, RSA_PUBLIC_TYPE))
        return;
    ResourceManager::copyResourceName(m_nameTxt, nameTxt);
    m_registered = true;
    m_valid = initialize();
}

CryptoRsaPublic::~CryptoRsaPublic()
{
    if (m_registered)
        ServiceResource::unregisterObject(m_nameTxt, RSA_PUBLIC_TYPE);
    EVP_PKEY_free(m_rsaPtr);
}

bool CryptoRsaPublic::initialize()
{
    if (m_keyFormat != KEY_FORMAT_PEM)
        return fwFail(CRYPTO_RSA_INVALID_KEY_FORMAT, false);
    m_rsaPtr = RsaKeyOps::readPem(m_publicKey, false);
    if (m_rsaPtr == nullptr)
        return false;
    m_encryptedBlockSize = static_cast<unsigned long>(EVP_PKEY_get_size(m_rsaPtr));
    return true;
}

bool CryptoRsaPublic::encrypt(unsigned char* dataPtr, unsigned long& dataLen, unsigned long bufferLen)
{
    if (!m_valid)
        return false;
    return RsaKeyOps::encryptBlocks(m_rsaPtr, RsaKeyOps::PUBLIC_ENCRYPT, dataPtr, dataLen, bufferLen);
}

bool CryptoRsaPublic::decrypt(unsigned char* dataPtr, unsigned long& dataLen)
{
    if (!m_valid)
        return false;
    return RsaKeyOps::decryptBlocks(m_rsaPtr, RsaKeyOps::PUBLIC_DECRYPT, dataPtr, dataLen);
}

CryptoRsaPublic* CryptoRsaPublic::lookup(const char* nameTxt)
{
    return lookupCryptoObject<CryptoRsaPublic>(nameTxt, RSA_PUBLIC_TYPE);
}
