// Signature check: FILE.sig read whole into a fixed buffer (at most 64 KiB),
// the key found by its number, the list verified by libsodium, then read.
#include "signature.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "sysupdate.h"
#include "trusted_keys.h"

namespace {

constexpr char kCommentHeader[] = "untrusted comment: ";
constexpr char kAlgorithm[] = "Ed";
constexpr size_t kKeyNumLen = 8;
constexpr size_t kSigLen = 2 + kKeyNumLen + crypto_sign_ed25519_BYTES;           // decoded .sig line
constexpr size_t kPubLen = 2 + kKeyNumLen + crypto_sign_ed25519_PUBLICKEYBYTES;  // decoded .pub line
constexpr size_t kSigFileMax = 65536;
constexpr size_t kCommentMax = 1023;

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

// Sets the reason and gives the status of a list that does not vouch.
int refuse(sig_result_t *why, sig_reason reason) {
  why->reason = reason;
  return SignatureError;
}

// Reads FILE.sig, a regular file of at most 64 KiB, into text; its length,
// or -1 with the reason in why.
ssize_t read_sig(const char *filepath, char *text, struct stat *st, sig_result_t *why) {
  static char path[kSigPathLen];  // not on a small stack
  why->reason = kSigMissing;
  if (sig_path(filepath, path) != 0) return -1;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  why->reason = kSigNotFile;
  size_t got = 0;
  // A larger one is refused before a byte of it is read.
  bool ok = fstat(fd, st) == 0 && S_ISREG(st->st_mode) && st->st_size <= static_cast<off_t>(kSigFileMax);
  while (ok && got <= kSigFileMax) {
    const ssize_t n = read(fd, text + got, kSigFileMax + 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    got += static_cast<size_t>(n);
  }
  close(fd);  // only read from
  return ok && got <= kSigFileMax ? static_cast<ssize_t>(got) : -1;
}

// The trusted key whose number the signature names, decoded into pub.
int find_key(const unsigned char *sig, unsigned char *pub) {
  for (const char *line : kTrustedKeys) {
    if (decode_line(line, strlen(line), pub, kPubLen) == 0 && memcmp(pub + 2, sig + 2, kKeyNumLen) == 0) return 0;
  }
  return -1;
}

// n lower-case hex digits at p, decoded into out; 0 or -1.
int unhex(const char *p, size_t n, unsigned char *out) {
  for (size_t k = 0; k < n; k++) {
    const char c = p[k];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return -1;
    const unsigned d = static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    out[k / 2] = static_cast<unsigned char>(k % 2 ? out[k / 2] | d : d << 4);
  }
  return 0;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Moves *p past white space, as a blank in a scanf format does.
void skip_space(const char **p, const char *end) {
  while (*p < end && is_space(**p)) ++*p;
}

// A line's next token, as scanf's "%Ns" takes it: white space skipped, then
// up to max bytes that are not. Its length (0: none); *p moves past it.
size_t token(const char **p, const char *end, size_t max) {
  skip_space(p, end);
  const char *start = *p;
  while (*p < end && !is_space(**p) && static_cast<size_t>(*p - start) < max) ++*p;
  return static_cast<size_t>(*p - start);
}

// One line of the list, without its newline, read as signify reads it
// ("%31s (%1023[^)]) = %223s"): an algorithm, a NAME in parentheses (any
// bytes but ')'), "=" and a digest, with white space (a CR too) around them
// and any text after the digest ignored. 1 where it is a SHA256 line whose
// digest is sha256 in lower-case hex, 0 for any other such line (any
// algorithm), -1 for a line of no such form, which makes the list unreadable.
int list_line(const char *line, size_t len, const unsigned char *sha256) {
  const char *p = line, *end = line + len;
  const size_t algolen = token(&p, end, 31);
  const char *algo = p - algolen;
  skip_space(&p, end);
  if (algolen == 0 || p == end || *p++ != '(') return -1;
  const char *name = p;
  while (p < end && *p != ')' && p - name < 1023) p++;
  if (p == name || p == end || *p++ != ')') return -1;
  skip_space(&p, end);
  if (p == end || *p++ != '=') return -1;
  const size_t hexlen = token(&p, end, 223);
  if (hexlen == 0) return -1;
  unsigned char digest[32];
  if (algolen != 6 || memcmp(algo, "SHA256", 6) != 0 || hexlen != 64 || unhex(p - hexlen, 64, digest) != 0) return 0;
  return memcmp(digest, sha256, sizeof digest) == 0 ? 1 : 0;
}

// The signed list (len bytes, up to a NUL as signify reads it): every line
// readable, one carrying sha256. The last line may lack its newline.
int vouches(const char *list, size_t len, const unsigned char *sha256, sig_result_t *why) {
  len = strnlen(list, len);
  bool found = false;
  while (len > 0) {
    const char *nl = static_cast<const char *>(memchr(list, '\n', len));
    const size_t n = nl == nullptr ? len : static_cast<size_t>(nl - list);
    why->line++;
    const int r = list_line(list, n, sha256);
    if (r < 0) return refuse(why, kSigBadLine);
    found = found || r == 1;
    const size_t step = n + (nl != nullptr);  // and the newline
    list += step;
    len -= step;
  }
  why->line = 0;
  if (!found) return refuse(why, kSigNotListed);
  why->reason = kSigGood;
  return UpdateSuccess;
}

// The newline that ends the line at p (n bytes left), or nullptr where the
// text or a NUL ends first: signify reads its two lines as C strings.
const char *line_end(const char *p, size_t n) {
  const char *nl = static_cast<const char *>(memchr(p, '\n', n));
  return nl != nullptr && memchr(p, '\0', static_cast<size_t>(nl - p)) == nullptr ? nl : nullptr;
}

}  // namespace

int sig_path(const char *filepath, char *out) {
  const size_t len = strlen(filepath);
  if (len + sizeof ".sig" > kSigPathLen) return -1;
  memcpy(out, filepath, len);
  memcpy(out + len, ".sig", sizeof ".sig");
  return 0;
}

int check_signature(const char *filepath, const unsigned char *sha256, struct stat *sig_st, sig_result_t *why) {
  static char text[kSigFileMax + 1];
  memset(why, 0, sizeof *why);
  const ssize_t got = read_sig(filepath, text, sig_st, why);
  if (got < 0) return SignatureError;
  const size_t len = static_cast<size_t>(got);

  // The comment line (a comment of 1 to 1023 bytes), the signature line,
  // then the message: a detached signature (none) vouches for no list.
  const size_t header = sizeof kCommentHeader - 1;
  const char *nl = line_end(text, len);
  if (nl == nullptr || static_cast<size_t>(nl - text) <= header || static_cast<size_t>(nl - text) > header + kCommentMax ||
      memcmp(text, kCommentHeader, header) != 0)
    return refuse(why, kSigMalformed);
  const char *b64 = nl + 1;
  const char *end = line_end(b64, len - static_cast<size_t>(b64 - text));
  unsigned char sig[kSigLen], pub[kPubLen];
  if (end == nullptr || decode_line(b64, static_cast<size_t>(end - b64), sig, kSigLen) != 0 ||
      end + 1 == text + len)
    return refuse(why, kSigMalformed);
  why->keyed = true;
  memcpy(why->key, sig + 2, kKeyNumLen);
  if (find_key(sig, pub) != 0) return refuse(why, kSigUntrusted);
  const char *msg = end + 1;
  const size_t msglen = len - static_cast<size_t>(msg - text);
  // Verification needs no state that sodium_init sets up, and skipping it
  // keeps the random number generator, which can block early at boot, out.
  if (crypto_sign_ed25519_verify_detached(sig + 2 + kKeyNumLen, reinterpret_cast<const unsigned char *>(msg), msglen,
                                          pub + 2 + kKeyNumLen) != 0)
    return refuse(why, kSigBadSignature);
  return vouches(msg, msglen, sha256, why);
}
