#include "FendralServices/crypto/CryptoSha256.h"

#include "FendralServices/crypto/CryptoDigest.h"

bool CryptoSha256::getHash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                           unsigned long& hashBuffLen, const CryptoKey* saltPtr)
{
    return CryptoDigest::getHash(CryptoDigest::SHA256, dataPtr, dataLen, hashBuffPtr, hashBuffLen, saltPtr);
}
