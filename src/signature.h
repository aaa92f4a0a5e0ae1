// Signed checksum lists beside upgrade files, in builds with trusted keys.
#ifndef FWVET_SIGNATURE_H
#define FWVET_SIGNATURE_H

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>

// Room for FILE.sig's path, with its NUL: fwpack takes paths of any length.
constexpr size_t kSigPathLen = PATH_MAX;

// FILE.sig beside filepath, in out (kSigPathLen bytes): 0, or -1 where the
// path is too long.
int sig_path(const char *filepath, char *out);

// Checks FILE.sig beside filepath: a signify embedded signature, that is the
// line "untrusted comment: ...", the base64 of "Ed", an 8-byte key number and
// an Ed25519 signature, then the signed message, a checksum list whose lines
// read as signify reads them: "ALGO (NAME) = DIGEST", white space around the
// tokens, text after the digest ignored. The message must verify with the
// compiled-in key of that number, every line must read so, and one SHA256
// line must carry sha256, the SHA-256 of the whole upgrade file, in
// lower-case hex; lines of other algorithms (SHA512 among them) never vouch,
// and NAME is not compared.
// Returns UpdateSuccess or SignatureError; sig gets FILE.sig's fstat.
int check_signature(const char *filepath, const unsigned char *sha256, struct stat *sig);

#endif
