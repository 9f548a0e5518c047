// An RSA private key, generated or read from PEM, optionally registered by
// name. Encrypts with the private key (PKCS#1 v1.5, the signing operation on
// raw data) and decrypts what its public key encrypted, in place, block by
// block; exports both keys as PEM. One thread at a time.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"
#include "FendralServices/crypto/CryptoTypes.h"

#include <openssl/types.h>

class CryptoRsaPrivate
{
public:
    // Generate a key of keyLen bytes (public exponent 65537).
    explicit CryptoRsaPrivate(unsigned long keyLen);
    CryptoRsaPrivate(const char* nameTxt, unsigned long keyLen);
    // Read a key from its PEM text.
    CryptoRsaPrivate(const CryptoKey& key, KeyFormat format);
    CryptoRsaPrivate(const char* nameTxt, const CryptoKey& key, KeyFormat format);
    virtual ~CryptoRsaPrivate();
    CryptoRsaPrivate(const CryptoRsaPrivate&) = delete;
    CryptoRsaPrivate& operator=(const CryptoRsaPrivate&) = delete;

    bool isValid() const { return m_valid; }
    // The modulus size in bytes (k).
    unsigned long getBlockSize() const { return m_encryptedBlockSize; }

    // dataLen: the input length on entry, the output length on return. The
    // buffer must hold max(1, ceil(dataLen / (k - 11))) * k bytes.
    bool encrypt(unsigned char* dataPtr, unsigned long& dataLen, unsigned long bufferLen);
    bool decrypt(unsigned char* dataPtr, unsigned long& dataLen);

    // keyLen: the buffer's size on entry, the PEM text's length on return.
    bool exportPublicKey(unsigned char* keyPtr, unsigned long& keyLen, KeyFormat format);
    bool exportPrivateKey(unsigned char* keyPtr, unsigned long& keyLen, KeyFormat format);

    // The registered object of that name, or null with CRYPTO_OBJ_NOT_FOUND.
    static CryptoRsaPrivate* lookup(const char* nameTxt);

private:
    void start(const char* nameTxt);
    bool initialize();

    char m_nameTxt[17] = {};
    CryptoKey m_privateKey;
    unsigned long m_keyLen = 0;
    KeyFormat m_keyFormat = KEY_FORMAT_PEM;
    EVP_PKEY* m_rsaPtr = nullptr;
    unsigned long m_encryptedBlockSize = 0;
    bool m_valid = false;
    bool m_registered = false;
};
