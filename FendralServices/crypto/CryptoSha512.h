// SHA-512 digest of data with an optional salt appended after it. Static; any thread.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"

class CryptoSha512
{
public:
    static constexpr unsigned long HASH_SIZE = 64;

    CryptoSha512() = delete;

    // hashBuffLen: the buffer's size on entry (64 at least), 64 on return.
    // A null buffer: CRYPTO_INVALID_HASH_BUF; a short one: CRYPTO_INVALID_BUF_LEN.
    static bool getHash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                        unsigned long& hashBuffLen, const CryptoKey* saltPtr);
};
