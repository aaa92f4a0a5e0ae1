// Staging the payload: copy into a new file in /tmp, make it durable, rename
// it over the staging name, make it durable again under that name, with /tmp
// and its file system. The staging name thus holds the previous payload or
// the new one, whole, whatever happens to the run.
// musl names the 64-bit directory records (which are its only ones) after
// glibc's only with this.
#define _LARGEFILE64_SOURCE 1
#include "staging.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "fdio.h"
#include "md5.h"
#include "sysupdate.h"
#ifdef FWVET_SIGNED
#include "sha256.h"
#endif

namespace {

constexpr char kStagingDir[] = "/tmp";
constexpr char kStagingName[] = "flsbfile.tar.gz";
constexpr char kTempPrefix[] = ".flsbfile.tar.gz.";
constexpr size_t kTempName = sizeof kTempPrefix + 16;  // 16 hex digits
constexpr int kNameTries = 16;
constexpr size_t kCopyBlock = 10240;
constexpr size_t kDirBlock = 4096;

// Whether st is the file st2 is.
bool same_file(const struct stat *st, const struct stat *st2) {
  return st->st_dev == st2->st_dev && st->st_ino == st2->st_ino;
}

// The permission bits for the new staging file, or WriteFlashError where the
// staging name holds anything but a file of ours that no one else can have
// written: replacing a file is no harm, but its mode tells what it was for.
int staging_mode(int dirfd, const struct stat *upgrade, mode_t *mode) {
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  if (fstatat(dirfd, kStagingName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return WriteFlashError;
    *mode = 0666 & ~mask & ~static_cast<mode_t>(022);
    return UpdateSuccess;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 || (st.st_mode & 022) != 0)
    return WriteFlashError;
  // Renaming over the upgrade file would lose the payload it holds.
  if (same_file(&st, upgrade)) return WriteFlashError;
  *mode = st.st_mode & 0777;
  return UpdateSuccess;
}

// A new file in /tmp for the copy: unnamed where the file system can, so that
// a run killed during the copy leaves nothing behind; otherwise under a fresh
// name, handed back in name (empty for an unnamed file).
int open_temp(int dirfd, char *name) {
  name[0] = '\0';
  const int fd = openat(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // EISDIR: a kernel older than O_TMPFILE; EOPNOTSUPP: a file system without.
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  for (int k = 0; k < kNameTries; k++) {
    fresh_name(name, kTempPrefix);
    const int named = openat(dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named >= 0) return named;
    if (errno != EEXIST) break;
  }
  name[0] = '\0';
  return -1;
}

// A name of exactly the form fresh_name makes.
bool is_temp_name(const char *name) {
  if (strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) != 0) return false;
  const char *hex = name + sizeof kTempPrefix - 1;
  for (size_t k = 0; k < 16; k++)
    if (!((hex[k] >= '0' && hex[k] <= '9') || (hex[k] >= 'a' && hex[k] <= 'f'))) return false;
  return hex[16] == '\0';
}

// Removes the temporaries that a run cut short by a power failure left in
// /tmp where it had to name them: ours alone, never through a link, and never
// the upgrade file being vetted nor its signed list, however named. Only
// their owner may rename or remove them in the sticky /tmp, so the name
// still holds what fstatat saw. A failure only leaves them for the next run.
void remove_stale(int dirfd, const struct stat *upgrade, [[maybe_unused]] const verdict_t *checked) {
  // getdents64, not opendir: the tool allocates nothing.
  alignas(struct dirent64) static char buf[kDirBlock];
  for (;;) {
    const ssize_t n = getdents64(dirfd, reinterpret_cast<struct dirent64 *>(buf), sizeof buf);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const struct dirent64 *entry = reinterpret_cast<const struct dirent64 *>(buf + at);
      at += entry->d_reclen;
      struct stat st;
      if (!is_temp_name(entry->d_name) || fstatat(dirfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      bool stale = S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 && !same_file(&st, upgrade);
#ifdef FWVET_SIGNED
      stale = stale && !same_file(&st, &checked->sig);
#endif
      if (stale) static_cast<void>(unlinkat(dirfd, entry->d_name, 0));
    }
  }
}

// Gives the unnamed file fd a fresh name in /tmp, for rename to move.
int link_fresh(int dirfd, int fd, char *name) {
  for (int k = 0; k < kNameTries; k++) {
    fresh_name(name, kTempPrefix);
    if (link_unnamed(fd, dirfd, name) == 0) return 0;
    if (errno != EEXIST) break;
  }
  name[0] = '\0';
  return -1;
}

#ifdef FWVET_SIGNED
// Where the copy is not the signed file: Md5Error where its payload's MD5
// differs from the checked header's too, as a build without keys would say,
// else SignatureError (an MD5 twin, which such a build would stage). The
// copy, not the upgrade file, is digested: it is what would be staged.
int changed_status(int fd, uint32_t len, const unsigned char *md5, unsigned char *buf) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  for (off_t at = 0; at < static_cast<off_t>(len);) {
    const size_t n = static_cast<off_t>(len) - at < static_cast<off_t>(kCopyBlock) ? static_cast<size_t>(len - at) : kCopyBlock;
    if (pread_full(fd, buf, n, at) != static_cast<ssize_t>(n)) return Md5Error;
    MD5_Update(&ctx, buf, static_cast<unsigned int>(n));
    at += static_cast<off_t>(n);
  }
  unsigned char md5cal[16];
  MD5_Final(md5cal, &ctx);
  return memcmp(md5, md5cal, sizeof md5cal) == 0 ? SignatureError : Md5Error;
}
#endif

// Copies the len payload bytes of in to fd, digesting them on the way: the
// copy must be exactly the payload that was verified, and the upgrade file
// must end where the payload does. With keys, the header as read now and the
// payload as written must have the SHA-256 that the signed list carries
// (which implies the MD5 the check verified): an MD5 twin put in place after
// the check is never staged.
int copy_payload(int in, int fd, uint32_t len, const verdict_t *checked) {
  alignas(8) unsigned char buf[kCopyBlock];  // whole words for the digest
#ifdef FWVET_SIGNED
  SHA256_CTX sha;
  SHA256_Init(&sha);
  if (pread_full(in, buf, sizeof(fmw_hdr_t), 0) != static_cast<ssize_t>(sizeof(fmw_hdr_t))) return Md5Error;
  SHA256_Update(&sha, buf, sizeof(fmw_hdr_t));
#else
  MD5_CTX ctx;
  MD5_Init(&ctx);
#endif
  int32_t remain = static_cast<int32_t>(len);
  off_t at = static_cast<off_t>(sizeof(fmw_hdr_t));
  do {
    const size_t getlen = remain < static_cast<int32_t>(kCopyBlock) ? static_cast<size_t>(remain) : kCopyBlock;
    if (pread_full(in, buf, getlen, at) != static_cast<ssize_t>(getlen)) return Md5Error;
    at += static_cast<off_t>(getlen);
#ifndef FWVET_SIGNED
    MD5_Update(&ctx, buf, static_cast<unsigned int>(getlen));
#endif
    if (write_all(fd, buf, getlen) != 0) return WriteFlashError;
#ifdef FWVET_SIGNED
    SHA256_Update(&sha, buf, getlen);
#endif
    remain -= static_cast<int32_t>(getlen);
  } while (remain > 0);
  if (pread_full(in, buf, 1, at) != 0) return Md5Error;

#ifdef FWVET_SIGNED
  unsigned char shacal[32];
  SHA256_Final(shacal, &sha);
  if (memcmp(checked->sha256, shacal, sizeof shacal) != 0) return changed_status(fd, len, checked->hdr.md5, buf);
#else
  unsigned char md5cal[16];
  MD5_Final(md5cal, &ctx);
  if (memcmp(checked->hdr.md5, md5cal, sizeof md5cal) != 0) return Md5Error;
#endif
  return UpdateSuccess;
}

// Makes the renamed file fd durable under the staging name. Where a file
// system keeps a file's size and first block in its directory entry (FAT),
// the fsync before the rename wrote the entry of the temporary name; only one
// now writes the staging name's. syncfs covers any file system whose fsync
// does not reach the rename itself; on a tmpfs both cost nothing.
int make_durable(int dirfd, int fd) {
  if (fsync(fd) != 0 || fsync(dirfd) != 0) return -1;
  return syncfs(dirfd);
}

// The staging step proper, with the lock on /tmp (dirfd) held.
int stage_locked(int dirfd, int in, const struct stat *upgrade, uint32_t len, const verdict_t *checked) {
  remove_stale(dirfd, upgrade, checked);
  mode_t mode = 0;
  int status = staging_mode(dirfd, upgrade, &mode);
  if (status != UpdateSuccess) return status;

  char name[kTempName];
  const int fd = open_temp(dirfd, name);
  if (fd < 0) return WriteFlashError;
  status = copy_payload(in, fd, len, checked);
  if (status == UpdateSuccess && (fchmod(fd, mode) != 0 || fsync(fd) != 0)) status = WriteFlashError;
  if (status == UpdateSuccess && name[0] == '\0' && link_fresh(dirfd, fd, name) != 0) status = WriteFlashError;
  if (status == UpdateSuccess && renameat(dirfd, name, dirfd, kStagingName) != 0) status = WriteFlashError;
  // A temporary that cannot be removed is left behind: the run fails anyway.
  if (status != UpdateSuccess && name[0] != '\0') static_cast<void>(unlinkat(dirfd, name, 0));
  // From the rename on, the staging name holds the new payload whatever
  // follows; a failure still keeps the upgrade file, so nothing is lost.
  if (status == UpdateSuccess && make_durable(dirfd, fd) != 0) status = WriteFlashError;
  if (close(fd) != 0 && status == UpdateSuccess) status = WriteFlashError;
  return status;
}

}  // namespace

int stage_payload(int in, const struct stat *upgrade, uint32_t len, const verdict_t *checked) {
  const int dirfd = open(kStagingDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return WriteFlashError;
  // One run stages at a time. Another run that finds the lock held gives up
  // at once rather than be told it succeeded while this one replaces its
  // payload. The lock goes with the descriptor, even when the run is killed.
  int status = WriteFlashError;
  if (flock(dirfd, LOCK_EX | LOCK_NB) == 0) status = stage_locked(dirfd, in, upgrade, len, checked);
  if (close(dirfd) != 0 && status == UpdateSuccess) status = WriteFlashError;
  return status;
}
