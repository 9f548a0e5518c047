// An RSA public key read from PEM, optionally registered by name. Encrypts for
// the private key and decrypts what the private key encrypted (PKCS#1 v1.5),
// in place, block by block. One thread at a time.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"
#include "FendralServices/crypto/CryptoTypes.h"

#include <openssl/types.h>

class CryptoRsaPublic
{
public:
    CryptoRsaPublic(const CryptoKey& key, KeyFormat format);
    CryptoRsaPublic(const char* nameTxt, const CryptoKey& key, KeyFormat format);
    virtual ~CryptoRsaPublic();
    CryptoRsaPublic(const CryptoRsaPublic&) = delete;
    CryptoRsaPublic& operator=(const CryptoRsaPublic&) = delete;

    bool isValid() const { return m_valid; }
    unsigned long getBlockSize() const { return m_encryptedBlockSize; }

    // As CryptoRsaPrivate's, with the public-key operations.
    bool encrypt(unsigned char* dataPtr, unsigned long& dataLen, unsigned long bufferLen);
    bool decrypt(unsigned char* dataPtr, unsigned long& dataLen);

    static CryptoRsaPublic* lookup(const char* nameTxt);

private:
    bool initialize();

    char m_nameTxt[17] = {};
    CryptoKey m_publicKey;
    KeyFormat m_keyFormat = KEY_FORMAT_PEM;
    EVP_PKEY* m_rsaPtr = nullptr;
    unsigned long m_encryptedBlockSize = 0;
    bool m_valid = false;
    bool m_registered = false;
};
