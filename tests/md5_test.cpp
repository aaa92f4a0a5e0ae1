// The digest against published vectors, against itself fed in pieces, and
// against md5sum run as a separate process.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "md5.h"

namespace {

std::string random_bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char &c : s) {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    c = static_cast<char>(seed);
  }
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
  char hex[33];
  for (int k = 0; k < 16; k++) snprintf(hex + 2 * k, 3, "%02x", d[k]);
  return hex;
}

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

TEST(Md5, AnySplitGivesTheSameDigest) {
  const std::string small = random_bytes(300, 1);
  const std::string whole = md5_hex(small);
  for (size_t k = 0; k <= small.size(); k++) ASSERT_EQ(whole, md5_hex(small, {k})) << "cut at " << k;

  std::vector<size_t> every;
  for (size_t k = 1; k < small.size(); k++) every.push_back(k);
  EXPECT_EQ(whole, md5_hex(small, every));

  const std::string big = random_bytes(100000, 2);
  const std::string big_whole = md5_hex(big);
  uint32_t seed = 3;
  for (int round = 0; round < 50; round++) {
    std::vector<size_t> cuts;
    for (size_t at = 0;;) {
      seed = seed * 1103515245 + 12345;
      at += (seed >> 8) % (round % 2 ? 200 : 5000);
      if (at >= big.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(big_whole, md5_hex(big, cuts)) << "round " << round;
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

// md5sum is another implementation in another process: no symbol of ours
// can stand in for it.
TEST(Md5, AgreesWithMd5sum) {
  char dir[] = "/tmp/md5_test.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; n++) lengths.push_back(n);
  for (size_t n : {1023, 1024, 1025, 4103, 10240, 65537, 1048579}) lengths.push_back(n);

  std::vector<std::string> ours;
  std::string cmd = "cd " + std::string(dir) + " && md5sum";
  for (size_t n : lengths) {
    const std::string data = random_bytes(n, static_cast<uint32_t>(n + 7));
    const std::string name = std::to_string(n);
    FILE *f = fopen((std::string(dir) + "/" + name).c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(n, fwrite(data.data(), 1, n, f));
    ASSERT_EQ(0, fclose(f));
    ours.push_back(md5_hex(data));
    cmd += " " + name;
  }

  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  char line[256];
  size_t k = 0;
  while (fgets(line, sizeof line, p) != nullptr && k < lengths.size()) {
    EXPECT_EQ(ours[k], std::string(line, 32)) << "length " << lengths[k];
    EXPECT_EQ(std::to_string(lengths[k]), std::string(line + 34, strcspn(line + 34, "\n")));
    k++;
  }
  EXPECT_EQ(0, pclose(p));
  EXPECT_EQ(lengths.size(), k);
  ASSERT_EQ(0, system(("rm -rf " + std::string(dir)).c_str()));
}

}  // namespace
