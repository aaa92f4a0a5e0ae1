// The check: header, magic, size and the payload's MD5, read with pread into
// one aligned buffer that the digest takes its words from.
#include "verdict.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "fdio.h"
#include "md5.h"
#ifdef FWVET_IDENTITY
#include "identity.h"
#endif
#ifdef FWVET_SIGNED
#include "sha256.h"
#include "signature.h"
#endif

namespace {

constexpr size_t kHeaderLen = sizeof(fmw_hdr_t);
constexpr size_t kDigestBlock = 65536;
// The copy counts down a signed 32-bit remainder.
constexpr off_t kMaxPayload = 0x7FFFFFFF;

// 0 when the bytes of fd from offset 128 to the end of the file digest to
// md5, -1 otherwise (a failed read included); the digest and the length in v.
// Builds with keys take the SHA-256 of the whole file from the same reads.
int md5_check(const unsigned char *md5, int fd, verdict_t *v) {
  // Read straight into a buffer that the digest takes aligned words from: no
  // byte is copied twice. Static, not on the stack: some devices run with
  // small stacks.
  alignas(64) static unsigned char buf[kDigestBlock];
  off_t at = static_cast<off_t>(kHeaderLen);

  MD5_CTX ctx;
  MD5_Init(&ctx);
#ifdef FWVET_SIGNED
  SHA256_CTX sha;
  SHA256_Init(&sha);
  SHA256_Update(&sha, reinterpret_cast<const unsigned char *>(&v->hdr), kHeaderLen);
#endif
  for (;;) {
    const ssize_t n = pread_full(fd, buf, sizeof buf, at);
    if (n < 0) {
      v->error = errno;
      return -1;
    }
    MD5_Update(&ctx, buf, static_cast<unsigned int>(n));
#ifdef FWVET_SIGNED
    SHA256_Update(&sha, buf, static_cast<size_t>(n));
#endif
    at += n;
    if (static_cast<size_t>(n) < sizeof buf) break;
  }
  MD5_Final(v->md5, &ctx);
#ifdef FWVET_SIGNED
  SHA256_Final(v->sha256, &sha);
#endif
  v->digested = true;
  v->payload = static_cast<uint64_t>(at) - kHeaderLen;
  return memcmp(md5, v->md5, sizeof v->md5) == 0 ? 0 : -1;
}

#ifdef FWVET_IDENTITY
// A header text field is its bytes before the first NUL, all 32 where there
// is none; it matches a name of the list only in full, byte for byte.
bool named(const unsigned char *field, const char *const *names) {
  if (names[0] == nullptr) return true;
  size_t len = 0;
  while (len < 32 && field[len] != '\0') len++;
  for (; *names != nullptr; names++)
    if (strlen(*names) == len && memcmp(field, *names, len) == 0) return true;
  return false;
}

// The header against the identity compiled in: a type, a model and a
// hardware revision of this device, not the running release, not older than
// the floor. The first that fails decides.
int identity_status(const fmw_hdr_t *hdr) {
  bool type = kIdTypes[0] < 0;
  for (const int *t = kIdTypes; *t >= 0; t++) type = type || *t == hdr->type;
  if (!type) return SYSTYPEError;
  if (!named(hdr->model, kIdModels)) return VersionApNameError;
  if (!named(hdr->hwver, kIdHwvers)) return HardVerError;
  if (kIdSwver[0] != nullptr && named(hdr->swver, kIdSwver)) return SoftVerSame;
#ifdef FWVET_FLOOR
  if (fmw_load32(&hdr->time) < kIdNotBefore) return SoftVerOld;
#endif
  return UpdateSuccess;
}
#endif

bool too_big(const struct stat *st) {
  uint32_t len = 0;
  return getsize(st, &len) == FileLenError;
}

}  // namespace

int check_fd(int fd, check_mode mode, verdict_t *v) {
  const ssize_t n = pread_full(fd, reinterpret_cast<unsigned char *>(&v->hdr), kHeaderLen, 0);
  if (n != static_cast<ssize_t>(kHeaderLen)) {
    if (n < 0) v->error = errno;
    return FileReadHeadFail;
  }
  v->header = true;
  const bool magic = fmw_load32(&v->hdr.magicnum) == FMW_MAGIC;
  if (!magic && mode != kInspect) return FileFormatError;
#ifdef FWVET_IDENTITY
  // A file for another device or release is refused before its payload is
  // read; fwpack reads it all the same, to show its digest.
  const int identity = identity_status(&v->hdr);
  if (identity != UpdateSuccess && mode != kInspect) return identity;
#endif
  if (mode == kExtract && too_big(&v->st)) return FileLenError;
  const int digest = md5_check(v->hdr.md5, fd, v);
  if (!magic) return FileFormatError;
#ifdef FWVET_IDENTITY
  if (identity != UpdateSuccess) return identity;
#endif
  return digest == 0 ? UpdateSuccess : Md5Error;
}

int open_upgrade(const char *filepath, int *fd, struct stat *st) {
  *fd = open(filepath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd < 0) return FileIsnotExit;
  if (fstat(*fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(*fd);
    return FileReadHeadFail;
  }
  return UpdateSuccess;
}

int getsize(const struct stat *st, uint32_t *len) {
  if (st->st_size < static_cast<off_t>(kHeaderLen)) return FileReadHeadFail;
  if (st->st_size - static_cast<off_t>(kHeaderLen) > kMaxPayload) return FileLenError;
  *len = static_cast<uint32_t>(st->st_size - static_cast<off_t>(kHeaderLen));
  return UpdateSuccess;
}

int vet_file(const char *filepath, check_mode mode, verdict_t *v) {
  memset(v, 0, sizeof *v);
  int fd = -1;
  errno = 0;
  const int opened = open_upgrade(filepath, &fd, &v->st);
  if (opened != UpdateSuccess) {
    v->error = errno;
    return opened;
  }
  int status = check_fd(fd, mode, v);
#ifdef FWVET_SIGNED
  // Only a file that passes without keys is a question for the signature:
  // the statuses of such a build keep their meaning.
  if (status == UpdateSuccess) status = check_signature(filepath, v->sha256, &v->sig, &v->why);
#endif
  // Only read from: a failed close loses nothing.
  close(fd);
  return status;
}

int extract_status(int status, const verdict_t *v) {
  if ((status == UpdateSuccess || status == Md5Error) && too_big(&v->st)) return FileLenError;
  return status;
}
