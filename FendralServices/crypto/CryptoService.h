// The crypto calls of the services library: named Diffie-Hellman exchanges,
// Blowfish ciphers and RSA keys handed out as opaque handles, AES, the salted
// passphrase record, digests and password hashing. Results are 1 (true) or 0
// (false) unless stated, with the reason in the thread's framework error code
// (getErrorCode()): a null handle gives CRYPTO_INVALID_HANDLE, a null required
// pointer CRYPTO_NULL_PARAM. Lengths passed by pointer hold the output
// buffer's size on entry and the bytes written on return. Handles are the
// objects themselves: valid until removed, one thread at a time; a removed
// handle, or one of another kind, is refused like a null one. Every
// object is made under a name (a null name: CRYPTO_NULL_PARAM), so that it
// can be removed.
#pragma once

#include "FendralServices/crypto/CryptoTypes.h"

// Diffie-Hellman. Prime and generator buffers hold `length` bytes each.
bool genDhParameters(unsigned long length, unsigned char* primePtr, unsigned char* generatorPtr);
// Without both prime and generator they are generated with generator 5.
int createDhKeyExchange(char* keyExchangeNameTxt, unsigned long keyLen, const unsigned char* primePtr,
                        const unsigned char* generatorPtr, void** keyExHandlePtr);
int removeDhKeyExchange(const char* keyExchangeNameTxt);
bool getDhParameters(void* keyExHandle, unsigned char* primePtr, unsigned long primeSize, unsigned char* generatorPtr,
                     unsigned long generatorSize, unsigned long* keyLenPtr);
bool getDhPublicKey(void* keyExHandle, unsigned char* publicKeyPtr, unsigned long* keyLenPtr);
// A buffer smaller than the shared key fails with CRYPTO_INVALID_BUF_LEN and
// a length of 0; nothing is copied.
int computeDhSharedKey(void* keyExHandle, const unsigned char* publicKeyPtr, unsigned long publicKeyLen,
                       unsigned char* sharedKeyPtr, unsigned long* sharedKeyLenPtr);
int getDhSharedKey(void* keyExHandle, unsigned char* sharedKeyPtr, unsigned long* sharedKeyLenPtr);

// Blowfish, in place.
int createBlowfishCrypto(const char* cryptoNameTxt, const unsigned char* keyPtr, unsigned long keyLen,
                         const unsigned char* ivPtr, unsigned long ivLen, CryptoMode mode, void** cryptoHandlePtr);
int removeBlowfishCrypto(const char* cryptoNameTxt);
int bfEncrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen);
int bfDecrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr);

// RSA, in place, PKCS#1 v1.5.
int createRsaPrivate(const char* cryptoNameTxt, unsigned long keyLen, void** cryptoHandlePtr);
int createRsaPrivate(const char* cryptoNameTxt, const unsigned char* privateKeyPtr, unsigned long privateKeyLen,
                     KeyFormat format, void** cryptoHandlePtr);
int createRsaPublic(const char* cryptoNameTxt, const unsigned char* publicKeyPtr, unsigned long publicKeyLen,
                    KeyFormat format, void** cryptoHandlePtr);
int removeRsaPrivate(const char* cryptoNameTxt);
int removeRsaPublic(const char* cryptoNameTxt);
int exportRsaPublicKey(void* cryptoHandle, unsigned char* publicKeyPtr, unsigned long* publicKeyLenPtr,
                       KeyFormat format);
int exportRsaPrivateKey(void* cryptoHandle, unsigned char* privateKeyPtr, unsigned long* privateKeyLenPtr,
                        KeyFormat format);
int rsaPrivateEncrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen);
int rsaPrivateDecrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr);
int rsaPublicEncrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr, unsigned long bufferLen);
int rsaPublicDecrypt(void* cryptoHandle, unsigned char* dataPtr, unsigned long* dataLenPtr);

// AES.
int aesEncrypt(CryptoMode mode, const unsigned char* plainTxtBuffer, unsigned long plainTxtLen,
               const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer, unsigned long ivLen,
               const unsigned char* aad, unsigned long aadLen, unsigned char* tagBuffer, unsigned long tagLen,
               unsigned char* cipherTxtBuffer, unsigned long* cipherTxtLenPtr);
int aesDecrypt(CryptoMode mode, const unsigned char* cipherTxtBuffer, unsigned long cipherTxtLen,
               const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer, unsigned long ivLen,
               const unsigned char* aad, unsigned long aadLen, const unsigned char* tagBuffer, unsigned long tagLen,
               unsigned char* plainTxtBuffer, unsigned long* plainTxtLenPtr);
// The salted record as lower-case hex; *hashLenPtr is the text buffer's size
// (twice the record plus one for the terminating zero).
bool aesEncryptByPassphrase(const char* passphraseTxt, const unsigned char* plainTxt, unsigned long plainTxtLen,
                            char* hashHexTxt, unsigned long* hashLenPtr);
int aesDecryptByPassphrase(const char* passphraseTxt, const char* hashHexTxt, unsigned char* plainTxt,
                           unsigned long* plainTxtLenPtr);
bool aesGetBlockSize(CryptoMode mode, unsigned long* blockSizePtr);

// Digests; with a salt pointer the salt is hashed after the data.
int computeSha256Hash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                      unsigned long* hashBuffLenPtr, const unsigned char* saltPtr, unsigned long saltLen);
int computeSha512Hash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                      unsigned long* hashBuffLenPtr, const unsigned char* saltPtr, unsigned long saltLen);
int computeMD5Hash(const unsigned char* dataPtr, unsigned long dataLen, unsigned char* hashBuffPtr,
                   unsigned long* hashBuffLenPtr, const unsigned char* saltPtr, unsigned long saltLen);

// Password hash over the system's crypt: the part after the last '$' of the
// hashed setting, with its terminating zero (hashSize = its length + 1).
// The salt (at most its first 16 characters) may hold [./0-9A-Za-z] only.
// Returns 0, or -1 with the code. The work grows with rounds (SHA algorithms;
// MD5 has no rounds).
int hashData(const char* dataTxt, unsigned long dataLen, char* hashTxt, unsigned long& hashSize, char* saltTxt,
             HashAlgorithm algorithm, unsigned int rounds);
