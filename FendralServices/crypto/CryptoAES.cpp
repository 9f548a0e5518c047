#include "FendralServices/crypto/CryptoAES.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/crypto/ThreadContext.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace
{
constexpr int NUM_MODES = MODE_XTS + 1;
constexpr unsigned long KEY_LENS[] = {CryptoAES::KEY_LEN_128_BITS, CryptoAES::KEY_LEN_192_BITS,
                                      CryptoAES::KEY_LEN_256_BITS, CryptoAES::KEY_LEN_512_BITS};
constexpr int NUM_KEY_LENS = 4;

// Fetched once: an implicit fetch on every init costs a provider lookup per call.
struct CipherTable
{
    EVP_CIPHER* ciphers[NUM_MODES][NUM_KEY_LENS] = {};

    CipherTable()
    {
        static const char* const modeNames[NUM_MODES] = {"ECB", "CBC", "ECB", "CFB", "OFB", "CTR", "CCM", "GCM", "XTS"};
        for (int mode = 0; mode < NUM_MODES; ++mode)
            for (int k = 0; k < NUM_KEY_LENS; ++k)
            {
                int bits = static_cast<int>(KEY_LENS[k]) * 8;
                if (mode == MODE_XTS)
                    bits = (k == 2) ? 128 : (k == 3) ? 256 : 0; // XTS keys hold two AES keys
                else if (k == 3)
                    bits = 0;
                if (bits == 0)
                    continue;
                char name[32];
                std::snprintf(name, sizeof(name), "AES-%d-%s", bits, modeNames[mode]);
                ciphers[mode][k] = EVP_CIPHER_fetch(nullptr, name, nullptr);
            }
    }
};

const CipherTable& cipherTable()
{
    // Kept for the process's life: callers on other threads may still run at exit.
    static const CipherTable* const table = new CipherTable();
    return *table;
}

using CipherContext = ThreadContext<EVP_CIPHER_CTX, EVP_CIPHER_CTX_new, EVP_CIPHER_CTX_free>;

// Resets the thread's context after each use, so no key schedule lingers.
class CtxUse
{
public:
    explicit CtxUse(EVP_CIPHER_CTX* ctx) : m_ctx(ctx) {}
    ~CtxUse()
    {
        if (m_ctx != nullptr)
            EVP_CIPHER_CTX_reset(m_ctx);
    }
    CtxUse(const CtxUse&) = delete;
    CtxUse& operator=(const CtxUse&) = delete;

private:
    EVP_CIPHER_CTX* m_ctx;
};

bool isAead(CryptoMode mode) { return mode == MODE_GCM || mode == MODE_CCM; }
bool isPadded(CryptoMode mode) { return mode == MODE_DEFAULT || mode == MODE_ECB || mode == MODE_CBC; }

// OpenSSL counts in int; longer inputs cannot be passed through in one call.
constexpr unsigned long MAX_INPUT_LEN = INT_MAX - 64;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool deriveKeyIv(const char* passphraseTxt, const unsigned char* salt, unsigned char* key, unsigned char* iv)
{
    const EVP_CIPHER* cipher = CryptoAES::getEvpCipher(MODE_CBC, CryptoAES::KEY_LEN_256_BITS);
    if (cipher == nullptr)
        return false;
    return EVP_BytesToKey(cipher, EVP_md5(), salt, reinterpret_cast<const unsigned char*>(passphraseTxt),
                          static_cast<int>(std::strlen(passphraseTxt)), 1, key, iv) > 0;
}
} // namespace

const EVP_CIPHER* CryptoAES::getEvpCipher(CryptoMode mode, unsigned long keyLen)
{
    if (static_cast<unsigned>(mode) >= static_cast<unsigned>(NUM_MODES))
        return fwFail(CRYPTO_AES_INVALID_MODE, nullptr);
    for (int k = 0; k < NUM_KEY_LENS; ++k)
        if (KEY_LENS[k] == keyLen)
        {
            const EVP_CIPHER* cipher = cipherTable().ciphers[mode][k];
            return cipher != nullptr ? cipher : fwFail(CRYPTO_AES_INVALID_KEY_LEN, nullptr);
        }
    return fwFail(CRYPTO_AES_INVALID_KEY_LEN, nullptr);
}

bool CryptoAES::getBlockSize(CryptoMode mode, unsigned long& blockSize)
{
    const EVP_CIPHER* cipher = getEvpCipher(mode, KEY_LEN_256_BITS);
    if (cipher == nullptr)
        return false;
    blockSize = static_cast<unsigned long>(EVP_CIPHER_get_block_size(cipher));
    return true;
}

bool CryptoAES::encrypt(CryptoMode mode, const unsigned char* plainTxtBuffer, unsigned long plainTxtLen,
                        const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer,
                        unsigned long ivLen, const unsigned char* aad, unsigned long aadLen, unsigned char* tagBuffer,
                        unsigned long tagLen, unsigned char* cipherTxtBuffer, unsigned long& cipherTxtLen)
{
    if (plainTxtBuffer == nullptr || keyBuffer == nullptr || cipherTxtBuffer == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    if ((isAead(mode) && (tagBuffer == nullptr || ivBuffer == nullptr)) || (mode == MODE_XTS && ivBuffer == nullptr))
        return fwFail(CRYPTO_NULL_PARAM, false);
    const EVP_CIPHER* cipher = getEvpCipher(mode, keyLen);
    if (cipher == nullptr)
        return false;
    if (plainTxtLen > MAX_INPUT_LEN || aadLen > MAX_INPUT_LEN)
        return fwFail(CRYPTO_AES_INVALID_CIPHER_LENGTH, false);
    const unsigned long block = static_cast<unsigned long>(EVP_CIPHER_get_block_size(cipher));
    const unsigned long needed =
        isPadded(mode) ? (plainTxtLen / block) * block + block : (plainTxtLen + block - 1) / block * block;
    if (cipherTxtLen < needed)
        return fwFail(CRYPTO_AES_INVALID_CIPHER_LENGTH, false);

    EVP_CIPHER_CTX* ctx = CipherContext::get();
    if (ctx == nullptr)
        return fwFail(CRYPTO_AES_NEW_CTX_ERROR, false);
    CtxUse use(ctx);
    int outLen = 0;
    // Without IV or tag lengths to set, cipher, key and IV go in one step.
    if (!isAead(mode))
    {
        if (EVP_EncryptInit_ex2(ctx, cipher, keyBuffer, ivBuffer, nullptr) != 1)
            return fwFail(CRYPTO_AES_ENCRYPT_INIT_KEY_ERROR, false);
    }
    else if (EVP_EncryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_INIT_CIPHER_ERROR, false);
    if (mode == MODE_GCM)
    {
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(ivLen), nullptr) != 1)
            return fwFail(CRYPTO_AES_GCM_SET_IVLEN_ERROR, false);
    }
    else if (mode == MODE_CCM)
    {
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(ivLen), nullptr) != 1)
            return fwFail(CRYPTO_AES_CCM_SET_IVLEN_ERROR, false);
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagLen), nullptr) != 1)
            return fwFail(CRYPTO_AES_CCM_SET_TAG_ERROR, false);
    }
    if (isAead(mode) && EVP_EncryptInit_ex2(ctx, nullptr, keyBuffer, ivBuffer, nullptr) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_INIT_KEY_ERROR, false);
    if (mode == MODE_CCM && EVP_EncryptUpdate(ctx, nullptr, &outLen, nullptr, static_cast<int>(plainTxtLen)) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_DATA_ERROR, false);
    if (isAead(mode) && aad != nullptr && aadLen > 0 &&
        EVP_EncryptUpdate(ctx, nullptr, &outLen, aad, static_cast<int>(aadLen)) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_AAD_ERROR, false);
    int produced = 0;
    if (EVP_EncryptUpdate(ctx, cipherTxtBuffer, &produced, plainTxtBuffer, static_cast<int>(plainTxtLen)) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_DATA_ERROR, false);
    int finalLen = 0;
    if (EVP_EncryptFinal_ex(ctx, cipherTxtBuffer + produced, &finalLen) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_FINAL_ERROR, false);
    cipherTxtLen = static_cast<unsigned long>(produced + finalLen);
    if (mode == MODE_GCM &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tagLen), tagBuffer) != 1)
        return fwFail(CRYPTO_AES_GCM_GET_TAG_ERROR, false);
    if (mode == MODE_CCM &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tagLen), tagBuffer) != 1)
        return fwFail(CRYPTO_AES_CCM_GET_TAG_ERROR, false);
    return true;
}

bool CryptoAES::decrypt(CryptoMode mode, const unsigned char* cipherTxtBuffer, unsigned long cipherTxtLen,
                        const unsigned char* keyBuffer, unsigned long keyLen, const unsigned char* ivBuffer,
                        unsigned long ivLen, const unsigned char* aad, unsigned long aadLen,
                        const unsigned char* tagBuffer, unsigned long tagLen, unsigned char* plainTxtBuffer,
                        unsigned long& plainTxtLen)
{
    if (cipherTxtBuffer == nullptr || keyBuffer == nullptr || plainTxtBuffer == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    if ((isAead(mode) && (tagBuffer == nullptr || ivBuffer == nullptr)) || (mode == MODE_XTS && ivBuffer == nullptr))
        return fwFail(CRYPTO_NULL_PARAM, false);
    if (plainTxtLen < cipherTxtLen || cipherTxtLen > MAX_INPUT_LEN || aadLen > MAX_INPUT_LEN)
        return fwFail(CRYPTO_AES_INVALID_DATA_LENGTH, false);
    const EVP_CIPHER* cipher = getEvpCipher(mode, keyLen);
    if (cipher == nullptr)
        return false;

    EVP_CIPHER_CTX* ctx = CipherContext::get();
    if (ctx == nullptr)
        return fwFail(CRYPTO_AES_NEW_CTX_ERROR, false);
    CtxUse use(ctx);
    if (!isAead(mode))
    {
        if (EVP_DecryptInit_ex2(ctx, cipher, keyBuffer, ivBuffer, nullptr) != 1)
            return fwFail(CRYPTO_AES_DECRYPT_INIT_KEY_ERROR, false);
    }
    else if (EVP_DecryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr) != 1)
        return fwFail(CRYPTO_AES_DECRYPT_INIT_CIPHER_ERROR, false);
    // The tag is copied by the library, which only reads tagLen bytes of it.
    void* tag = const_cast<unsigned char*>(tagBuffer);
    int outLen = 0;
    if (mode == MODE_GCM)
    {
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(ivLen), nullptr) != 1)
            return fwFail(CRYPTO_AES_GCM_SET_IVLEN_ERROR, false);
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagLen), tag) != 1)
            return fwFail(CRYPTO_AES_GCM_SET_TAG_ERROR, false);
    }
    else if (mode == MODE_CCM)
    {
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(ivLen), nullptr) != 1)
            return fwFail(CRYPTO_AES_CCM_SET_IVLEN_ERROR, false);
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagLen), tag) != 1)
            return fwFail(CRYPTO_AES_CCM_SET_TAG_ERROR, false);
    }
    if (isAead(mode) && EVP_DecryptInit_ex2(ctx, nullptr, keyBuffer, ivBuffer, nullptr) != 1)
        return fwFail(CRYPTO_AES_DECRYPT_INIT_KEY_ERROR, false);
    if (mode == MODE_CCM && EVP_DecryptUpdate(ctx, nullptr, &outLen, nullptr, static_cast<int>(cipherTxtLen)) != 1)
        return fwFail(CRYPTO_AES_DECRYPT_DATA_ERROR, false);
    if (isAead(mode) && aad != nullptr && aadLen > 0 &&
        EVP_DecryptUpdate(ctx, nullptr, &outLen, aad, static_cast<int>(aadLen)) != 1)
        return fwFail(CRYPTO_AES_DECRYPT_AAD_ERROR, false);
    int produced = 0;
    if (EVP_DecryptUpdate(ctx, plainTxtBuffer, &produced, cipherTxtBuffer, static_cast<int>(cipherTxtLen)) != 1)
        return fwFail(CRYPTO_AES_DECRYPT_DATA_ERROR, false);
    int finalLen = 0;
    // CCM checks its tag inside the update above and has no final step.
    if (mode != MODE_CCM && EVP_DecryptFinal_ex(ctx, plainTxtBuffer + produced, &finalLen) != 1)
        return fwFail(CRYPTO_AES_DECRYPT_FINAL_ERROR, false);
    plainTxtLen = static_cast<unsigned long>(produced + finalLen);
    return true;
}

bool CryptoAES::encryptByPassphrase(const char* passphraseTxt, const unsigned char* plainTxt,
                                    unsigned long plainTxtLen, char* hashHexTxt, unsigned long& hashLen)
{
    if (passphraseTxt == nullptr || plainTxt == nullptr || hashHexTxt == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    // The padded cipher text must fit the record's 1008 bytes.
    if (plainTxtLen >= MAX_PASSPHRASE_CIPHER_LEN)
        return fwFail(CRYPTO_AES_INVALID_CIPHER_LENGTH, false);
    const unsigned long recordLen = RECORD_HEADER_SIZE + (plainTxtLen / 16 + 1) * 16;
    if (hashLen < 2 * recordLen + 1)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);

    unsigned char record[MAX_HASH_SIZE];
    std::memcpy(record, "Salted__", 8);
    unsigned char* salt = record + 8;
    if (RAND_bytes(salt, SALT_SIZE) != 1)
        return fwFail(CRYPTO_AES_ENCRYPT_INIT_KEY_ERROR, false);
    unsigned char key[KEY_LEN_256_BITS];
    unsigned char iv[IV_SIZE];
    if (!deriveKeyIv(passphraseTxt, salt, key, iv))
        return fwFail(CRYPTO_AES_ENCRYPT_INIT_KEY_ERROR, false);
    unsigned long cipherLen = MAX_PASSPHRASE_CIPHER_LEN;
    const bool done = encrypt(MODE_CBC, plainTxt, plainTxtLen, key, sizeof(key), iv, sizeof(iv), nullptr, 0,
                              nullptr, 0, record + RECORD_HEADER_SIZE, cipherLen);
    OPENSSL_cleanse(key, sizeof(key));
    if (!done)
        return false;
    unsigned long hexLen = hashLen;
    if (!byteToHex(record, RECORD_HEADER_SIZE + cipherLen, hashHexTxt, hexLen))
        return false;
    hashLen = hexLen;
    return true;
}

bool CryptoAES::decryptByPassphrase(const char* passphraseTxt, const char* hashHexTxt, unsigned char* plainTxt,
                                    unsigned long& plainTxtLen)
{
    if (passphraseTxt == nullptr || hashHexTxt == nullptr || plainTxt == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    const unsigned long hexLen = std::strlen(hashHexTxt);
    if (hexLen < 2 * RECORD_HEADER_SIZE || hexLen > 2 * MAX_HASH_SIZE)
        return fwFail(CRYPTO_AES_INVALID_DATA_LENGTH, false);
    unsigned char record[MAX_HASH_SIZE];
    unsigned long recordLen = sizeof(record);
    if (!hexToByte(hashHexTxt, hexLen, record, recordLen))
        return false;
    const unsigned long cipherLen = recordLen - RECORD_HEADER_SIZE;
    if (plainTxtLen < cipherLen)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    unsigned char key[KEY_LEN_256_BITS];
    unsigned char iv[IV_SIZE];
    if (!deriveKeyIv(passphraseTxt, record + 8, key, iv))
        return fwFail(CRYPTO_AES_DECRYPT_INIT_KEY_ERROR, false);
    const bool done = decrypt(MODE_CBC, record + RECORD_HEADER_SIZE, cipherLen, key, sizeof(key), iv, sizeof(iv),
                              nullptr, 0, nullptr, 0, plainTxt, plainTxtLen);
    OPENSSL_cleanse(key, sizeof(key));
    return done;
}

bool CryptoAES::byteToHex(const unsigned char* byteArray, unsigned long byteLen, char* hexString,
                          unsigned long& hexLen)
{
    static const char digits[] = "0123456789abcdef";
    if (byteArray == nullptr || hexString == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    if (byteLen > (hexLen - 1) / 2 || hexLen == 0)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    for (unsigned long i = 0; i < byteLen; ++i)
    {
        hexString[2 * i] = digits[byteArray[i] >> 4];
        hexString[2 * i + 1] = digits[byteArray[i] & 0x0f];
    }
    hexString[2 * byteLen] = '\0';
    hexLen = 2 * byteLen;
    return true;
}

bool CryptoAES::hexToByte(const char* hexString, unsigned long hexLen, unsigned char* byteArray,
                          unsigned long& byteLen)
{
    if (hexString == nullptr || byteArray == nullptr)
        return fwFail(CRYPTO_NULL_PARAM, false);
    const unsigned long pairs = hexLen / 2;
    if (byteLen < pairs)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    for (unsigned long i = 0; i < pairs; ++i)
    {
        const int high = hexValue(hexString[2 * i]);
        const int low = hexValue(hexString[2 * i + 1]);
        if (high < 0 || low < 0)
            return fwFail(CRYPTO_AES_INVALID_DATA_LENGTH, false);
        byteArray[i] = static_cast<unsigned char>(high << 4 | low);
    }
    byteLen = pairs;
    return true;
}
