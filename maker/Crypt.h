// Password obfuscation of byte ranges. This is NOT cryptography: see "Security" in README.md.
//
// Encrypt and Decrypt transform bytes in place with a keyed byte substitution that depends only
// on the byte's offset modulo 4 inside the range, so a range can be decrypted in two pieces split
// after its first 4 bytes (or any multiple of 4) with the same result as in one piece. Each of the
// four substitution tables is derived from all 32 key bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

void Encrypt(unsigned char* data, std::size_t length, std::uint32_t key);
void Decrypt(unsigned char* data, std::size_t length, std::uint32_t key);

// A 32-bit key from a narrow string (the same string always gives the same key).
std::uint32_t StringToULong(std::string_view text);

// A key derived from `key` by a fixed full mix (a bijection of the 32-bit values), for callers
// that must step away from a key without changing any other key.
std::uint32_t RemixKey(std::uint32_t key);
