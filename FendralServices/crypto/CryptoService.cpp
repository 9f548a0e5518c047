#include "FendralServices/crypto/CryptoService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/api/LiveHandles.h"
#include "FendralServices/crypto/CryptoAES.h"
#include "FendralServices/crypto/CryptoBlowfish.h"
#include "FendralServices/crypto/CryptoDigest.h"
#include "FendralServices/crypto/CryptoKey.h"
#include "FendralServices/crypto/CryptoRsaPrivate.h"
#include "FendralServices/crypto/CryptoRsaPublic.h"
#include "FendralServices/crypto/DhKeyExchange.h"

#include <crypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace
{
// Allocation is the only thing that throws below; it must not cross the API.
template <typename Fn>
auto noThrow(int32 code, Fn fn) -> decltype(fn())
{
    try
    {
        return fn();
    }
    catch (const std::bad_alloc&)
    {
        return fwFail(code, decltype(fn())());
    }
}

template <typename T>
constexpr LiveKind KIND_OF = LiveKind::FILE_OBJ; // never a crypto object
template <>
constexpr LiveKind KIND_OF<DhKeyExchange> = LiveKind::CRYPTO_DH;
template <>
constexpr LiveKind KIND_OF<CryptoBlowfish> = LiveKind::CRYPTO_BF;
template <>
constexpr LiveKind KIND_OF<CryptoRsaPublic> = LiveKind::CRYPTO_RSA_PUBLIC;
template <>
constexpr LiveKind KIND_OF<CryptoRsaPrivate> = LiveKind::CRYPTO_RSA_PRIVATE;

// A handle is used only while its object is alive and of the kind the call expects.
template <typename T>
bool isLive(const void* handle)
{
    return handle != nullptr && LiveHandles::isLive(handle, KIND_OF<T>);
}

// Keeps a freshly built named object when it came up valid, else destroys it.
template <typename T>
int handOut(T* object, void** handlePtr)
{
    if (!object->isValid())
    {
        const int32 code = FrameworkErrno::get();
        delete object;
        return fwFail(code, 0);
    }
    LiveHandles::add(object, KIND_OF<T>);
    *handlePtr = object;
    return 1;
}

template <typename T>
int removeNamed(const char* nameTxt)
{
    T* object = T::lookup(nameTxt);
    if (object == nullptr)
        return 0;
    LiveHandles::remove(object);
    delete object;
    return 1;
}

int copyShared(const DhKeyExchange& exchange, unsigned char* sharedKeyPtr, unsigned long* sharedKeyLenPtr)
{
    const unsigned long len = exchange.sharedKeyLength();
    if (*sharedKeyLenPtr < len)
    {
        *sharedKeyLenPtr = 0;
        return fwFail(CRYPTO_INVALID_BUF_LEN, 0);
    }
    if (len > 0)
        std::memcpy(sharedKeyPtr, exchange.sharedKeyData(), len);
    *sharedKeyLenPtr = len;
    return 1;
}

int digest(CryptoDigest::Algorithm algorithm, const unsigned char* dataPtr, unsigned long dataLen,
           unsigned char* hashBuffPtr, unsigned long* hashBuffLenPtr, const unsigned char* saltPtr,
           unsigned long saltLen)
{
    if (dataPtr == nullptr || hashBuffPtr == nullptr || hashBuffLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return CryptoDigest::getHash(algorithm, dataPtr, dataLen, hashBuffPtr, *hashBuffLenPtr, saltPtr, saltLen) ? 1
                                                                                                               : 0;
}

// The setting's salt alphabet; '$' or ':' would change what the setting means.
bool isSaltChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '/';
}

constexpr unsigned long MAX_SALT_CHARS = 16;

struct crypt_data* threadCryptData()
{
    // About 32 KiB: on the heap, once per thread, zeroed (its first use).
    thread_local std::unique_ptr<struct crypt_data> data(new (std::nothrow) struct crypt_data());
    return data.get();
}
} // namespace

bool genDhParameters(unsigned long length, unsigned char* primePtr, unsigned char* generatorPtr)
{
    return noThrow(CRYPTO_DH_EXCEPTION, [&] {
        return DhKeyExchange::genParameters(length, primePtr, generatorPtr, DhKeyExchange::DEFAULT_GENERATOR);
    });
}

int createDhKeyExchange(char* keyExchangeNameTxt, unsigned long keyLen, const unsigned char* primePtr,
                        const unsigned char* generatorPtr, void** keyExHandlePtr)
{
    if (keyExchangeNameTxt == nullptr || keyExHandlePtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return noThrow(CRYPTO_DH_EXCEPTION, [&] {
        auto* exchange = (primePtr != nullptr && generatorPtr != nullptr)
                             ? new DhKeyExchange(keyExchangeNameTxt, keyLen, primePtr, generatorPtr)
                             : new DhKeyExchange(keyExchangeNameTxt, keyLen, DhKeyExchange::DEFAULT_GENERATOR);
        return handOut(exchange, keyExHandlePtr);
    });
}

int removeDhKeyExchange(const char* keyExchangeNameTxt) { return removeNamed<DhKeyExchange>(keyExchangeNameTxt); }

bool getDhParameters(void* keyExHandle, unsigned char* primePtr, unsigned long primeSize, unsigned char* generatorPtr,
                     unsigned long generatorSize, unsigned long* keyLenPtr)
{
    if (!isLive<DhKeyExchange>(keyExHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, false);
    if (primePtr == nullptr || generatorPtr == nullptr || keyLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    return static_cast<DhKeyExchange*>(keyExHandle)
        ->getParameters(primePtr, primeSize, generatorPtr, generatorSize, *keyLenPtr);
}

bool getDhPublicKey(void* keyExHandle, unsigned char* publicKeyPtr, unsigned long* keyLenPtr)
{
    if (!isLive<DhKeyExchange>(keyExHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, false);
    if (publicKeyPtr == nullptr || keyLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    return static_cast<DhKeyExchange*>(keyExHandle)->getPublicKey(publicKeyPtr, *keyLenPtr);
}

int computeDhSharedKey(void* keyExHandle, const unsigned char* publicKeyPtr, unsigned long publicKeyLen,
                       unsigned char* sharedKeyPtr, unsigned long* sharedKeyLenPtr)
{
    if (!isLive<DhKeyExchange>(keyExHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (publicKeyPtr == nullptr || sharedKeyPtr == nullptr || sharedKeyLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    auto* exchange = static_cast<DhKeyExchange*>(keyExHandle);
    return noThrow(CRYPTO_DH_EXCEPTION, [&] {
        if (!exchange->computeSharedKey(CryptoKey(publicKeyPtr, publicKeyLen)))
            return 0;
        return copyShared(*exchange, sharedKeyPtr, sharedKeyLenPtr);
    });
}

int getDhSharedKey(void* keyExHandle, unsigned char* sharedKeyPtr, unsigned long* sharedKeyLenPtr)
{
    if (!isLive<DhKeyExchange>(keyExHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (sharedKeyPtr == nullptr || sharedKeyLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return copyShared(*static_cast<DhKeyExchange*>(keyExHandle), sharedKeyPtr, sharedKeyLenPtr);
}

int createBlowfishCrypto(const char* cryptoNameTxt, const unsigned char* keyPtr, unsigned long keyLen,
                         const unsigned char* ivPtr, unsigned long ivLen, CryptoMode mode, void** cryptoHandlePtr)
{
    if (cryptoNameTxt == nullptr || keyPtr == nullptr || cryptoHandlePtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return noThrow(CRYPTO_NULL_PARAM, [&] {
        const CryptoKey key(keyPtr, keyLen);
        auto* cipher = ivPtr != nullptr ? new CryptoBlowfish(cryptoNameTxt, key, CryptoKey(ivPtr, ivLen), mode)
                                        : new CryptoBlowfish(cryptoNameTxt, key, mode);
        return handOut(cipher, cryptoHandlePtr);
    });
}

int removeBlowfishCrypto(const char* cryptoNameTxt) { return removeNamed<CryptoBlowfish>(cryptoNameTxt); }

int bfEncrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen)
{
    if (!isLive<CryptoBlowfish>(cryptoHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (dataPtr == nullptr || dataLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return static_cast<CryptoBlowfish*>(cryptoHandle)->encrypt(dataPtr, *dataLenPtr, bufferLen) ? 1 : 0;
}

int bfDecrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr)
{
    if (!isLive<CryptoBlowfish>(cryptoHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (dataPtr == nullptr || dataLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return static_cast<CryptoBlowfish*>(cryptoHandle)->decrypt(dataPtr, *dataLenPtr) ? 1 : 0;
}

int createRsaPrivate(const char* cryptoNameTxt, unsigned long keyLen, void** cryptoHandlePtr)
{
    if (cryptoNameTxt == nullptr || cryptoHandlePtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return noThrow(CRYPTO_RSA_NEW_FAIL,
                   [&] { return handOut(new CryptoRsaPrivate(cryptoNameTxt, keyLen), cryptoHandlePtr); });
}

int createRsaPrivate(const char* cryptoNameTxt, const unsigned char* privateKeyPtr, unsigned long privateKeyLen,
                     KeyFormat format, void** cryptoHandlePtr)
{
    if (cryptoNameTxt == nullptr || privateKeyPtr == nullptr || cryptoHandlePtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    if (format != KEY_FORMAT_PEM)
        return fwFail(CRYPTO_RSA_INVALID_KEY_FORMAT, 0);
    return noThrow(CRYPTO_RSA_NEW_FAIL, [&] {
        const CryptoKey key(privateKeyPtr, privateKeyLen);
        if (key.empty())
            return fwFail(CRYPTO_RSA_READ_KEY_FAIL, 0);
        return handOut(new CryptoRsaPrivate(cryptoNameTxt, key, format), cryptoHandlePtr);
    });
}

int createRsaPublic(const char* cryptoNameTxt, const unsigned char* publicKeyPtr, unsigned long publicKeyLen,
                    KeyFormat format, void** cryptoHandlePtr)
{
    if (cryptoNameTxt == nullptr || publicKeyPtr == nullptr || cryptoHandlePtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    if (format != KEY_FORMAT_PEM)
        return fwFail(CRYPTO_RSA_INVALID_KEY_FORMAT, 0);
    return noThrow(CRYPTO_RSA_NEW_FAIL, [&] {
        return handOut(new CryptoRsaPublic(cryptoNameTxt, CryptoKey(publicKeyPtr, publicKeyLen), format),
                       cryptoHandlePtr);
    });
}

int removeRsaPrivate(const char* cryptoNameTxt) { return removeNamed<CryptoRsaPrivate>(cryptoNameTxt); }

int removeRsaPublic(const char* cryptoNameTxt) { return removeNamed<CryptoRsaPublic>(cryptoNameTxt); }

int exportRsaPublicKey(void* cryptoHandle, unsigned char* publicKeyPtr, unsigned long* publicKeyLenPtr,
                       KeyFormat format)
{
    if (!isLive<CryptoRsaPrivate>(cryptoHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (publicKeyPtr == nullptr || publicKeyLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return static_cast<CryptoRsaPrivate*>(cryptoHandle)->exportPublicKey(publicKeyPtr, *publicKeyLenPtr, format) ? 1
                                                                                                                 : 0;
}

int exportRsaPrivateKey(void* cryptoHandle, unsigned char* privateKeyPtr, unsigned long* privateKeyLenPtr,
                        KeyFormat format)
{
    if (!isLive<CryptoRsaPrivate>(cryptoHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (privateKeyPtr == nullptr || privateKeyLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return static_cast<CryptoRsaPrivate*>(cryptoHandle)->exportPrivateKey(privateKeyPtr, *privateKeyLenPtr, format)
               ? 1
               : 0;
}

template <typename T, bool ENCRYPT>
int rsaInPlace(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen)
{
    if (!isLive<T>(cryptoHandle))
        return fwFail(CRYPTO_INVALID_HANDLE, 0);
    if (dataPtr == nullptr || dataLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    T* key = static_cast<T*>(cryptoHandle);
    return noThrow(CRYPTO_RSA_KEY_ERROR, [&] {
        if constexpr (ENCRYPT)
            return key->encrypt(dataPtr, *dataLenPtr, bufferLen) ? 1 : 0;
        else
            return key->decrypt(dataPtr, *dataLenPtr) ? 1 : 0;
    });
}

int rsaPrivateEncrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen)
{
    return rsaInPlace<CryptoRsaPrivate, true>(cryptoHandle, dataPtr, dataLenPtr, bufferLen);
}

int rsaPrivateDecrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr)
{
    return rsaInPlace<CryptoRsaPrivate, false>(cryptoHandle, dataPtr, dataLenPtr, 0);
}

int rsaPublicEncrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen)
{
    return rsaInPlace<CryptoRsaPublic, true>(cryptoHandle, dataPtr, dataLenPtr, bufferLen);
}

int rsaPublicDecrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr)
{
    return rsaInPlace<CryptoRsaPublic, false>(cryptoHandle, dataPtr, dataLenPtr, 0);
}

int aesEncrypt(CryptoMode mode, const unsigned char* plainTxtBuffer, unsigned long plainTxtLen,
               const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer, unsigned long ivLen,
               const unsigned char* aad, unsigned long aadLen, unsigned char* tagBuffer, unsigned long tagLen,
               unsigned char* cipherTxtBuffer, unsigned long* cipherTxtLenPtr)
{
    if (cipherTxtLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return CryptoAES::encrypt(mode, plainTxtBuffer, plainTxtLen, keyBuffer, keyLen, ivBuffer, ivLen, aad, aadLen,
                              tagBuffer, tagLen, cipherTxtBuffer, *cipherTxtLenPtr)
               ? 1
               : 0;
}

int aesDecrypt(CryptoMode mode, const unsigned char* cipherTxtBuffer, unsigned long cipherTxtLen,
               const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer, unsigned long ivLen,
               const unsigned char* aad, unsigned long aadLen, const unsigned char* tagBuffer, unsigned long tagLen,
               unsigned char* plainTxtBuffer, unsigned long* plainTxtLenPtr)
{
    if (plainTxtLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return CryptoAES::decrypt(mode, cipherTxtBuffer, cipherTxtLen, keyBuffer, keyLen, ivBuffer, ivLen, aad, aadLen,
                              tagBuffer, tagLen, plainTxtBuffer, *plainTxtLenPtr)
               ? 1
               : 0;
}

bool aesEncryptByPassphrase(const char* passphraseTxt, const unsigned char* plainTxt, unsigned long plainTxtLen,
                            char* hashHexTxt, unsigned long* hashLenPtr)
{
    if (hashLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    return CryptoAES::encryptByPassphrase(passphraseTxt, plainTxt, plainTxtLen, hashHexTxt, *hashLenPtr);
}

int aesDecryptByPassphrase(const char* passphraseTxt, const char* hashHexTxt, unsigned char* plainTxt,
                           unsigned long* plainTxtLenPtr)
{
    if (plainTxtLenPtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, 0);
    return CryptoAES::decryptByPassphrase(passphraseTxt, hashHexTxt, plainTxt, *plainTxtLenPtr) ? 1 : 0;
}

bool aesGetBlockSize(CryptoMode mode, unsigned long* blockSizePtr)
{
    if (blockSizePtr == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    return CryptoAES::getBlockSize(mode, *blockSizePtr);
}

int computeSha256Hash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                      unsigned long* hashBuffLenPtr, const unsigned char* saltPtr, unsigned long saltLen)
{
    return digest(CryptoDigest::SHA256, dataPtr, dataLen, hashBuffPtr, hashBuffLenPtr, saltPtr, saltLen);
}

int computeSha512Hash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                      unsigned long* hashBuffLenPtr, const unsigned char* saltPtr, unsigned long saltLen)
{
    return digest(CryptoDigest::SHA512, dataPtr, dataLen, hashBuffPtr, hashBuffLenPtr, saltPtr, saltLen);
}

int computeMD5Hash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                   unsigned long* hashBuffLenPtr, const unsigned char* saltPtr, unsigned long saltLen)
{
    return digest(CryptoDigest::MD5, dataPtr, dataLen, hashBuffPtr, hashBuffLenPtr, saltPtr, saltLen);
}

int hashData(const char* dataTxt, unsigned long dataLen, char* hashTxt, unsigned long& hashSize, char* saltTxt,
             HashAlgorithm algorithm, unsigned int rounds)
{
    if (dataTxt == nullptr || dataTxt[0] == '\0')
        return fwFail(CRYPTO_NULL_PARAM, -1);
    if (hashTxt == nullptr)
        return fwFail(CRYPTO_INVALID_HASH_BUF, -1);

    // The key: the first dataLen bytes, never past the text's end; crypt takes
    // at most CRYPT_MAX_PASSPHRASE_SIZE bytes.
    const size_t keyLen = strnlen(dataTxt, dataLen);
    if (keyLen > CRYPT_MAX_PASSPHRASE_SIZE)
        return fwFail(CRYPTO_HASH_ERROR, -1);
    char key[CRYPT_MAX_PASSPHRASE_SIZE + 1];
    std::memcpy(key, dataTxt, keyLen);
    key[keyLen] = '\0';

    const char* salt = saltTxt != nullptr ? saltTxt : "";
    const size_t saltLen = strnlen(salt, MAX_SALT_CHARS);
    for (size_t i = 0; i < saltLen; ++i)
        if (!isSaltChar(salt[i]))
            return fwFail(CRYPTO_HASH_INVALID_SALT_FORMAT, -1);

    // MD5-crypt has no rounds field: "rounds=..." there would become its salt.
    char setting[64];
    if (algorithm == HASH_MD5)
        std::snprintf(setting, sizeof(setting), "$1$%.*s", static_cast<int>(saltLen), salt);
    else
        std::snprintf(setting, sizeof(setting), "$%d$rounds=%u$%.*s", static_cast<int>(algorithm), rounds,
                      static_cast<int>(saltLen), salt);

    struct crypt_data* data = threadCryptData();
    if (data == nullptr)
        return fwFail(CRYPTO_HASH_ERROR, -1);
    errno = 0;
    const char* result = crypt_r(key, setting, data);
    const int cryptErrno = errno;
    explicit_bzero(key, sizeof(key));
    // Failure is a null result or a token starting with '*' ("*0", "*1").
    if (result == nullptr || result[0] == '*')
        return fwFail(cryptErrno == EINVAL ? CRYPTO_HASH_INVALID_SALT_FORMAT : CRYPTO_HASH_ERROR, -1);
    const char* lastDollar = std::strrchr(result, '$');
    if (lastDollar == nullptr)
        return fwFail(CRYPTO_HASH_ERROR, -1);
    const char* hash = lastDollar + 1;
    const unsigned long hashLen = std::strlen(hash);
    if (hashSize < hashLen + 1)
        return fwFail(CRYPTO_INVALID_BUF_LEN, -1);
    std::memcpy(hashTxt, hash, hashLen + 1);
    hashSize = hashLen + 1;
    return 0;
}
