// What the RSA private- and public-key classes share: reading a PEM key,
// writing one, and running the PKCS#1 v1.5 block operations in place over
// data longer than one block.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"

#include <openssl/types.h>

class RsaKeyOps
{
public:
    enum Operation
    {
        PRIVATE_ENCRYPT, // the signing operation on raw input
        PRIVATE_DECRYPT,
        PUBLIC_ENCRYPT,
        PUBLIC_DECRYPT, // recovers what PRIVATE_ENCRYPT made
    };

    // PKCS#1 v1.5 padding takes 11 bytes of every block.
    static constexpr unsigned long PADDING_SIZE = 11;

    RsaKeyOps() = delete;

    // An RSA key from PEM text, or null with CRYPTO_BIO_* or CRYPTO_RSA_READ_KEY_FAIL.
    static EVP_PKEY* readPem(const CryptoKey& pemText, bool privateKey);
    // keyLen: the buffer's size on entry, the text's length on return (no zero added).
    static bool writePem(EVP_PKEY* key, bool privateKey, unsigned char* keyPtr, unsigned long& keyLen);

    // Each block takes at most k - 11 bytes and yields k; the buffer must hold
    // every block, at least one even for empty input.
    static bool encryptBlocks(EVP_PKEY* key, Operation op, unsigned char* dataPtr, unsigned long& dataLen,
                              unsigned long bufferLen);
    // Consecutive k-byte blocks, results appended; a partial last block fails.
    static bool decryptBlocks(EVP_PKEY* key, Operation op, unsigned char* dataPtr, unsigned long& dataLen);
};
