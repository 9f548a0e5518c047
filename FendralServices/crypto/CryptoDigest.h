// The one digest routine behind the SHA-256, SHA-512 and MD5 classes: the
// data, then the salt when one is given. Each thread keeps its own digest
// context and the digest implementations are fetched once per process.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"

class CryptoDigest
{
public:
    enum Algorithm
    {
        SHA256 = 0,
        SHA512 = 1,
        MD5 = 2,
    };

    CryptoDigest() = delete;

    // hashBuffLen: the buffer's size on entry, the digest size on return.
    static bool getHash(Algorithm algorithm, const unsigned char* dataPtr, unsigned long dataLen,
                        unsigned char* hashBuffPtr, unsigned long& hashBuffLen, const CryptoKey* saltPtr);
    // The same with the salt as bytes (none when saltPtr is null or saltLen 0).
    static bool getHash(Algorithm algorithm, const unsigned char* dataPtr, unsigned long dataLen,
                        unsigned char* hashBuffPtr, unsigned long& hashBuffLen, const unsigned char* saltPtr,
                        unsigned long saltLen);
    static unsigned long digestSize(Algorithm algorithm);
};
