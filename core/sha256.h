// SHA-256 and HMAC-SHA-256, for the RTMP handshake digests.
#pragma once
#include <cstddef>
#include <cstdint>

enum { SHA256_SIZE = 32, SHA256_BLOCK = 64 };

// Hash of `prefix` (one 64-byte block, or null) followed by `data`.
void sha256(const uint8_t *prefix, const uint8_t *data, size_t length, uint8_t out[SHA256_SIZE]);
// HMAC over SHA-256; keys longer than a block are hashed first.
void hmac_sha256(const uint8_t *data, size_t length, uint8_t out[SHA256_SIZE], const uint8_t *key,
                 size_t key_length);
