// The small enumerations shared by the cipher, key-exchange and password-hash
// classes and by the crypto calls of the services library. Each has a fixed
// int underlying type, so any number a caller passes is a value to refuse,
// not undefined behaviour.
#pragma once

enum CryptoMode : int
{
    MODE_DEFAULT = 0,
    MODE_CBC = 1,
    MODE_ECB = 2,
    MODE_CFB = 3,
    MODE_OFB = 4,
    MODE_CTR = 5,
    MODE_CCM = 6,
    MODE_GCM = 7,
    MODE_XTS = 8,
};

// PEM is the only key format accepted.
enum KeyFormat : int
{
    KEY_FORMAT_PEM = 0,
};

// The algorithm numbers of the password-hash setting text ("$<n>$...").
enum HashAlgorithm : int
{
    HASH_MD5 = 1,
    HASH_SHA256 = 5,
    HASH_SHA512 = 6,
};
