// Incremental MD5 message digest (RFC 1321).
//
// Usage: MD5_Init, then MD5_Update any number of times, then MD5_Final once.
// All state lives in the caller's MD5_CTX; nothing is allocated.
#ifndef FWVET_MD5_H
#define FWVET_MD5_H

#include <stdint.h>

typedef uint32_t UINT4;

struct MD5_CTX {
  UINT4 i[2];                // bits absorbed so far, mod 2^64: i[0] low word, i[1] high word
  UINT4 buf[4];              // chaining state A, B, C, D
  unsigned char in[64];      // block being filled: (i[0] >> 3) & 0x3F bytes in use
  unsigned char digest[16];  // the finished digest, set by MD5_Final
};

void MD5_Init(MD5_CTX *mdContext);
void MD5_Update(MD5_CTX *mdContext, const unsigned char *inBuf, unsigned int inLen);
// Stores the digest in mdContext->digest and copies it to hash. The context is
// spent afterwards; start a new computation with MD5_Init.
void MD5_Final(unsigned char *hash, MD5_CTX *mdContext);

#endif
