// A Diffie-Hellman key exchange over generated or given parameters (prime and
// generator), optionally registered by name. Numbers exchanged with callers
// are big-endian byte strings left-padded with zeros to the prime's size.
// One thread at a time.
#pragma once

#include "FendralServices/crypto/CryptoKey.h"

#include <openssl/types.h>

class DhKeyExchange
{
public:
    static constexpr unsigned long DEFAULT_GENERATOR = 5;

    // Generate parameters with a prime of keyLen bytes and the generator value.
    DhKeyExchange(unsigned long keyLen, unsigned long generatorValue);
    DhKeyExchange(const char* nameTxt, unsigned long keyLen, unsigned long generatorValue);
    // Take the given prime and generator, each keyLen bytes; when either is
    // null, generate parameters with generator 5 instead.
    DhKeyExchange(unsigned long keyLen, const unsigned char* primePtr, const unsigned char* generatorPtr);
    DhKeyExchange(const char* nameTxt, unsigned long keyLen, const unsigned char* primePtr,
                  const unsigned char* generatorPtr);
    virtual ~DhKeyExchange();
    DhKeyExchange(const DhKeyExchange&) = delete;
    DhKeyExchange& operator=(const DhKeyExchange&) = delete;

    bool isValid() const { return m_valid; }
    // The prime's size in bytes.
    unsigned long getSize() const;

    // keyLen = the prime's size; each buffer must hold that many bytes
    // (CRYPTO_DH_INVALID_PRIME_LEN, CRYPTO_DH_INVALID_GENERATOR_LEN).
    bool getParameters(unsigned char* primePtr, unsigned long primeSize, unsigned char* generatorPtr,
                       unsigned long generatorSize, unsigned long& keyLen);
    // keyLen: the buffer's size on entry, the prime's size on return.
    bool getPublicKey(unsigned char* publicKeyPtr, unsigned long& keyLen);
    // Computes and keeps the secret shared with the peer of this public key;
    // a peer value outside 2 .. p-2 fails with CRYPTO_DH_COMPUTE_KEY_FAIL.
    bool computeSharedKey(const CryptoKey& publicKey);
    // The last shared secret (unpadded, as the exchange produces it).
    CryptoKey getSharedKey() const;
    const unsigned char* sharedKeyData() const { return m_sharedKeyBuf; }
    unsigned long sharedKeyLength() const { return m_sharedKeyLen; }

    // Generate and check parameters; writes the prime and the generator, each
    // left-padded to length bytes (both buffers must hold length bytes).
    static bool genParameters(unsigned long length, unsigned char* primePtr, unsigned char* generatorPtr,
                              unsigned long generatorValue);

    static DhKeyExchange* lookup(const char* nameTxt);

private:
    void start(const char* nameTxt, unsigned long keyLen, const unsigned char* primePtr,
               const unsigned char* generatorPtr, unsigned long generatorValue);
    bool initialize(const unsigned char* primePtr, const unsigned char* generatorPtr, unsigned long keyLen,
                    unsigned long generatorValue);

    char m_nameTxt[17] = {};
    EVP_PKEY* m_dhPtr = nullptr;
    unsigned char* m_sharedKeyBuf = nullptr;
    unsigned long m_sharedKeyLen = 0;
    bool m_valid = false;
    bool m_registered = false;
};
