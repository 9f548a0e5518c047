#include "FendralServices/crypto/RsaKeyOps.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/crypto/OpensslPtr.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <vector>

namespace
{
// An encrypted PEM key must fail, not prompt on the terminal for a password.
int noPassword(char*, int, int, void*) { return -1; }

int32 failCode(RsaKeyOps::Operation op)
{
    switch (op)
    {
    case RsaKeyOps::PRIVATE_ENCRYPT:
        return CRYPTO_RSA_PRIVATE_ENCRYPT_FAIL;
    case RsaKeyOps::PRIVATE_DECRYPT:
        return CRYPTO_RSA_PRIVATE_DECRYPT_FAIL;
    case RsaKeyOps::PUBLIC_ENCRYPT:
        return CRYPTO_RSA_PUBLIC_ENCRYPT_FAIL;
    default:
        return CRYPTO_RSA_PUBLIC_DECRYPT_FAIL;
    }
}

// A context ready for one operation with PKCS#1 v1.5 padding.
PkeyCtxPtr opContext(EVP_PKEY* key, RsaKeyOps::Operation op)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx)
        return nullptr;
    int ready = 0;
    switch (op)
    {
    case RsaKeyOps::PRIVATE_ENCRYPT:
        ready = EVP_PKEY_sign_init(ctx.get());
        break;
    case RsaKeyOps::PRIVATE_DECRYPT:
        ready = EVP_PKEY_decrypt_init(ctx.get());
        break;
    case RsaKeyOps::PUBLIC_ENCRYPT:
        ready = EVP_PKEY_encrypt_init(ctx.get());
        break;
    case RsaKeyOps::PUBLIC_DECRYPT:
        ready = EVP_PKEY_verify_recover_init(ctx.get());
        break;
    }
    if (ready != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return nullptr;
    return ctx;
}

// One block from in to out (out holds k bytes); outLen = bytes produced.
bool runBlock(EVP_PKEY_CTX* ctx, RsaKeyOps::Operation op, const unsigned char* in, size_t inLen, unsigned char* out,
              size_t& outLen)
{
    switch (op)
    {
    case RsaKeyOps::PRIVATE_ENCRYPT:
        return EVP_PKEY_sign(ctx, out, &outLen, in, inLen) == 1;
    case RsaKeyOps::PRIVATE_DECRYPT:
        return EVP_PKEY_decrypt(ctx, out, &outLen, in, inLen) == 1;
    case RsaKeyOps::PUBLIC_ENCRYPT:
        return EVP_PKEY_encrypt(ctx, out, &outLen, in, inLen) == 1;
    case RsaKeyOps::PUBLIC_DECRYPT:
        return EVP_PKEY_verify_recover(ctx, out, &outLen, in, inLen) == 1;
    }
    return false;
}
} // namespace

EVP_PKEY* RsaKeyOps::readPem(const CryptoKey& pemText, bool privateKey)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return fwFail(CRYPTO_BIO_NEW_FAIL, static_cast<EVP_PKEY*>(nullptr));
    if (pemText.empty() || BIO_write(bio.get(), pemText.data(), static_cast<int>(pemText.length())) <= 0)
        return fwFail(CRYPTO_BIO_WRITE_FAIL, static_cast<EVP_PKEY*>(nullptr));
    EVP_PKEY* key = privateKey ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr)
                               : PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassword, nullptr);
    if (key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1)
        return key;
    EVP_PKEY_free(key);
    return fwFail(CRYPTO_RSA_READ_KEY_FAIL, static_cast<EVP_PKEY*>(nullptr));
}

bool RsaKeyOps::writePem(EVP_PKEY* key, bool privateKey, unsigned char* keyPtr, unsigned long& keyLen)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return fwFail(CRYPTO_BIO_NEW_FAIL, false);
    // The private key in the traditional RSA layout ("BEGIN RSA PRIVATE KEY"), unencrypted.
    const int written =
        privateKey ? PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                   : PEM_write_bio_PUBKEY(bio.get(), key);
    if (written != 1)
        return fwFail(CRYPTO_RSA_WRITE_KEY_FAIL, false);
    char* text = nullptr;
    const long textLen = BIO_get_mem_data(bio.get(), &text);
    if (textLen <= 0 || text == nullptr)
        return fwFail(CRYPTO_BIO_READ_FAIL, false);
    if (static_cast<unsigned long>(textLen) > keyLen)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    std::memcpy(keyPtr, text, static_cast<size_t>(textLen));
    keyLen = static_cast<unsigned long>(textLen);
    return true;
}

bool RsaKeyOps::encryptBlocks(EVP_PKEY* key, Operation op, unsigned char* dataPtr, unsigned long& dataLen,
                              unsigned long bufferLen)
{
    const unsigned long k = static_cast<unsigned long>(EVP_PKEY_get_size(key));
    const unsigned long perBlock = k - PADDING_SIZE;
    // Empty input still makes one whole block.
    const unsigned long blocks = dataLen == 0 ? 1 : (dataLen + perBlock - 1) / perBlock;
    if (blocks > bufferLen / k)
        return fwFail(CRYPTO_INVALID_BUF_LEN, false);
    PkeyCtxPtr ctx = opContext(key, op);
    if (!ctx)
        return fwFail(failCode(op), false);
    // Output blocks are longer than input blocks, so they are built aside and copied back.
    std::vector<unsigned char> work(blocks * k);
    for (unsigned long b = 0; b < blocks; ++b)
    {
        const unsigned long offset = b * perBlock;
        const unsigned long inLen = dataLen - offset < perBlock ? dataLen - offset : perBlock;
        size_t outLen = k;
        if (!runBlock(ctx.get(), op, dataPtr + offset, inLen, work.data() + b * k, outLen) || outLen != k)
            return fwFail(failCode(op), false);
    }
    std::memcpy(dataPtr, work.data(), work.size());
    dataLen = static_cast<unsigned long>(work.size());
    return true;
}

bool RsaKeyOps::decryptBlocks(EVP_PKEY* key, Operation op, unsigned char* dataPtr, unsigned long& dataLen)
{
    const unsigned long k = static_cast<unsigned long>(EVP_PKEY_get_size(key));
    PkeyCtxPtr ctx = opContext(key, op);
    if (!ctx)
        return fwFail(failCode(op), false);
    std::vector<unsigned char> block(k);
    unsigned long total = 0;
    unsigned long offset = 0;
    do
    {
        const unsigned long inLen = dataLen - offset < k ? dataLen - offset : k;
        size_t outLen = k;
        // Each result lands in a scratch block first: it never exceeds k - 11
        // bytes, so appending it cannot reach input not yet read.
        if (!runBlock(ctx.get(), op, dataPtr + offset, inLen, block.data(), outLen) || outLen > k)
            return fwFail(failCode(op), false);
        std::memcpy(dataPtr + total, block.data(), outLen);
        total += static_cast<unsigned long>(outLen);
        offset += inLen;
    } while (offset < dataLen);
    dataLen = total;
    return true;
}
