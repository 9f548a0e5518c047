// A Blowfish cipher over one key and IV, optionally registered by name so the
// crypto calls find it again. Encrypts and decrypts in place; CBC, CFB and OFB
// restart from the configured IV on every call, so CFB and OFB reuse their
// key stream from one message to the next. One thread at a time.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"
#include "FendralServices/crypto/CryptoTypes.h"

#include <openssl/types.h>

class CryptoBlowfish
{
public:
    static constexpr unsigned long BLOCK_SIZE = 8;

    // The named forms are valid only once the name is registered; the unnamed
    // ones as soon as the key is set up. Without an IV the IV is 8 zero bytes.
    CryptoBlowfish(const char* nameTxt, const CryptoKey& key, CryptoMode mode);
    CryptoBlowfish(const char* nameTxt, const CryptoKey& key, const CryptoKey& iv, CryptoMode mode);
    CryptoBlowfish(const CryptoKey& key, CryptoMode mode);
    CryptoBlowfish(const CryptoKey& key, const CryptoKey& iv, CryptoMode mode);
    virtual ~CryptoBlowfish();
    CryptoBlowfish(const CryptoBlowfish&) = delete;
    CryptoBlowfish& operator=(const CryptoBlowfish&) = delete;

    bool isValid() const { return m_valid; }
    const char* getName() const { return m_nameTxt; }

    // The rounded length for ECB and CBC, the length itself for CFB and OFB;
    // 0 with CRYPTO_BF_INVALID_MODE for another mode.
    unsigned long encryptedLength(unsigned long dataLen) const;
    // dataLen: the input length on entry, the output length on return.
    bool encrypt(unsigned char* dataPtr, unsigned long& dataLen, unsigned long bufferLen);
    bool decrypt(unsigned char* dataPtr, unsigned long& dataLen);

    // The registered object of that name, or null with CRYPTO_OBJ_NOT_FOUND.
    static CryptoBlowfish* lookup(const char* nameTxt);

private:
    void setUp(const char* nameTxt, const CryptoKey& iv);
    bool run(bool encrypting, unsigned char* dataPtr, unsigned long dataLen);

    char m_nameTxt[17] = {};
    CryptoKey m_key;
    CryptoKey m_iv;
    CryptoMode m_mode;
    // The key schedule, expanded once per direction; each call only re-applies the IV.
    EVP_CIPHER_CTX* m_encryptCtx = nullptr;
    EVP_CIPHER_CTX* m_decryptCtx = nullptr;
    unsigned char m_initVecBuf[BLOCK_SIZE] = {};
    bool m_valid = false;
    bool m_registered = false;
};
