// Windows: SHA-256 from the system's cryptography (BCrypt).
#include "flash/sha256.h"

#include <algorithm>
#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <bcrypt.h>

std::string sha256Hex(const uint8_t* bytes, size_t size) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return {};
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    bool done = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes at most 4 GiB a call.
    for (size_t at = 0; done && at < size;) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size - at, 1u << 30));
        done = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes + at), chunk, 0));
        at += chunk;
    }
    done = done && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!done) {
        return {};
    }
    std::string hex;
    for (const unsigned char byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}
