#include "FendralServices/crypto/CryptoMD5.h"

#include "FendralServices/crypto/CryptoDigest.h"

bool CryptoMD5::getHash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                        unsigned long& hashBuffLen, const CryptoKey* saltPtr)
{
    return CryptoDigest::getHash(CryptoDigest::MD5, dataPtr, dataLen, hashBuffPtr, hashBuffLen, saltPtr);
}
