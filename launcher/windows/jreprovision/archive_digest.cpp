#include "jreprovision/archive_digest.h"

#include <cctype>

Sha256Digest::~Sha256Digest() {
    if (hash_ != 0)
        CryptDestroyHash(hash_);
    if (provider_ != 0)
        CryptReleaseContext(provider_, 0);
}

bool Sha256Digest::begin() {
    // A verify-only context: no key container is created or opened for a hash.
    if (!CryptAcquireContextA(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        provider_ = 0;
        return false;
    }
    if (!CryptCreateHash(provider_, CALG_SHA_256, 0, 0, &hash_)) {
        hash_ = 0;
        return false;
    }
    return true;
}

bool Sha256Digest::add(const void* data, size_t size) {
    return CryptHashData(hash_, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) != FALSE;
}

bool Sha256Digest::finish(char* hex) {
    BYTE digest[32];
    DWORD length = sizeof digest;
    hex[0] = '\0';
    if (!CryptGetHashParam(hash_, HP_HASHVAL, digest, &length, 0) || length != sizeof digest)
        return false;
    static const char kDigits[] = "0123456789abcdef";
    for (DWORD i = 0; i < length; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0xf];
    }
    hex[2 * length] = '\0';
    return true;
}

bool sameDigest(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}
