// Incremental SHA-256 message digest (FIPS 180-4).
//
// Words are big-endian in the message and the digest, whatever the host's
// byte order. Transform keeps the eight working words in registers: eight
// rounds written out, their roles rotating, in a loop of eight; the message
// schedule is expanded into 64 words first. Fully unrolled, the 64 rounds
// would cost about 10 KiB of MIPS code and save only the loop's counting.
// On the device's core (MIPS32r2, rotations in one instruction) a block
// takes about 2570 instructions, of which about 24 a round.
#include "sha256.h"

#include <string.h>

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int s) { return x >> s | x << (32 - s); }

inline uint32_t be32dec(const unsigned char *p) {
  uint32_t x;
  memcpy(&x, p, 4);
  return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_bswap32(x) : x;
}

inline void be32enc(unsigned char *p, uint32_t x) {
  if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) x = __builtin_bswap32(x);
  memcpy(p, &x, 4);
}

inline uint32_t sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ x >> 3; }
inline uint32_t sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ x >> 10; }

// One round, kw being K[t] + W[t]; the caller rotates the words' roles, so
// that only d and h change. Ch picks f or g by e. Maj is b where a and b
// agree, else c: b ^ ((a ^ b) & (b ^ c)), and this round's a ^ b is the next
// round's b ^ c, carried in bc: one operation fewer than the textbook form.
inline void Round(uint32_t a, uint32_t b, uint32_t &d, uint32_t e, uint32_t f, uint32_t g, uint32_t &h,
                  uint32_t kw, uint32_t &bc) {
  const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + kw;
  const uint32_t ab = a ^ b;
  const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + (b ^ (ab & bc));
  bc = ab;
  d += t1;
  h = t1 + t2;
}

// Folds n whole 64-byte blocks at p into the state s.
void Transform(uint32_t *s, const unsigned char *p, size_t n) {
  for (; n > 0; n--, p += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; t++) w[t] = be32dec(p + 4 * t);
    // Written out, the expansion keeps the words it has just made in
    // registers: 37 instructions a block fewer on MIPS, for 2 KiB of code.
#pragma GCC unroll 48
    for (int t = 16; t < 64; t++) w[t] = sigma1(w[t - 2]) + w[t - 7] + sigma0(w[t - 15]) + w[t - 16];
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    uint32_t bc = b ^ c;
    for (int t = 0; t < 64; t += 8) {
      Round(a, b, d, e, f, g, h, K[t] + w[t], bc);
      Round(h, a, c, d, e, f, g, K[t + 1] + w[t + 1], bc);
      Round(g, h, b, c, d, e, f, K[t + 2] + w[t + 2], bc);
      Round(f, g, a, b, c, d, e, K[t + 3] + w[t + 3], bc);
      Round(e, f, h, a, b, c, d, K[t + 4] + w[t + 4], bc);
      Round(d, e, g, h, a, b, c, K[t + 5] + w[t + 5], bc);
      Round(c, d, f, g, h, a, b, K[t + 6] + w[t + 6], bc);
      Round(b, c, e, f, g, h, a, K[t + 7] + w[t + 7], bc);
    }
    s[0] += a, s[1] += b, s[2] += c, s[3] += d, s[4] += e, s[5] += f, s[6] += g, s[7] += h;
  }
}

}  // namespace

void SHA256_Init(SHA256_CTX *ctx) {
  memcpy(ctx->state, kInitial, sizeof kInitial);
  ctx->count = 0;
}

void SHA256_Update(SHA256_CTX *ctx, const unsigned char *in, size_t len) {
  size_t have = static_cast<size_t>(ctx->count % 64);
  ctx->count += len;
  if (have > 0) {
    const size_t take = len < 64 - have ? len : 64 - have;
    memcpy(ctx->buf + have, in, take);
    in += take, len -= take, have += take;
    if (have < 64) return;
    Transform(ctx->state, ctx->buf, 1);
  }
  // Whole blocks straight from the caller's buffer.
  Transform(ctx->state, in, len / 64);
  if (len % 64 != 0) memcpy(ctx->buf, in + (len & ~static_cast<size_t>(63)), len % 64);
}

void SHA256_Final(unsigned char *hash, SHA256_CTX *ctx) {
  const uint64_t bits = ctx->count * 8;
  // 0x80, zeros to 56 bytes into a block, then the length in bits.
  static constexpr unsigned char kPad[64] = {0x80};
  const size_t have = static_cast<size_t>(ctx->count % 64);
  SHA256_Update(ctx, kPad, have < 56 ? 56 - have : 120 - have);
  unsigned char len[8];
  be32enc(len, static_cast<uint32_t>(bits >> 32));
  be32enc(len + 4, static_cast<uint32_t>(bits));
  SHA256_Update(ctx, len, sizeof len);
  for (int k = 0; k < 8; k++) be32enc(hash + 4 * k, ctx->state[k]);
}
