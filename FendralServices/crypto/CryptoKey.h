// An owned copy of a byte string (keys, IVs, salts, peer public values) used
// by the crypto classes. Not shared between threads.
#pragma once

#include <cstddef>

class CryptoKey
{
public:
    CryptoKey() = default;
    // A null pointer or a zero length gives an empty key.
    CryptoKey(const unsigned char* keyPtr, unsigned long keyLen);
    CryptoKey(const CryptoKey& other);
    CryptoKey& operator=(const CryptoKey& other);
    virtual ~CryptoKey();

    const unsigned char* data() const { return m_keyPtr; }
    unsigned long length() const { return m_keyLen; }
    bool empty() const { return m_keyLen == 0; }

    // Copies the bytes and returns their count; 0 and nothing copied for a
    // null buffer, an empty key or a key longer than the buffer.
    unsigned long exportToBuffer(unsigned char* bufferPtr, unsigned long bufferSize) const;

private:
    void assign(const unsigned char* keyPtr, unsigned long keyLen);

    unsigned char* m_keyPtr = nullptr;
    unsigned long m_keyLen = 0;
};
