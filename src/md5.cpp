// Incremental MD5 message digest (RFC 1321).
//
// Words are formed from bytes little-endian whatever the host's byte order, so
// the digest is the same on the little-endian device and on a big-endian host.
#include "md5.h"

#include <string.h>

namespace {

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
  a += c & ~d;
  a += b & d;
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

// Folds one 16-word block into the chaining state: four rounds of 16 steps,
// each step with its own message word, rotation and constant (the integer part
// of 2^32 * |sin(i)| for step i).
void Transform(UINT4 *buf, const UINT4 *in) {
  UINT4 a = buf[0], b = buf[1], c = buf[2], d = buf[3];

  // Round 1: a = b + ((a + F(b,c,d) + X[k] + T[i]) <<< s), F(x,y,z) = (x & y) | (~x & z)
  FF(a, b, c, d, in[ 0],  7, 0xd76aa478);  // 1
  FF(d, a, b, c, in[ 1], 12, 0xe8c7b756);  // 2
  FF(c, d, a, b, in[ 2], 17, 0x242070db);  // 3
  FF(b, c, d, a, in[ 3], 22, 0xc1bdceee);  // 4
  FF(a, b, c, d, in[ 4],  7, 0xf57c0faf);  // 5
  FF(d, a, b, c, in[ 5], 12, 0x4787c62a);  // 6
  FF(c, d, a, b, in[ 6], 17, 0xa8304613);  // 7
  FF(b, c, d, a, in[ 7], 22, 0xfd469501);  // 8
  FF(a, b, c, d, in[ 8],  7, 0x698098d8);  // 9
  FF(d, a, b, c, in[ 9], 12, 0x8b44f7af);  // 10
  FF(c, d, a, b, in[10], 17, 0xffff5bb1);  // 11
  FF(b, c, d, a, in[11], 22, 0x895cd7be);  // 12
  FF(a, b, c, d, in[12],  7, 0x6b901122);  // 13
  FF(d, a, b, c, in[13], 12, 0xfd987193);  // 14
  FF(c, d, a, b, in[14], 17, 0xa679438e);  // 15
  FF(b, c, d, a, in[15], 22, 0x49b40821);  // 16
  // Round 2: a = b + ((a + G(b,c,d) + X[k] + T[i]) <<< s), G(x,y,z) = (x & z) | (y & ~z)
  GG(a, b, c, d, in[ 1],  5, 0xf61e2562);  // 17
  GG(d, a, b, c, in[ 6],  9, 0xc040b340);  // 18
  GG(c, d, a, b, in[11], 14, 0x265e5a51);  // 19
  GG(b, c, d, a, in[ 0], 20, 0xe9b6c7aa);  // 20
  GG(a, b, c, d, in[ 5],  5, 0xd62f105d);  // 21
  GG(d, a, b, c, in[10],  9, 0x02441453);  // 22
  GG(c, d, a, b, in[15], 14, 0xd8a1e681);  // 23
  GG(b, c, d, a, in[ 4], 20, 0xe7d3fbc8);  // 24
  GG(a, b, c, d, in[ 9],  5, 0x21e1cde6);  // 25
  GG(d, a, b, c, in[14],  9, 0xc33707d6);  // 26
  GG(c, d, a, b, in[ 3], 14, 0xf4d50d87);  // 27
  GG(b, c, d, a, in[ 8], 20, 0x455a14ed);  // 28
  GG(a, b, c, d, in[13],  5, 0xa9e3e905);  // 29
  GG(d, a, b, c, in[ 2],  9, 0xfcefa3f8);  // 30
  GG(c, d, a, b, in[ 7], 14, 0x676f02d9);  // 31
  GG(b, c, d, a, in[12], 20, 0x8d2a4c8a);  // 32
  // Round 3: a = b + ((a + H(b,c,d) + X[k] + T[i]) <<< s), H(x,y,z) = x ^ y ^ z
  HH(a, b, c, d, in[ 5],  4, 0xfffa3942);  // 33
  HH(d, a, b, c, in[ 8], 11, 0x8771f681);  // 34
  HH(c, d, a, b, in[11], 16, 0x6d9d6122);  // 35
  HH(b, c, d, a, in[14], 23, 0xfde5380c);  // 36
  HH(a, b, c, d, in[ 1],  4, 0xa4beea44);  // 37
  HH(d, a, b, c, in[ 4], 11, 0x4bdecfa9);  // 38
  HH(c, d, a, b, in[ 7], 16, 0xf6bb4b60);  // 39
  HH(b, c, d, a, in[10], 23, 0xbebfbc70);  // 40
  HH(a, b, c, d, in[13],  4, 0x289b7ec6);  // 41
  HH(d, a, b, c, in[ 0], 11, 0xeaa127fa);  // 42
  HH(c, d, a, b, in[ 3], 16, 0xd4ef3085);  // 43
  HH(b, c, d, a, in[ 6], 23, 0x04881d05);  // 44
  HH(a, b, c, d, in[ 9],  4, 0xd9d4d039);  // 45
  HH(d, a, b, c, in[12], 11, 0xe6db99e5);  // 46
  HH(c, d, a, b, in[15], 16, 0x1fa27cf8);  // 47
  HH(b, c, d, a, in[ 2], 23, 0xc4ac5665);  // 48
  // Round 4: a = b + ((a + I(b,c,d) + X[k] + T[i]) <<< s), I(x,y,z) = y ^ (x | ~z)
  II(a, b, c, d, in[ 0],  6, 0xf4292244);  // 49
  II(d, a, b, c, in[ 7], 10, 0x432aff97);  // 50
  II(c, d, a, b, in[14], 15, 0xab9423a7);  // 51
  II(b, c, d, a, in[ 5], 21, 0xfc93a039);  // 52
  II(a, b, c, d, in[12],  6, 0x655b59c3);  // 53
  II(d, a, b, c, in[ 3], 10, 0x8f0ccc92);  // 54
  II(c, d, a, b, in[10], 15, 0xffeff47d);  // 55
  II(b, c, d, a, in[ 1], 21, 0x85845dd1);  // 56
  II(a, b, c, d, in[ 8],  6, 0x6fa87e4f);  // 57
  II(d, a, b, c, in[15], 10, 0xfe2ce6e0);  // 58
  II(c, d, a, b, in[ 6], 15, 0xa3014314);  // 59
  II(b, c, d, a, in[13], 21, 0x4e0811a1);  // 60
  II(a, b, c, d, in[ 4],  6, 0xf7537e82);  // 61
  II(d, a, b, c, in[11], 10, 0xbd3af235);  // 62
  II(c, d, a, b, in[ 2], 15, 0x2ad7d2bb);  // 63
  II(b, c, d, a, in[ 9], 21, 0xeb86d391);  // 64

  buf[0] += a;
  buf[1] += b;
  buf[2] += c;
  buf[3] += d;
}

// Forms the 16 little-endian words of a 64-byte block and folds them in.
inline void transform_bytes(UINT4 *buf, const unsigned char *block) {
  UINT4 x[16];
  for (int k = 0; k < 16; k++) x[k] = le32dec(block + 4 * k);
  Transform(buf, x);
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

  // Whole blocks straight from the caller's buffer, then keep the rest.
  for (; inLen >= 64; inBuf += 64, inLen -= 64) transform_bytes(mdContext->buf, inBuf);
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
  Transform(mdContext->buf, in);

  for (int k = 0; k < 4; k++) le32enc(mdContext->digest + 4 * k, mdContext->buf[k]);
  memcpy(hash, mdContext->digest, 16);
}
