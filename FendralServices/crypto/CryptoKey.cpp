#include "FendralServices/crypto/CryptoKey.h"

#include <cstring>

CryptoKey::CryptoKey(const unsigned char* keyPtr, unsigned long keyLen) { assign(keyPtr, keyLen); }

CryptoKey::CryptoKey(const CryptoKey& other) { assign(other.m_keyPtr, other.m_keyLen); }

CryptoKey& CryptoKey::operator=(const CryptoKey& other)
{
    if (this != &other)
        assign(other.m_keyPtr, other.m_keyLen);
    return *this;
}

CryptoKey::~CryptoKey() { delete[] m_keyPtr; }

void CryptoKey::assign(const unsigned char* keyPtr, unsigned long keyLen)
{
    unsigned char* copy = nullptr;
    if (keyPtr != nullptr && keyLen > 0)
    {
        copy = new unsigned char[keyLen];
        std::memcpy(copy, keyPtr, keyLen);
    }
    delete[] m_keyPtr;
    m_keyPtr = copy;
    m_keyLen = copy != nullptr ? keyLen : 0;
}

unsigned long CryptoKey::exportToBuffer(unsigned char* bufferPtr, unsigned long bufferSize) const
{
    if (bufferPtr == nullptr || m_keyLen == 0 || m_keyLen > bufferSize)
        return 0;
    std::memcpy(bufferPtr, m_keyPtr, m_keyLen);
    return m_keyLen;
}
