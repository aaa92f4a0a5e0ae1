// fwvet: vet a firmware upgrade file and, unless only checking, stage its payload.
//
// The result is the exit status (an update_status value) and, for a failure,
// one message line on standard output.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fdio.h"
#include "md5.h"
#include "sysupdate.h"

const char *const g_pupdateinfo[11] = {
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
};

namespace {

constexpr char kStagingPath[] = "/tmp/flsbfile.tar.gz";
constexpr char kStagingDir[] = "/tmp";
constexpr size_t kHeaderLen = sizeof(fmw_hdr_t);
constexpr size_t kDigestBlock = 1024;
constexpr size_t kCopyBlock = 10240;
constexpr size_t kStreamBuffer = 131072;
// The copy counts down a signed 32-bit remainder.
constexpr off_t kMaxPayload = 0x7FFFFFFF;

// 0 when the bytes from offset 128 to the end of the stream digest to md5,
// -1 otherwise (a failed seek or read included).
int md5_check(const unsigned char *md5, FILE *fp) {
  if (fseeko(fp, static_cast<off_t>(kHeaderLen), SEEK_SET) != 0) return -1;

  MD5_CTX ctx;
  MD5_Init(&ctx);
  unsigned char buf[kDigestBlock];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, fp)) > 0) MD5_Update(&ctx, buf, static_cast<unsigned int>(n));
  if (ferror(fp)) return -1;

  unsigned char md5cal[16];
  MD5_Final(md5cal, &ctx);
  return memcmp(md5, md5cal, sizeof md5cal) == 0 ? 0 : -1;
}

// The check proper, on an open stream; leaves the header in fmw_hdr.
int check_stream(FILE *fp, fmw_hdr_t *fmw_hdr) {
  if (fread(fmw_hdr, 1, kHeaderLen, fp) != kHeaderLen) return FileReadHeadFail;
  if (fmw_load32(&fmw_hdr->magicnum) != FMW_MAGIC)
    return FileFormatError;
  if (md5_check(fmw_hdr->md5, fp) != 0) return Md5Error;
  return UpdateSuccess;
}

// check_file, also handing back the header whose digest it verified.
int check_file_header(const char *filepath, fmw_hdr_t *fmw_hdr) {
  memset(fmw_hdr, 0, sizeof *fmw_hdr);
  FILE *fp = fopen(filepath, "rb");
  if (fp == nullptr) return FileIsnotExit;
  // Fewer, larger reads under the 1 KiB digest reads: the stream's own
  // buffer would be one file system block. Static, not on the stack: some
  // devices run with small stacks.
  static char streambuf[kStreamBuffer];
  if (setvbuf(fp, streambuf, _IOFBF, sizeof streambuf) != 0) {
    // The stream keeps its own buffer: slower, no less correct.
  }
  const int status = check_stream(fp, fmw_hdr);
  // Only read from: a failed close loses nothing.
  fclose(fp);
  return status;
}

// The payload length as the file system now reports it, refused where the
// copy could not count it.
int getsize(const char *path, uint32_t *len) {
  struct stat st;
  if (stat(path, &st) != 0) return FileIsnotExit;
  if (st.st_size < static_cast<off_t>(kHeaderLen)) return FileReadHeadFail;
  if (st.st_size - static_cast<off_t>(kHeaderLen) > kMaxPayload) return FileLenError;
  *len = static_cast<uint32_t>(st.st_size - static_cast<off_t>(kHeaderLen));
  return UpdateSuccess;
}

// Copies len payload bytes from fp (positioned after the header) to fd,
// digesting them on the way: the copy must be exactly the payload that was
// verified, and the upgrade file must end where the payload does.
int copy_payload(FILE *fp, int fd, uint32_t len, const unsigned char *md5) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  unsigned char buf[kCopyBlock];
  int32_t remain = static_cast<int32_t>(len);
  do {
    const size_t getlen = remain < static_cast<int32_t>(kCopyBlock) ? static_cast<size_t>(remain) : kCopyBlock;
    if (fread(buf, 1, getlen, fp) != getlen) return Md5Error;
    MD5_Update(&ctx, buf, static_cast<unsigned int>(getlen));
    if (write_all(fd, buf, getlen) != 0) return WriteFlashError;
    remain -= static_cast<int32_t>(getlen);
  } while (remain > 0);
  if (fgetc(fp) != EOF || ferror(fp)) return Md5Error;

  unsigned char md5cal[16];
  MD5_Final(md5cal, &ctx);
  return memcmp(md5, md5cal, sizeof md5cal) == 0 ? UpdateSuccess : Md5Error;
}

// Removes a failed copy from the staging name. It is emptied first, so that a
// failed unlink still leaves no part of a payload there. Neither result can
// change the outcome: the run has already failed.
void discard_staging(int fd) {
  const int emptied = ftruncate(fd, 0);
  close(fd);
  unlink(kStagingPath);
  static_cast<void>(emptied);
}

// Copies the payload to the staging file and makes it durable. On failure no
// partial payload is left under the staging name.
int stage_payload(FILE *fp, uint32_t len, const unsigned char *md5) {
  unsigned char skip[kHeaderLen];
  if (fread(skip, 1, sizeof skip, fp) != sizeof skip) return FileReadHeadFail;

  // Never through a link, never anything but a regular file. O_NONBLOCK keeps
  // the open of a device node planted there from waiting (a serial line
  // waits for its carrier).
  const int fd = open(kStagingPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return WriteFlashError;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return WriteFlashError;
  }

  int status = WriteFlashError;
  if (ftruncate(fd, 0) == 0) status = copy_payload(fp, fd, len, md5);
  if (status == UpdateSuccess && fsync(fd) != 0) status = WriteFlashError;
  if (status != UpdateSuccess) {
    discard_staging(fd);
    return status;
  }
  if (close(fd) != 0 || sync_dir(kStagingDir) != 0) {
    unlink(kStagingPath);
    return WriteFlashError;
  }
  return UpdateSuccess;
}

// Checks the upgrade file, copies its payload to the staging file, deletes
// the upgrade file and syncs.
int handle_bin(const char *filepath) {
  fmw_hdr_t fmw_hdr;
  int status = check_file_header(filepath, &fmw_hdr);
  if (status != UpdateSuccess) return status;

  uint32_t filesize = 0;
  status = getsize(filepath, &filesize);
  if (status != UpdateSuccess) return status;

  FILE *fp = fopen(filepath, "rb");
  if (fp == nullptr) return FileIsnotExit;
  status = stage_payload(fp, filesize, fmw_hdr.md5);
  // Only read from: a failed close loses nothing.
  fclose(fp);
  if (status != UpdateSuccess) return status;

  // The staged copy is durable by now. A failed deletion leaves a vetted
  // file behind, which is harmless and not reported.
  unlink(filepath);
  sync();
  return UpdateSuccess;
}

}  // namespace

int check_file(const char *filepath) {
  fmw_hdr_t fmw_hdr;
  return check_file_header(filepath, &fmw_hdr);
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
