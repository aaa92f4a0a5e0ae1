// Signed checksum lists beside upgrade files, in builds with trusted keys.
#ifndef FWVET_SIGNATURE_H
#define FWVET_SIGNATURE_H

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>

// Room for FILE.sig's path, with its NUL: fwpack takes paths of any length.
constexpr size_t kSigPathLen = PATH_MAX;

// Why a signed list vouches for a file or not: one check, which fwvet reports
// as a status and fwpack in words.
enum sig_reason {
  kSigUnchecked,     // the file failed before its signature was looked at
  kSigGood,          // a trusted key's list carries the file's SHA-256
  kSigMissing,       // no FILE.sig
  kSigNotFile,       // not a regular file of at most 64 KiB
  kSigMalformed,     // not an embedded signify signature (a detached one too)
  kSigUntrusted,     // signed by a key this build does not trust
  kSigBadSignature,  // a trusted key's signature that does not verify
  kSigBadLine,       // a list line that signify would not read
  kSigNotListed,     // no SHA256 line carries the file's digest
};

struct sig_result_t {
  sig_reason reason;
  bool keyed;                // the signature line named a key number
  unsigned char key[8];      // that number, where keyed
  unsigned long line;        // the unreadable line, 1 the first, for kSigBadLine
};

// FILE.sig beside filepath, in out (kSigPathLen bytes): 0, or -1 where the
// path is too long.
int sig_path(const char *filepath, char *out);

// Checks FILE.sig beside filepath: a signify embedded signature, that is the
// line "untrusted comment: " and 1 to 1023 bytes, the base64 of "Ed", an
// 8-byte key number and an Ed25519 signature (neither line holding a NUL),
// then the signed message, a checksum list whose lines read as signify reads
// them: "ALGO (NAME) = DIGEST", white space around the tokens, text after
// the digest ignored. The message must verify with the compiled-in key of
// that number, every line must read so, and one SHA256 line must carry
// sha256, the SHA-256 of the whole upgrade file, in lower-case hex; lines of
// other algorithms (SHA512 among them) never vouch, and NAME is not compared.
// Returns UpdateSuccess or SignatureError; sig gets FILE.sig's fstat, why
// the reason.
int check_signature(const char *filepath, const unsigned char *sha256, struct stat *sig, sig_result_t *why);

#endif
