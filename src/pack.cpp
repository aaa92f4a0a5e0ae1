// Packing: the payload streamed once, digested and copied into a new file
// beside OUT after room for the header, the header written last, the file
// made durable and renamed over OUT. OUT appears whole or not at all, and the
// new file is unnamed until the rename where the file system allows.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fdio.h"
#include "fwpack.h"
#include "md5.h"
#include "sysupdate.h"

namespace {

constexpr size_t kHeaderLen = sizeof(fmw_hdr_t);
constexpr size_t kTextMax = sizeof(fmw_hdr_t::model) - 1;  // and a NUL
constexpr size_t kBlock = 65536;
// fwvet refuses to extract a payload of 2 GiB or more.
constexpr unsigned long long kMaxPayload = 0x7FFFFFFF;
constexpr char kTempPrefix[] = ".fwpack.";
constexpr int kNameTries = 16;

unsigned char g_block[kBlock];

// The named temporary, removed by a signal that ends the run.
int g_dirfd = -1;
char g_tmpname[sizeof kTempPrefix + 16];
volatile sig_atomic_t g_named;

void remove_temp(int sig) {
  if (g_named) unlinkat(g_dirfd, g_tmpname, 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

// A number of plain digits, decimal or, where hex is allowed, after 0x, of
// at most max: no sign, space or other base. 0 or -1.
int parse_number(const char *s, bool hex, unsigned long long max, unsigned long long *out) {
  const unsigned base = hex && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') ? 16 : 10;
  if (base == 16) s += 2;
  if (*s == '\0') return -1;
  unsigned long long v = 0;
  for (; *s != '\0'; s++) {
    const unsigned c = static_cast<unsigned char>(*s), lower = c | 0x20;
    unsigned d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && lower >= 'a' && lower <= 'f')
      d = lower - 'a' + 10;
    else
      return -1;
    if (v > (max - d) / base) return -1;
    v = v * base + d;
  }
  *out = v;
  return 0;
}

// A text field, padded with NUL bytes; refused rather than cut.
int set_text(unsigned char *field, const char *text, const char *option) {
  const size_t len = strlen(text);
  if (len > kTextMax) {
    fprintf(stderr, "fwpack: %s \"%s\": longer than %zu bytes\n", option, text, kTextMax);
    return kFailed;
  }
  memcpy(field, text, len);
  return 0;
}

// The header's fields from the options, all but the digest.
int make_header(const pack_args_t &a, fmw_hdr_t *hdr) {
  memset(hdr, 0, sizeof *hdr);
  fmw_store32(&hdr->magicnum, FMW_MAGIC);
  unsigned long long type = 0;
  if (parse_number(a.type, true, 255, &type) != 0) {
    fprintf(stderr, "fwpack: -t \"%s\": not a number from 0 to 255\n", a.type);
    return kFailed;
  }
  hdr->type = static_cast<uint8_t>(type);
  if (set_text(hdr->model, a.model, "-m") != 0 || set_text(hdr->swver, a.swver, "-s") != 0 ||
      set_text(hdr->hwver, a.hwver, "-w") != 0)
    return kFailed;
  // SOURCE_DATE_EPOCH, where set, makes builds reproducible: a decimal count
  // of seconds that the header's unsigned 32-bit field can hold.
  const char *epoch = getenv("SOURCE_DATE_EPOCH");
  unsigned long long now = static_cast<unsigned long long>(time(nullptr));
  if (epoch != nullptr && parse_number(epoch, false, 0xFFFFFFFFu, &now) != 0) {
    fprintf(stderr, "fwpack: SOURCE_DATE_EPOCH \"%s\": not a whole number of seconds from 0 to 4294967295\n", epoch);
    return kFailed;
  }
  fmw_store32(&hdr->time, static_cast<uint32_t>(now));
  return 0;
}

// Streams the payload into tmp after room for the header, then writes the
// header with the payload's digest and makes the file durable.
int write_upgrade(int in, int tmp, fmw_hdr_t *hdr, const pack_args_t &a) {
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(tmp, 0666 & ~mask) != 0) return complain(a.out, strerror(errno));
  if (lseek(tmp, static_cast<off_t>(kHeaderLen), SEEK_SET) < 0) return complain(a.out, strerror(errno));

  MD5_CTX ctx;
  MD5_Init(&ctx);
  unsigned long long total = 0;
  for (;;) {
    const ssize_t n = read(in, g_block, sizeof g_block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return complain(a.payload, strerror(errno));
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > kMaxPayload) return complain(a.payload, "2 GiB or more: fwvet would refuse to extract it");
    MD5_Update(&ctx, g_block, static_cast<unsigned int>(n));
    if (write_all(tmp, g_block, static_cast<size_t>(n)) != 0) return complain(a.out, strerror(errno));
  }
  MD5_Final(hdr->md5, &ctx);

  const ssize_t n = pwrite(tmp, hdr, kHeaderLen, 0);
  if (n < 0) return complain(a.out, strerror(errno));
  if (n != static_cast<ssize_t>(kHeaderLen)) return complain(a.out, "short write");
  if (fsync(tmp) != 0) return complain(a.out, strerror(errno));
  return 0;
}

// A new file in dirfd: unnamed where the file system can, otherwise under a
// fresh name in g_tmpname, which a signal that ends the run removes.
int open_temp(int dirfd) {
  const int fd = openat(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  for (int k = 0; k < kNameTries; k++) {
    fresh_name(g_tmpname, kTempPrefix);
    g_named = 1;
    const int named = openat(dirfd, g_tmpname, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named >= 0) return named;
    g_named = 0;
    if (errno != EEXIST) break;
  }
  return -1;
}

// Gives the unnamed file fd a fresh name in dirfd, for rename to move.
int link_fresh(int dirfd, int fd) {
  for (int k = 0; k < kNameTries; k++) {
    fresh_name(g_tmpname, kTempPrefix);
    g_named = 1;
    if (link_unnamed(fd, dirfd, g_tmpname) == 0) return 0;
    g_named = 0;
    if (errno != EEXIST) break;
  }
  return -1;
}

// Writes base, in dirfd, from the open payload.
int pack_in(int dirfd, const char *base, int in, fmw_hdr_t *hdr, const pack_args_t &a) {
  g_dirfd = dirfd;
  signal(SIGHUP, remove_temp);
  signal(SIGINT, remove_temp);
  signal(SIGTERM, remove_temp);
  const int tmp = open_temp(dirfd);
  if (tmp < 0) return complain(a.out, strerror(errno));
  int status = write_upgrade(in, tmp, hdr, a);
  if (status == 0 && !g_named && link_fresh(dirfd, tmp) != 0) status = complain(a.out, strerror(errno));
  if (status == 0 && renameat(dirfd, g_tmpname, dirfd, base) != 0) status = complain(a.out, strerror(errno));
  if (status != 0 && g_named) unlinkat(dirfd, g_tmpname, 0);
  g_named = 0;
  if (close(tmp) != 0 && status == 0) status = complain(a.out, strerror(errno));
  if (status == 0 && fsync(dirfd) != 0) status = complain(a.out, "cannot sync its directory");
  return status;
}

// Writes a.out from the open payload, through a new file beside it.
int pack_from(int in, fmw_hdr_t *hdr, const pack_args_t &a) {
  char dir[PATH_MAX];
  if (snprintf(dir, sizeof dir, "%s", a.out) >= static_cast<int>(sizeof dir)) return complain(a.out, strerror(ENAMETOOLONG));
  char *slash = strrchr(dir, '/');
  const char *base = slash == nullptr ? a.out : a.out + (slash - dir) + 1;
  if (slash == nullptr)
    strcpy(dir, ".");
  else
    slash[slash == dir ? 1 : 0] = '\0';
  if (*base == '\0') return complain(a.out, strerror(EISDIR));
  const int dirfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return complain(a.out, strerror(errno));
  const int status = pack_in(dirfd, base, in, hdr, a);
  close(dirfd);  // synced, or the pack failed anyway
  return status;
}

// Packs from the open payload.
int pack_open(int in, fmw_hdr_t *hdr, const pack_args_t &a) {
  struct stat st;
  if (fstat(in, &st) != 0) return complain(a.payload, strerror(errno));
  if (S_ISDIR(st.st_mode)) return complain(a.payload, strerror(EISDIR));
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxPayload)
    return complain(a.payload, "2 GiB or more: fwvet would refuse to extract it");
  return pack_from(in, hdr, a);
}

}  // namespace

int pack(pack_args_t a) {
  if (a.out[0] == '\0') return complain("-o", "empty path");
  if (a.payload[0] == '\0') return complain("payload", "empty path");
  fmw_hdr_t hdr;
  if (make_header(a, &hdr) != 0) return kFailed;
  // The rename would put a regular file in place of a device, a FIFO or a
  // directory.
  struct stat st;
  if (stat(a.out, &st) == 0 && !S_ISREG(st.st_mode)) return complain(a.out, "not a regular file");

  if (strcmp(a.payload, "-") == 0) {
    a.payload = "standard input";
    return pack_open(STDIN_FILENO, &hdr, a);
  }
  const int in = open(a.payload, O_RDONLY | O_CLOEXEC);
  if (in < 0) return complain(a.payload, strerror(errno));
  const int status = pack_open(in, &hdr, a);
  close(in);  // only read from
  return status;
}
