// fwvet: vet a firmware upgrade file and, unless only checking, stage its payload.
//
// The result is the exit status (an update_status value) and, for a failure,
// one message line on standard output.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fdio.h"
#include "md5.h"
#ifdef FWVET_SIGNED
#include "signature.h"
#endif
#include "staging.h"
#include "sysupdate.h"

const char *const g_pupdateinfo[kStatusCount] = {
    "<0>upgrade success",
    "<1>no upgrade file",
    "<2>get file head error",
    "<3>file format error",
    "<4>file is too big",
    "<5>dev model error",
    "<6>upgrade same version file",
    "<7>hardware version is error",
    "<8>MD5 check failed",
    "<9>systype error",
    "<10>write flash error",
#ifdef FWVET_SIGNED
    "<11>signature check failed",
#endif
};

namespace {

constexpr size_t kHeaderLen = sizeof(fmw_hdr_t);
constexpr size_t kDigestBlock = 65536;
// The copy counts down a signed 32-bit remainder.
constexpr off_t kMaxPayload = 0x7FFFFFFF;

// 0 when the bytes of fd from offset 128 to the end of the file digest to
// md5, -1 otherwise (a failed read included).
int md5_check(const unsigned char *md5, int fd) {
  // Read straight into a buffer that the digest takes aligned words from: no
  // byte is copied twice. Static, not on the stack: some devices run with
  // small stacks.
  alignas(64) static unsigned char buf[kDigestBlock];
  off_t at = static_cast<off_t>(kHeaderLen);

  MD5_CTX ctx;
  MD5_Init(&ctx);
  for (;;) {
    const ssize_t n = pread_full(fd, buf, sizeof buf, at);
    if (n < 0) return -1;
    MD5_Update(&ctx, buf, static_cast<unsigned int>(n));
    if (static_cast<size_t>(n) < sizeof buf) break;
    at += n;
  }

  unsigned char md5cal[16];
  MD5_Final(md5cal, &ctx);
  return memcmp(md5, md5cal, sizeof md5cal) == 0 ? 0 : -1;
}

// Opens the upgrade file, with its fstat in st. It must be a regular file:
// nothing else is waited on (a FIFO without a writer, a terminal) or read
// twice alike (a pipe).
int open_upgrade(const char *filepath, int *fd, struct stat *st) {
  *fd = open(filepath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd < 0) return FileIsnotExit;
  if (fstat(*fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(*fd);
    return FileReadHeadFail;
  }
  return UpdateSuccess;
}

// The payload length that st gives, refused where the copy could not count it.
int getsize(const struct stat *st, uint32_t *len) {
  if (st->st_size < static_cast<off_t>(kHeaderLen)) return FileReadHeadFail;
  if (st->st_size - static_cast<off_t>(kHeaderLen) > kMaxPayload) return FileLenError;
  *len = static_cast<uint32_t>(st->st_size - static_cast<off_t>(kHeaderLen));
  return UpdateSuccess;
}

// The check proper, on the open file; leaves the header in fmw_hdr. Before
// an extraction, a payload too big to copy is refused without digesting it.
int check_fd(int fd, const struct stat *st, bool extracting, fmw_hdr_t *fmw_hdr) {
  if (pread_full(fd, reinterpret_cast<unsigned char *>(fmw_hdr), kHeaderLen, 0) != static_cast<ssize_t>(kHeaderLen))
    return FileReadHeadFail;
  if (fmw_load32(&fmw_hdr->magicnum) != FMW_MAGIC)
    return FileFormatError;
  uint32_t len = 0;
  if (extracting && getsize(st, &len) == FileLenError) return FileLenError;
  if (md5_check(fmw_hdr->md5, fd) != 0) return Md5Error;
  return UpdateSuccess;
}

// check_file, also handing back the header whose digest it verified and the
// fstat of the file it read.
int check_file_header(const char *filepath, bool extracting, fmw_hdr_t *fmw_hdr, struct stat *st) {
  memset(fmw_hdr, 0, sizeof *fmw_hdr);
  int fd = -1;
  const int opened = open_upgrade(filepath, &fd, st);
  if (opened != UpdateSuccess) return opened;
  int status = check_fd(fd, st, extracting, fmw_hdr);
#ifdef FWVET_SIGNED
  // Only a file that passes without keys is a question for the signature:
  // the statuses of such a build keep their meaning.
  if (status == UpdateSuccess) status = check_signature(filepath, fd);
#endif
  // Only read from: a failed close loses nothing.
  close(fd);
  return status;
}

// Deletes the upgrade file if its path still names the file that was
// checked and copied, whose fstat is copied: not a link to it, nor a file
// renamed over it since. A deletion that fails or is skipped leaves a vetted
// file behind, which is harmless and not reported.
void delete_upgrade(const char *filepath, const struct stat *copied) {
  struct stat st;
  if (lstat(filepath, &st) != 0 || st.st_dev != copied->st_dev || st.st_ino != copied->st_ino) return;
  static_cast<void>(unlink(filepath));
}

// Checks the upgrade file, stages its payload, deletes the upgrade file and
// syncs.
int handle_bin(const char *filepath) {
  fmw_hdr_t fmw_hdr;
  struct stat checked;
  int status = check_file_header(filepath, true, &fmw_hdr, &checked);
  if (status != UpdateSuccess) return status;

  int fd = -1;
  struct stat st;
  status = open_upgrade(filepath, &fd, &st);
  if (status != UpdateSuccess) return status;
  uint32_t filesize = 0;
  // Another file put in its place since the check is not the one vetted.
  if (st.st_dev != checked.st_dev || st.st_ino != checked.st_ino) status = Md5Error;
  if (status == UpdateSuccess) status = getsize(&st, &filesize);
  if (status == UpdateSuccess) status = stage_payload(fd, &st, filesize, fmw_hdr.md5);
  // Only read from: a failed close loses nothing.
  close(fd);
  if (status != UpdateSuccess) return status;

  delete_upgrade(filepath, &st);
  sync();
  return UpdateSuccess;
}

}  // namespace

int check_file(const char *filepath) {
  fmw_hdr_t fmw_hdr;
  struct stat st;
  return check_file_header(filepath, false, &fmw_hdr, &st);
}

void usage() {
  puts("Usage: fwvet [option]");
  puts("    -c     : check upgrade file");
  puts("    -f XX  : name of bin file");
}

int main(int argc, char **argv) {
  int ret = UpdateSuccess;
  int check = 0;
  char path[64];
  bool path_too_long = false;
  path[0] = '\0';

  // The status is the verdict, even where standard output is a pipe that
  // nobody reads.
  signal(SIGPIPE, SIG_IGN);

  int opt;
  while ((opt = getopt(argc, argv, "cf:l:")) != -1) {
    switch (opt) {
      case 'c':
        check = 1;
        break;
      case 'f': {
        // A shortened path could name another file, which extraction would
        // delete: a path that does not fit is refused, not cut. (Copied by
        // hand: the formatted-output code would be the largest part of libc
        // that a check touches.)
        const size_t len = strlen(optarg);
        path_too_long = len >= sizeof path;
        if (!path_too_long) memcpy(path, optarg, len + 1);
        break;
      }
      default:
        usage();
        exit(-1);
    }
  }

  if (path_too_long) {
    ret = FileIsnotExit;
  } else if (path[0] == '\0') {
    // Nothing to vet is not a success.
    usage();
    return FileIsnotExit;
  } else {
    ret = check ? check_file(path) : handle_bin(path);
  }
  if (ret != UpdateSuccess) puts(g_pupdateinfo[ret]);
  return ret;
}
