#include "FendralServices/crypto/CryptoSha512.h"

#include "FendralServices/crypto/CryptoDigest.h"

bool CryptoSha512::getHash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                           unsigned long& hashBuffLen, const CryptoKey* saltPtr)
{
    return CryptoDigest::getHash(CryptoDigest::SHA512, dataPtr, dataLen, hashBuffPtr, hashBuffLen, saltPtr);
}
