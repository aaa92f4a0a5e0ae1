// Signature check: the .sig file read whole (it is small), the key found by
// its number, the upgrade file mapped read-only and verified by libsodium.
#include "signature.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sysupdate.h"
#include "trusted_keys.h"

namespace {

constexpr char kCommentHeader[] = "untrusted comment: ";
constexpr char kAlgorithm[] = "Ed";
constexpr size_t kKeyNumLen = 8;
constexpr size_t kSigLen = 2 + kKeyNumLen + crypto_sign_BYTES;           // decoded .sig line
constexpr size_t kPubLen = 2 + kKeyNumLen + crypto_sign_PUBLICKEYBYTES;  // decoded .pub line
constexpr size_t kSigFileMax = 2048;
constexpr size_t kPathMax = 63;

static_assert(kSigLen == 74 && kPubLen == 42, "signify's layouts");

// The base64 line of "Ed", key number and payload, exactly n bytes decoded
// into out; white space within it is skipped. 0 or -1.
int decode_line(const char *b64, size_t len, unsigned char *out, size_t n) {
  size_t got = 0;
  const char *end = nullptr;
  if (sodium_base642bin(out, n, b64, len, " \t\r\v\f", &got, &end, sodium_base64_VARIANT_ORIGINAL) != 0) return -1;
  if (got != n || end != b64 + len) return -1;
  return memcmp(out, kAlgorithm, 2) == 0 ? 0 : -1;
}

// A two-line file in text (len bytes): the comment line, then the base64
// line, each ending in a newline; anything after them is not looked at.
int decode_file(const char *text, size_t len, unsigned char *out, size_t n) {
  const size_t header = sizeof kCommentHeader - 1;
  const char *nl = static_cast<const char *>(memchr(text, '\n', len));
  if (nl == nullptr || static_cast<size_t>(nl - text) < header || memcmp(text, kCommentHeader, header) != 0)
    return -1;
  const char *b64 = nl + 1;
  const char *end = static_cast<const char *>(memchr(b64, '\n', len - static_cast<size_t>(b64 - text)));
  if (end == nullptr) return -1;
  return decode_line(b64, static_cast<size_t>(end - b64), out, n);
}

// Reads filepath.sig, a regular file of at most 2 KiB, into sig.
int read_sig(const char *filepath, unsigned char *sig) {
  char path[kPathMax + sizeof ".sig"];
  const size_t len = strlen(filepath);
  if (len > kPathMax) return -1;
  memcpy(path, filepath, len);
  memcpy(path + len, ".sig", sizeof ".sig");

  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[kSigFileMax + 1];
  size_t got = 0;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (ok && got < sizeof text) {
    const ssize_t n = read(fd, text + got, sizeof text - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    got += static_cast<size_t>(n);
  }
  close(fd);  // only read from
  if (!ok || got > kSigFileMax) return -1;
  return decode_file(text, got, sig, kSigLen);
}

// The trusted key whose number the signature names, decoded into pub.
int find_key(const unsigned char *sig, unsigned char *pub) {
  for (const char *line : kTrustedKeys) {
    if (decode_line(line, strlen(line), pub, kPubLen) == 0 && memcmp(pub + 2, sig + 2, kKeyNumLen) == 0) return 0;
  }
  return -1;
}

}  // namespace

int check_signature(const char *filepath, int fd) {
  unsigned char sig[kSigLen], pub[kPubLen];
  if (read_sig(filepath, sig) != 0 || find_key(sig, pub) != 0) return SignatureError;

  // Mapped, not read: on a tmpfs the pages are the file's own, no copy.
  // Verification needs no state that sodium_init sets up, and skipping it
  // keeps the random number generator, which can block early at boot, out.
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > SIZE_MAX) return SignatureError;
  const size_t size = static_cast<size_t>(st.st_size);
  void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) return SignatureError;
  const int verified =
      crypto_sign_verify_detached(sig + 2 + kKeyNumLen, static_cast<const unsigned char *>(map), size, pub + 2 + kKeyNumLen);
  munmap(map, size);
  return verified == 0 ? UpdateSuccess : SignatureError;
}
