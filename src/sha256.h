// Incremental SHA-256 message digest (FIPS 180-4).
//
// Usage: SHA256_Init, then SHA256_Update any number of times, then
// SHA256_Final once. All state lives in the caller's SHA256_CTX; nothing is
// allocated.
#ifndef FWVET_SHA256_H
#define FWVET_SHA256_H

#include <stddef.h>
#include <stdint.h>

struct SHA256_CTX {
  uint32_t state[8];       // chaining state H0 to H7
  uint64_t count;          // bytes absorbed so far
  unsigned char buf[64];   // block being filled: count % 64 bytes in use
};

void SHA256_Init(SHA256_CTX *ctx);
void SHA256_Update(SHA256_CTX *ctx, const unsigned char *in, size_t len);
// Writes the 32-byte digest to hash. The context is spent afterwards.
void SHA256_Final(unsigned char *hash, SHA256_CTX *ctx);

#endif
