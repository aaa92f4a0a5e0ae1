// Incremental MD5 message digest (RFC 1321).
//
// Words are formed from bytes little-endian whatever the host's byte order, so
// the digest is the same on the little-endian device and on a big-endian host.
#include "md5.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// MIPS makes a 32-bit constant with two instructions, lui and ori; a load
// from a table takes one. On a single-issue core the count is what costs.
#if defined(__mips__)
constexpr bool kConstantsFromTable = true;
#else
constexpr bool kConstantsFromTable = false;
#endif

// The padding that MD5_Final appends: one 1 bit, then zeros.
constexpr unsigned char PADDING[64] = {0x80};

inline UINT4 le32dec(const unsigned char *p) {
  return static_cast<UINT4>(p[0]) | static_cast<UINT4>(p[1]) << 8 |
         static_cast<UINT4>(p[2]) << 16 | static_cast<UINT4>(p[3]) << 24;
}

inline void le32enc(unsigned char *p, UINT4 x) {
  p[0] = static_cast<unsigned char>(x);
  p[1] = static_cast<unsigned char>(x >> 8);
  p[2] = static_cast<unsigned char>(x >> 16);
  p[3] = static_cast<unsigned char>(x >> 24);
}

inline UINT4 rotl(UINT4 x, int s) { return x << s | x >> (32 - s); }

// The four step kinds. Each adds the message word and the constant to a first:
// that sum does not wait for the previous step, which shortens the chain of
// dependent operations. F and G pick bits of c or d by b or d; G is written as
// a sum of two disjoint masks so that (c & ~d) need not wait for b.
inline void FF(UINT4 &a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 t) {
  a += x + t;
  a += d ^ (b & (c ^ d));
  a = rotl(a, s) + b;
}

inline void GG(UINT4 &a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 t) {
  a += x + t;
  if (kConstantsFromTable) {
    // Without and-not, the sum of masks costs two more instructions.
    a += c ^ (d & (b ^ c));
  } else {
    a += c & ~d;
    a += b & d;
  }
  a = rotl(a, s) + b;
}

inline void HH(UINT4 &a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 t) {
  a += x + t;
  a += b ^ (c ^ d);
  a = rotl(a, s) + b;
}

inline void II(UINT4 &a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 t) {
  a += x + t;
  a += c ^ (b | ~d);
  a = rotl(a, s) + b;
}

// The constants T[i], the integer part of 2^32 * |sin(i + 1)|.
alignas(64) constexpr UINT4 kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee,
    0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa,
    0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05,
    0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039,
    0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Word k of a block, in host order; the block is 4-byte aligned.
inline UINT4 word(const unsigned char *block, int k) {
  UINT4 w;
  memcpy(&w, static_cast<const unsigned char *>(__builtin_assume_aligned(block, 4)) + 4 * k, sizeof w);
  return w;
}

// Folds n 64-byte blocks, 4-byte aligned and made of host-order words, into
// the chaining state: each in four rounds of 16 steps, each step with its own
// message word, rotation and constant. Each word is loaded where a step uses
// it, as a register holds it no longer.
void Transform(UINT4 *buf, const unsigned char *in, size_t n) {
  const UINT4 *t = kT;
  // Hidden from the optimizer, which would otherwise make the loads
  // immediates again.
  if (kConstantsFromTable) __asm__("" : "+r"(t));
  UINT4 a = buf[0], b = buf[1], c = buf[2], d = buf[3];
  for (; n > 0; n--, in += 64) {
    const UINT4 a0 = a, b0 = b, c0 = c, d0 = d;
    // Round 1: a = b + ((a + F(b,c,d) + X[k] + T[i]) <<< s), F(x,y,z) = (x & y) | (~x & z)
    FF(a, b, c, d, word(in,  0),  7, t[0]);
    FF(d, a, b, c, word(in,  1), 12, t[1]);
    FF(c, d, a, b, word(in,  2), 17, t[2]);
    FF(b, c, d, a, word(in,  3), 22, t[3]);
    FF(a, b, c, d, word(in,  4),  7, t[4]);
    FF(d, a, b, c, word(in,  5), 12, t[5]);
    FF(c, d, a, b, word(in,  6), 17, t[6]);
    FF(b, c, d, a, word(in,  7), 22, t[7]);
    FF(a, b, c, d, word(in,  8),  7, t[8]);
    FF(d, a, b, c, word(in,  9), 12, t[9]);
    FF(c, d, a, b, word(in, 10), 17, t[10]);
    FF(b, c, d, a, word(in, 11), 22, t[11]);
    FF(a, b, c, d, word(in, 12),  7, t[12]);
    FF(d, a, b, c, word(in, 13), 12, t[13]);
    FF(c, d, a, b, word(in, 14), 17, t[14]);
    FF(b, c, d, a, word(in, 15), 22, t[15]);
    // Round 2: a = b + ((a + G(b,c,d) + X[k] + T[i]) <<< s), G(x,y,z) = (x & z) | (y & ~z)
    GG(a, b, c, d, word(in,  1),  5, t[16]);
    GG(d, a, b, c, word(in,  6),  9, t[17]);
    GG(c, d, a, b, word(in, 11), 14, t[18]);
    GG(b, c, d, a, word(in,  0), 20, t[19]);
    GG(a, b, c, d, word(in,  5),  5, t[20]);
    GG(d, a, b, c, word(in, 10),  9, t[21]);
    GG(c, d, a, b, word(in, 15), 14, t[22]);
    GG(b, c, d, a, word(in,  4), 20, t[23]);
    GG(a, b, c, d, word(in,  9),  5, t[24]);
    GG(d, a, b, c, word(in, 14),  9, t[25]);
    GG(c, d, a, b, word(in,  3), 14, t[26]);
    GG(b, c, d, a, word(in,  8), 20, t[27]);
    GG(a, b, c, d, word(in, 13),  5, t[28]);
    GG(d, a, b, c, word(in,  2),  9, t[29]);
    GG(c, d, a, b, word(in,  7), 14, t[30]);
    GG(b, c, d, a, word(in, 12), 20, t[31]);
    // Round 3: a = b + ((a + H(b,c,d) + X[k] + T[i]) <<< s), H(x,y,z) = x ^ y ^ z
    HH(a, b, c, d, word(in,  5),  4, t[32]);
    HH(d, a, b, c, word(in,  8), 11, t[33]);
    HH(c, d, a, b, word(in, 11), 16, t[34]);
    HH(b, c, d, a, word(in, 14), 23, t[35]);
    HH(a, b, c, d, word(in,  1),  4, t[36]);
    HH(d, a, b, c, word(in,  4), 11, t[37]);
    HH(c, d, a, b, word(in,  7), 16, t[38]);
    HH(b, c, d, a, word(in, 10), 23, t[39]);
    HH(a, b, c, d, word(in, 13),  4, t[40]);
    HH(d, a, b, c, word(in,  0), 11, t[41]);
    HH(c, d, a, b, word(in,  3), 16, t[42]);
    HH(b, c, d, a, word(in,  6), 23, t[43]);
    HH(a, b, c, d, word(in,  9),  4, t[44]);
    HH(d, a, b, c, word(in, 12), 11, t[45]);
    HH(c, d, a, b, word(in, 15), 16, t[46]);
    HH(b, c, d, a, word(in,  2), 23, t[47]);
    // Round 4: a = b + ((a + I(b,c,d) + X[k] + T[i]) <<< s), I(x,y,z) = y ^ (x | ~z)
    II(a, b, c, d, word(in,  0),  6, t[48]);
    II(d, a, b, c, word(in,  7), 10, t[49]);
    II(c, d, a, b, word(in, 14), 15, t[50]);
    II(b, c, d, a, word(in,  5), 21, t[51]);
    II(a, b, c, d, word(in, 12),  6, t[52]);
    II(d, a, b, c, word(in,  3), 10, t[53]);
    II(c, d, a, b, word(in, 10), 15, t[54]);
    II(b, c, d, a, word(in,  1), 21, t[55]);
    II(a, b, c, d, word(in,  8),  6, t[56]);
    II(d, a, b, c, word(in, 15), 10, t[57]);
    II(c, d, a, b, word(in,  6), 15, t[58]);
    II(b, c, d, a, word(in, 13), 21, t[59]);
    II(a, b, c, d, word(in,  4),  6, t[60]);
    II(d, a, b, c, word(in, 11), 10, t[61]);
    II(c, d, a, b, word(in,  2), 15, t[62]);
    II(b, c, d, a, word(in,  9), 21, t[63]);
    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  buf[0] = a;
  buf[1] = b;
  buf[2] = c;
  buf[3] = d;
}

// Folds in a block from any address, in any byte order: its little-endian
// words made host-order words first.
void transform_bytes(UINT4 *buf, const unsigned char *block) {
  UINT4 x[16];
  for (int k = 0; k < 16; k++) x[k] = le32dec(block + 4 * k);
  Transform(buf, reinterpret_cast<const unsigned char *>(x), 1);
}

// Folds in n whole blocks from the caller's buffer: where the bytes are
// already aligned host-order words, straight from it.
void transform_blocks(UINT4 *buf, const unsigned char *p, size_t n) {
  if (kLittleEndian && reinterpret_cast<uintptr_t>(p) % 4 == 0) {
    Transform(buf, p, n);
    return;
  }
  for (; n > 0; n--, p += 64) transform_bytes(buf, p);
}

}  // namespace

void MD5_Init(MD5_CTX *mdContext) {
  mdContext->i[0] = mdContext->i[1] = 0;
  mdContext->buf[0] = 0x67452301;
  mdContext->buf[1] = 0xefcdab89;
  mdContext->buf[2] = 0x98badcfe;
  mdContext->buf[3] = 0x10325476;
}

void MD5_Update(MD5_CTX *mdContext, const unsigned char *inBuf, unsigned int inLen) {
  // Bytes already waiting in the block buffer.
  unsigned int n = (mdContext->i[0] >> 3) & 0x3F;

  // Add 8 * inLen to the 64-bit bit count, carrying into the high word.
  const UINT4 lo = mdContext->i[0] + (static_cast<UINT4>(inLen) << 3);
  if (lo < mdContext->i[0]) mdContext->i[1]++;
  mdContext->i[0] = lo;
  mdContext->i[1] += static_cast<UINT4>(inLen) >> 29;

  // Top up a partly filled block first; fold it in once it is full.
  if (n != 0) {
    const unsigned int take = inLen < 64 - n ? inLen : 64 - n;
    memcpy(mdContext->in + n, inBuf, take);
    if (n + take < 64) return;
    transform_bytes(mdContext->buf, mdContext->in);
    inBuf += take;
    inLen -= take;
  }

  // Whole blocks from the caller's buffer, then keep the rest.
  transform_blocks(mdContext->buf, inBuf, inLen / 64);
  inBuf += inLen & ~63u;
  inLen &= 63;
  if (inLen != 0) memcpy(mdContext->in, inBuf, inLen);
}

void MD5_Final(unsigned char *hash, MD5_CTX *mdContext) {
  UINT4 in[16];

  // The message length in bits, taken before the padding advances the count.
  in[14] = mdContext->i[0];
  in[15] = mdContext->i[1];

  // Pad to 56 bytes mod 64: from 1 to 64 bytes of PADDING.
  const unsigned int n = (mdContext->i[0] >> 3) & 0x3F;
  MD5_Update(mdContext, PADDING, n < 56 ? 56 - n : 120 - n);

  // The last block: 56 bytes of message and padding, then the length.
  for (int k = 0; k < 14; k++) in[k] = le32dec(mdContext->in + 4 * k);
  Transform(mdContext->buf, reinterpret_cast<const unsigned char *>(in), 1);

  for (int k = 0; k < 4; k++) le32enc(mdContext->digest + 4 * k, mdContext->buf[k]);
  memcpy(hash, mdContext->digest, 16);
}
