// libFuzzer target: arbitrary bytes as an upgrade file, through the check.
// When bit 0 of the type byte is set, the header's digest is made right
// first, so that inputs reach the end of a passing check too. The verdict must
// be the one the layout gives.
//
// In a build with trusted keys the input ends with the bytes of FILE.sig and
// one byte that counts them; when bit 1 of the type byte is set, FILE.sig is
// instead a checksum list signed by the test key FWVET_FUZZ_KEY: those bytes
// as its first lines, then the file's own line. Only such a file may pass,
// and with no bytes before its line it must.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "md5.h"
#include "sysupdate.h"

#ifdef FWVET_SIGNED
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#endif

namespace {

void digest(const uint8_t *p, size_t n, unsigned char *out) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  MD5_Update(&ctx, p, static_cast<unsigned int>(n));
  MD5_Final(out, &ctx);
}

#ifdef FWVET_SIGNED
// "Ed", key number and secret key of the test key, from its .sec file.
struct test_key_t {
  unsigned char keynum[8], sk[64];
};

test_key_t read_test_key() {
  char text[512] = "";
  FILE *fp = fopen(FWVET_FUZZ_KEY, "r");
  const size_t n = fp ? fread(text, 1, sizeof text - 1, fp) : 0;
  if (fp) fclose(fp);
  const char *b64 = strchr(text, '\n');
  unsigned char raw[104];
  size_t got = 0;
  if (b64 == nullptr || sodium_base642bin(raw, sizeof raw, b64 + 1, strlen(b64 + 1), "\n", &got, nullptr,
                                          sodium_base64_VARIANT_ORIGINAL) != 0 || got != sizeof raw || n == 0)
    abort();
  test_key_t k;
  memcpy(k.keynum, raw + 32, 8);
  memcpy(k.sk, raw + 40, 64);
  return k;
}

// FILE.sig: a signed list with the fuzzer's lines and the file's own, or the
// fuzzer's own bytes.
bool write_sig(const char *path, const std::vector<uint8_t> &file, const uint8_t *own, size_t own_len, bool good) {
  static const test_key_t key = read_test_key();
  std::string text(reinterpret_cast<const char *>(own), own_len);
  if (good) {
    unsigned char sha[32];
    crypto_hash_sha256(sha, file.data(), file.size());
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, sha, sizeof sha);
    const std::string list = text + "SHA256 (fuzz.bin) = " + hex + "\n";
    unsigned char blob[74];
    memcpy(blob, "Ed", 2);
    memcpy(blob + 2, key.keynum, 8);
    crypto_sign_detached(blob + 10, nullptr, reinterpret_cast<const unsigned char *>(list.data()), list.size(), key.sk);
    char b64[sodium_base64_ENCODED_LEN(74, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(b64, sizeof b64, blob, sizeof blob, sodium_base64_VARIANT_ORIGINAL);
    text = std::string("untrusted comment: fuzz\n") + b64 + "\n" + list;
  }
  const std::string sig = std::string(path) + ".sig";
  const int fd = open(sig.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || close(fd) != 0) abort();
  return good;
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static char path[] = "/tmp/fwvet-fuzz.XXXXXX";
  static const int fd = mkstemp(path);
  if (fd < 0) abort();
  static const int cleanup = atexit([] {
    unlink(path);
    unlink((std::string(path) + ".sig").c_str());
  });
  static_cast<void>(cleanup);

#ifdef FWVET_SIGNED
  size_t own_len = 0;
  if (size > 0) {
    own_len = data[size - 1] < size - 1 ? data[size - 1] : size - 1;
    size -= 1 + own_len;
  }
  const uint8_t *own = data + size;
#endif
  std::vector<uint8_t> file(data, data + size);
  if (size >= 128 && (file[4] & 1)) digest(file.data() + 128, size - 128, file.data() + 102);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, file.data(), size, 0) != static_cast<ssize_t>(size)) abort();

  int expected = UpdateSuccess;
  unsigned char md5[16];
  if (size < 128) {
    expected = FileReadHeadFail;
  } else if (memcmp(file.data(), "\xAB\xCD\x12\x34", 4) != 0) {
    expected = FileFormatError;
  } else {
    digest(file.data() + 128, size - 128, md5);
    if (memcmp(md5, file.data() + 102, 16) != 0) expected = Md5Error;
  }
#ifdef FWVET_SIGNED
  const bool listed = write_sig(path, file, own, own_len, size >= 128 && (file[4] & 2));
  if (expected == UpdateSuccess && !listed) expected = SignatureError;
  // Lines of the fuzzer's own before the file's may make the list unreadable.
  const int got = check_file(path);
  if (got != expected && !(expected == UpdateSuccess && own_len > 0 && got == SignatureError)) abort();
  return 0;
#endif
  if (check_file(path) != expected) abort();
  return 0;
}
