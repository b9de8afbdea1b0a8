// SHA-256 from the system's cryptography: OpenSSL's on Linux
// (sha256_openssl.cpp), BCrypt's on Windows (sha256_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Lower-case hexadecimal SHA-256 of the bytes; empty if the digest fails.
std::string sha256Hex(const uint8_t* bytes, size_t size);
