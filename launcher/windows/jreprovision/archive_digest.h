// SHA-256 of a stream of blocks, through the system's crypto provider (CryptoAPI's AES provider,
// present from Windows XP SP3 on).
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <cstddef>

constexpr size_t kSha256HexCapacity = 65; // 64 hex digits and the terminator

class Sha256Digest {
  public:
    Sha256Digest() = default;
    ~Sha256Digest();
    Sha256Digest(const Sha256Digest&) = delete;
    Sha256Digest& operator=(const Sha256Digest&) = delete;

    // Prepares a new digest; false (with the system's error left in GetLastError) when the provider
    // or the algorithm is missing.
    bool begin();
    // Adds size bytes; false when the provider fails.
    bool add(const void* data, size_t size);
    // The digest of everything added, as 64 lower-case hex digits into hex (kSha256HexCapacity bytes);
    // false when the provider fails. No more data may be added afterwards.
    bool finish(char* hex);

  private:
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
};

// True when two hex digests name the same bytes: equal apart from the case of the letters.
bool sameDigest(const char* a, const char* b);
