// MB/s of AES-256-CBC encryption and SHA-256 through the crypto calls beside
// direct EVP calls on the same buffers (64 bytes and 64 KiB). The direct side
// is what a careful caller writes: the algorithm fetched once, one context
// reused, init-update-final per buffer. The calls should come within 10 %.
#include "FendralServices/crypto/CryptoService.h"

#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <vector>

namespace
{
const unsigned char KEY[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char IV[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

void aesApi(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> plain(size, 0x5a), cipher(size + 16);
    for (auto _ : state)
    {
        unsigned long cipherLen = cipher.size();
        if (aesEncrypt(MODE_CBC, plain.data(), size, KEY, sizeof(KEY), IV, sizeof(IV), nullptr, 0, nullptr, 0,
                       cipher.data(), &cipherLen) != 1)
            state.SkipWithError("aesEncrypt failed");
        benchmark::DoNotOptimize(cipher.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void aesDirect(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> plain(size, 0x5a), cipher(size + 16);
    EVP_CIPHER* aes = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state)
    {
        int produced = 0, finalLen = 0;
        if (EVP_EncryptInit_ex2(ctx, aes, KEY, IV, nullptr) != 1 ||
            EVP_EncryptUpdate(ctx, cipher.data(), &produced, plain.data(), static_cast<int>(size)) != 1 ||
            EVP_EncryptFinal_ex(ctx, cipher.data() + produced, &finalLen) != 1)
            state.SkipWithError("EVP encrypt failed");
        benchmark::DoNotOptimize(cipher.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(aes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void sha256Api(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> data(size, 0x5a);
    unsigned char digest[32];
    for (auto _ : state)
    {
        unsigned long len = sizeof(digest);
        if (computeSha256Hash(data.data(), size, digest, &len, nullptr, 0) != 1)
            state.SkipWithError("computeSha256Hash failed");
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void sha256Direct(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> data(size, 0x5a);
    unsigned char digest[32];
    EVP_MD* sha = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state)
    {
        unsigned int len = 0;
        if (EVP_DigestInit_ex2(ctx, sha, nullptr) != 1 || EVP_DigestUpdate(ctx, data.data(), size) != 1 ||
            EVP_DigestFinal_ex(ctx, digest, &len) != 1)
            state.SkipWithError("EVP digest failed");
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(sha);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
} // namespace

BENCHMARK(aesApi)->Arg(64)->Arg(64 << 10);
BENCHMARK(aesDirect)->Arg(64)->Arg(64 << 10);
BENCHMARK(sha256Api)->Arg(64)->Arg(64 << 10);
BENCHMARK(sha256Direct)->Arg(64)->Arg(64 << 10);

BENCHMARK_MAIN();
