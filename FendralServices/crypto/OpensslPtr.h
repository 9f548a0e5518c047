// Owning pointers for the library objects the crypto classes hold briefly,
// so every error path frees what it made.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <memory>

template <auto FreeFn>
struct OpensslDeleter
{
    template <typename T>
    void operator()(T* object) const
    {
        FreeFn(object);
    }
};

using BioPtr = std::unique_ptr<BIO, OpensslDeleter<BIO_free>>;
using BnPtr = std::unique_ptr<BIGNUM, OpensslDeleter<BN_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OpensslDeleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpensslDeleter<EVP_PKEY_CTX_free>>;
