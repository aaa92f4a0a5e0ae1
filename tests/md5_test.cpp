// The digests, MD5 and SHA-256, against published vectors, against
// themselves fed in pieces, and against md5sum and sha256sum run as separate
// processes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "md5.h"
#include "sha256.h"

namespace {

std::string random_bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char &c : s) {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    c = static_cast<char>(seed);
  }
  return s;
}

std::string hex(const unsigned char *d, size_t n) {
  std::string s;
  char two[3];
  for (size_t k = 0; k < n; k++) snprintf(two, sizeof two, "%02x", d[k]), s += two;
  return s;
}

// Digest of s fed in the pieces that the sorted cut points make, with an
// empty update at every cut.
template <typename Ctx, typename Len, size_t N>
std::string digest_hex(void (*init)(Ctx *), void (*update)(Ctx *, const unsigned char *, Len),
                       void (*final)(unsigned char *, Ctx *), const std::string &s, const std::vector<size_t> &cuts) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  Ctx ctx;
  init(&ctx);
  size_t at = 0;
  for (size_t cut : cuts) {
    update(&ctx, p + at, static_cast<Len>(cut - at));
    update(&ctx, p + cut, 0);
    at = cut;
  }
  update(&ctx, p + at, static_cast<Len>(s.size() - at));
  unsigned char d[N];
  final(d, &ctx);
  return hex(d, N);
}

std::string md5_hex(const std::string &s, const std::vector<size_t> &cuts = {}) {
  return digest_hex<MD5_CTX, unsigned int, 16>(MD5_Init, MD5_Update, MD5_Final, s, cuts);
}

std::string sha256_hex(const std::string &s, const std::vector<size_t> &cuts = {}) {
  return digest_hex<SHA256_CTX, size_t, 32>(SHA256_Init, SHA256_Update, SHA256_Final, s, cuts);
}

// Each digest, with the tool that computes it in another process.
const struct {
  const char *name, *tool;
  std::string (*fn)(const std::string &, const std::vector<size_t> &);
} kHashes[] = {{"MD5", "md5sum", md5_hex}, {"SHA-256", "sha256sum", sha256_hex}};

// RFC 1321's appendix A.5 and FIPS 180-4's examples, and the padding
// boundaries: 55 bytes pad in one block, 56 need a second.
TEST(Digests, KnownDigests) {
  const struct {
    std::string in;
    const char *md5, *sha256;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"a", "0cc175b9c0f1b6a831c399e269772661", "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0",
       "f7846f55cf23e14eebeab5b4e1550cad5b509e3348fbc4efa3a1413d393cb650"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b",
       "71c480df93d6ae2f1efad1447c66c9525e316218cf51fc8d9ed832f2daf18b73"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f",
       "db4bfcbd4da0cd85a60c3c37d3fbd8805c77f15fc6b1fdfe614ee0a7c8fdb4c0"},
      {std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" + "1234567890" + "1234567890" +
           "1234567890" + "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a", "f371bc4a311f2b009eef952dd83ca80e2b60026c8e935592d0f9c308453c813e"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "03dd8807a93175fb062dfb55dc7d359c", "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65",
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218",
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5",
       "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367",
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435",
       "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.md5, md5_hex(c.in)) << "length " << c.in.size();
    EXPECT_EQ(c.sha256, sha256_hex(c.in)) << "length " << c.in.size();
  }
}

TEST(Digests, AnySplitGivesTheSameDigest) {
  for (const auto &h : kHashes) {
    SCOPED_TRACE(h.name);
    const std::string small = random_bytes(300, 1);
    const std::string whole = h.fn(small, {});
    for (size_t k = 0; k <= small.size(); k++) ASSERT_EQ(whole, h.fn(small, {k})) << "cut at " << k;

    std::vector<size_t> every;
    for (size_t k = 1; k < small.size(); k++) every.push_back(k);
    EXPECT_EQ(whole, h.fn(small, every));

    const std::string big = random_bytes(100000, 2);
    const std::string big_whole = h.fn(big, {});
    uint32_t seed = 3;
    for (int round = 0; round < 50; round++) {
      std::vector<size_t> cuts;
      for (size_t at = 0;;) {
        seed = seed * 1103515245 + 12345;
        at += (seed >> 8) % (round % 2 ? 200 : 5000);
        if (at >= big.size()) break;
        cuts.push_back(at);
      }
      ASSERT_EQ(big_whole, h.fn(big, cuts)) << "round " << round;
    }
  }
}

TEST(Md5, BitCountCarriesIntoHighWord) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  ctx.i[0] = 0xFFFFFFF8;
  const unsigned char two[2] = {0, 0};
  MD5_Update(&ctx, two, 2);
  EXPECT_EQ(8u, ctx.i[0]);
  EXPECT_EQ(1u, ctx.i[1]);
  // MD5_Final leaves the digest in the context too.
  unsigned char d[16];
  MD5_Final(d, &ctx);
  EXPECT_EQ(0, memcmp(d, ctx.digest, 16));
}

// Past 512 MiB the message's length in bits no longer fits 32 bits: zeros
// up to a byte below and a byte past it, against sha256sum's digests.
TEST(Sha256, BitCountPast32Bits) {
  const struct {
    uint64_t len;
    const char *sha256;
  } cases[] = {
      {(1u << 29) - 1, "bf7f45d9df691bd277948d7f124b87a9f76e16ddb5d8fb25a49df939798f0a01"},
      {(1u << 29) + 1, "7c40fe5ce847740d0f0d0cdde3949d6585804cdec3ae61a15b923165699c8137"},
  };
  static const unsigned char zeros[1 << 16] = {};
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  uint64_t fed = 0;
  for (const auto &c : cases) {
    for (; fed < c.len; fed += std::min<uint64_t>(sizeof zeros, c.len - fed))
      SHA256_Update(&ctx, zeros, static_cast<size_t>(std::min<uint64_t>(sizeof zeros, c.len - fed)));
    SHA256_CTX done = ctx;
    unsigned char d[32];
    SHA256_Final(d, &done);
    EXPECT_EQ(c.sha256, hex(d, sizeof d)) << "length " << c.len;
  }
}

// md5sum and sha256sum are other implementations in another process: no
// symbol of ours can stand in for them.
TEST(Digests, AgreeWithMd5sumAndSha256sum) {
  char dir[] = "/tmp/md5_test.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; n++) lengths.push_back(n);
  for (size_t n : {1023, 1024, 1025, 4103, 10240, 65537, 1048579}) lengths.push_back(n);

  for (const auto &h : kHashes) {
    SCOPED_TRACE(h.tool);
    std::vector<std::string> ours;
    std::string cmd = "cd " + std::string(dir) + " && " + h.tool;
    for (size_t n : lengths) {
      const std::string data = random_bytes(n, static_cast<uint32_t>(n + 7));
      const std::string name = std::to_string(n);
      FILE *f = fopen((std::string(dir) + "/" + name).c_str(), "wb");
      ASSERT_NE(nullptr, f);
      ASSERT_EQ(n, fwrite(data.data(), 1, n, f));
      ASSERT_EQ(0, fclose(f));
      ours.push_back(h.fn(data, {}));
      cmd += " " + name;
    }

    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    char line[256];
    size_t k = 0;
    while (fgets(line, sizeof line, p) != nullptr && k < lengths.size()) {
      const size_t len = ours[k].size();
      EXPECT_EQ(ours[k], std::string(line, len)) << "length " << lengths[k];
      EXPECT_EQ(std::to_string(lengths[k]), std::string(line + len + 2, strcspn(line + len + 2, "\n")));
      k++;
    }
    EXPECT_EQ(0, pclose(p));
    EXPECT_EQ(lengths.size(), k);
  }
  ASSERT_EQ(0, system(("rm -rf " + std::string(dir)).c_str()));
}

}  // namespace
