// AES in nine modes, the salted passphrase record and the hex helpers. All
// static; safe on any thread (each thread keeps its own cipher context, and
// the cipher implementations are fetched once per process).
#pragma once

#include "FendralServices/crypto/CryptoTypes.h"

#include <openssl/types.h>

class CryptoAES
{
public:
    static constexpr unsigned long KEY_LEN_128_BITS = 16;
    static constexpr unsigned long KEY_LEN_192_BITS = 24;
    static constexpr unsigned long KEY_LEN_256_BITS = 32;
    static constexpr unsigned long KEY_LEN_512_BITS = 64;
    static constexpr unsigned long SALT_SIZE = 8;
    static constexpr unsigned long IV_SIZE = 16;
    static constexpr unsigned long MAX_HASH_SIZE = 1024;
    // The passphrase record: "Salted__", the salt, then at most this much cipher text.
    static constexpr unsigned long RECORD_HEADER_SIZE = 16;
    static constexpr unsigned long MAX_PASSPHRASE_CIPHER_LEN = MAX_HASH_SIZE - RECORD_HEADER_SIZE;

    CryptoAES() = delete;

    // Null with CRYPTO_AES_INVALID_KEY_LEN or CRYPTO_AES_INVALID_MODE.
    static const EVP_CIPHER* getEvpCipher(CryptoMode mode, unsigned long keyLen);
    static bool getBlockSize(CryptoMode mode, unsigned long& blockSize);

    // cipherTxtLen / plainTxtLen: the output buffer's size on entry, the bytes
    // produced on return.
    static bool encrypt(CryptoMode mode, const unsigned char* plainTxtBuffer, unsigned long plainTxtLen,
                        const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer,
                        unsigned long ivLen, const unsigned char* aad, unsigned long aadLen,
                        unsigned char* tagBuffer, unsigned long tagLen, unsigned char* cipherTxtBuffer,
                        unsigned long& cipherTxtLen);
    static bool decrypt(CryptoMode mode, const unsigned char* cipherTxtBuffer, unsigned long cipherTxtLen,
                        const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer,
                        unsigned long ivLen, const unsigned char* aad, unsigned long aadLen,
                        const unsigned char* tagBuffer, unsigned long tagLen, unsigned char* plainTxtBuffer,
                        unsigned long& plainTxtLen);

    // The salted record (AES-256-CBC, key and IV by one MD5 round over the
    // passphrase and salt) as lower-case hex with a terminating zero. hashLen:
    // the text buffer's size on entry, the hex length on return.
    static bool encryptByPassphrase(const char* passphraseTxt, const unsigned char* plainTxt,
                                    unsigned long plainTxtLen, char* hashHexTxt, unsigned long& hashLen);
    // plainTxtLen: the buffer's size on entry, the plain length on return.
    static bool decryptByPassphrase(const char* passphraseTxt, const char* hashHexTxt, unsigned char* plainTxt,
                                    unsigned long& plainTxtLen);

    // hexString needs 2 * byteLen + 1 characters; hexLen = 2 * byteLen.
    static bool byteToHex(const unsigned char* byteArray, unsigned long byteLen, char* hexString,
                          unsigned long& hexLen);
    // byteLen: the buffer's size on entry (at least hexLen / 2), hexLen / 2 on
    // return; an odd last character is ignored. A non-hex character fails
    // with CRYPTO_AES_INVALID_DATA_LENGTH.
    static bool hexToByte(const char* hexString, unsigned long hexLen, unsigned char* byteArray,
                          unsigned long& byteLen);
};
