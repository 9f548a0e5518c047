#include "FendralServices/crypto/CryptoBlowfish.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/crypto/CryptoObjectLookup.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>

namespace
{
constexpr ResourceManager::ServiceResourceType BF_TYPE = ResourceManager::RES_TYPE_CRYPTO_BF;

// Blowfish lives in the legacy provider. Loading it into the default context
// would change what every other user of the library in the process gets, so
// it is loaded, with the default provider beside it, into a context of ours.
struct BlowfishCiphers
{
    OSSL_LIB_CTX* libCtx = nullptr;
    EVP_CIPHER* ecb = nullptr;
    EVP_CIPHER* cbc = nullptr;
    EVP_CIPHER* cfb = nullptr;
    EVP_CIPHER* ofb = nullptr;

    BlowfishCiphers()
    {
        libCtx = OSSL_LIB_CTX_new();
        if (libCtx == nullptr || OSSL_PROVIDER_load(libCtx, "legacy") == nullptr ||
            OSSL_PROVIDER_load(libCtx, "default") == nullptr)
            return;
        ecb = EVP_CIPHER_fetch(libCtx, "BF-ECB", nullptr);
        cbc = EVP_CIPHER_fetch(libCtx, "BF-CBC", nullptr);
        cfb = EVP_CIPHER_fetch(libCtx, "BF-CFB", nullptr);
        ofb = EVP_CIPHER_fetch(libCtx, "BF-OFB", nullptr);
    }

    const EVP_CIPHER* forMode(CryptoMode mode) const
    {
        switch (mode)
        {
        case MODE_DEFAULT:
        case MODE_ECB:
            return ecb;
        case MODE_CBC:
            return cbc;
        case MODE_CFB:
            return cfb;
        case MODE_OFB:
            return ofb;
        default:
            return nullptr;
        }
    }
};

const BlowfishCiphers& blowfishCiphers()
{
    // Kept for the process's life: objects may be destroyed after main returns.
    static const BlowfishCiphers* const ciphers = new BlowfishCiphers();
    return *ciphers;
}

bool isBlockMode(CryptoMode mode) { return mode == MODE_DEFAULT || mode == MODE_ECB || mode == MODE_CBC; }

EVP_CIPHER_CTX* keyedCtx(const EVP_CIPHER* cipher, const CryptoKey& key, bool encrypting)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr)
        return nullptr;
    const int enc = encrypting ? 1 : 0;
    if (EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, enc, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.length())) != 1 ||
        EVP_CipherInit_ex2(ctx, nullptr, key.data(), nullptr, enc, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1)
    {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}
} // namespace

CryptoBlowfish::CryptoBlowfish(const char* nameTxt, const CryptoKey& key, CryptoMode mode) : m_key(key), m_mode(mode)
{
    setUp(nameTxt, CryptoKey());
}

CryptoBlowfish::CryptoBlowfish(const char* nameTxt, const CryptoKey& key, const CryptoKey& iv, CryptoMode mode)
    : m_key(key), m_mode(mode)
{
    setUp(nameTxt, iv);
}

CryptoBlowfish::CryptoBlowfish(const CryptoKey& key, CryptoMode mode) : m_key(key), m_mode(mode)
{
    setUp(nullptr, CryptoKey());
}

CryptoBlowfish::CryptoBlowfish(const CryptoKey& key, const CryptoKey& iv, CryptoMode mode) : m_key(key), m_mode(mode)
{
    setUp(nullptr, iv);
}

void CryptoBlowfish::setUp(const char* nameTxt, const CryptoKey& iv)
{
    m_iv = iv;
    // A shorter IV is zero-filled, a longer one cut to the block.
    iv.exportToBuffer(m_initVecBuf, sizeof(m_initVecBuf));
    if (iv.length() > sizeof(m_initVecBuf))
        std::memcpy(m_initVecBuf, iv.data(), sizeof(m_initVecBuf));

    const EVP_CIPHER* cipher = blowfishCiphers().forMode(m_mode);
    if (cipher == nullptr)
    {
        FrameworkErrno::set(CRYPTO_BF_INVALID_MODE);
        return;
    }
    if (m_key.empty())
    {
        FrameworkErrno::set(CRYPTO_NULL_PARAM);
        return;
    }
    m_encryptCtx = keyedCtx(cipher, m_key, true);
    m_decryptCtx = keyedCtx(cipher, m_key, false);
    if (m_encryptCtx == nullptr || m_decryptCtx == nullptr)
    {
        FrameworkErrno::set(CRYPTO_AES_ENCRYPT_INIT_KEY_ERROR);
        return;
    }
    if (nameTxt != nullptr)
    {
        if (!ServiceResource::registerObject(nameTxt, this, BF_TYPE))
            return;
        ResourceManager::copyResourceName(m_nameTxt, nameTxt);
        m_registered = true;
    }
    m_valid = true;
}

CryptoBlowfish::~CryptoBlowfish()
{
    if (m_registered)
        ServiceResource::unregisterObject(m_nameTxt, BF_TYPE);
    EVP_CIPHER_CTX_free(m_encryptCtx);
    EVP_CIPHER_CTX_free(m_decryptCtx);
}

unsigned long CryptoBlowfish::encryptedLength(unsigned long dataLen) const
{
    if (isBlockMode(m_mode))
        return (dataLen + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
    if (m_mode == MODE_CFB || m_mode == MODE_OFB)
        return dataLen;
    return fwFail(CRYPTO_BF_INVALID_MODE, 0UL);
}

bool CryptoBlowfish::encrypt(unsigned char* dataPtr, unsigned long& dataLen, unsigned long bufferLen)
{
    if (!m_valid)
        return false;
    if (dataPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    const unsigned long outLen = encryptedLength(dataLen);
    if (outLen > bufferLen)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    if (!run(true, dataPtr, dataLen))
        return false;
    dataLen = outLen;
    return true;
}

bool CryptoBlowfish::decrypt(unsigned char* dataPtr, unsigned long& dataLen)
{
    if (!m_valid)
        return false;
    if (dataPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    return run(false, dataPtr, dataLen);
}

bool CryptoBlowfish::run(bool encrypting, unsigned char* dataPtr, unsigned long dataLen)
{
    // Block modes take whole blocks only; the caller pads.
    if (isBlockMode(m_mode) && dataLen % BLOCK_SIZE != 0)
        return false;
    if (dataLen > static_cast<unsigned long>(INT32_MAX))
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    EVP_CIPHER_CTX* ctx = encrypting ? m_encryptCtx : m_decryptCtx;
    // Re-applying the IV restarts the chain and the stream position at 0.
    const unsigned char* iv = m_mode == MODE_ECB || m_mode == MODE_DEFAULT ? nullptr : m_initVecBuf;
    int produced = 0;
    int finalLen = 0;
    if (EVP_CipherInit_ex2(ctx, nullptr, nullptr, iv, encrypting ? 1 : 0, nullptr) != 1 ||
        EVP_CipherUpdate(ctx, dataPtr, &produced, dataPtr, static_cast<int>(dataLen)) != 1 ||
        EVP_CipherFinal_ex(ctx, dataPtr + produced, &finalLen) != 1)
        return fwFail(encrypting ? CRYPTO_AES_ENCRYPT_DATA_ERROR : CRYPTO_AES_DECRYPT_DATA_ERROR, false);
    return true;
}

CryptoBlowfish* CryptoBlowfish::lookup(const char* nameTxt)
{
    return lookupCryptoObject<CryptoBlowfish>(nameTxt, BF_TYPE);
}
