// The digests, MD5 and SHA-256, against published vectors, against
// themselves fed in pieces, and against md5sum and sha256sum run as separate
// processes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

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
std::string md5_hex(const std::string &s, const std::vector<size_t> &cuts = {}) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  MD5_CTX ctx;
  MD5_Init(&ctx);
  size_t at = 0;
  for (size_t cut : cuts) {
    MD5_Update(&ctx, p + at, static_cast<unsigned int>(cut - at));
    MD5_Update(&ctx, p + cut, 0);
    at = cut;
  }
  MD5_Update(&ctx, p + at, static_cast<unsigned int>(s.size() - at));
  unsigned char d[16];
  MD5_Final(d, &ctx);
  EXPECT_EQ(0, memcmp(d, ctx.digest, 16));
  return hex(d, 16);
}

std::string sha256_hex(const std::string &s, const std::vector<size_t> &cuts = {}) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  size_t at = 0;
  for (size_t cut : cuts) {
    SHA256_Update(&ctx, p + at, cut - at);
    SHA256_Update(&ctx, p + cut, 0);
    at = cut;
  }
  SHA256_Update(&ctx, p + at, s.size() - at);
  unsigned char d[32];
  SHA256_Final(d, &ctx);
  return hex(d, 32);
}

// Each digest, with the tool that computes it in another process.
const struct {
  const char *name, *tool;
  std::string (*fn)(const std::string &, const std::vector<size_t> &);
} kHashes[] = {{"MD5", "md5sum", md5_hex}, {"SHA-256", "sha256sum", sha256_hex}};

TEST(Md5, KnownDigests) {
  const struct {
    std::string in;
    const char *hex;
  } cases[] = {
      // RFC 1321, appendix A.5
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" + "1234567890" + "1234567890" +
           "1234567890" + "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // Padding boundaries: 55 bytes pad in one block, 56 need a second.
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.hex, md5_hex(c.in)) << "length " << c.in.size();
}

TEST(Sha256, KnownDigests) {
  const struct {
    std::string in;
    const char *hex;
  } cases[] = {
      // FIPS 180-4's examples (one block, two blocks, a million bytes)
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      // Padding boundaries: 55 bytes pad in one block, 56 need a second.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.hex, sha256_hex(c.in)) << "length " << c.in.size();
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
