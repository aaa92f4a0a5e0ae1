// fwpack: make an upgrade file from a payload, or show what one holds.
//
//   fwpack [-t TYPE] [-m MODEL] [-s SWVER] [-w HWVER] -o OUT PAYLOAD
//   fwpack -i FILE
//
// Packing streams the payload once, digesting and copying it into a temporary
// file beside OUT, writes the header last, and renames the file over OUT once
// it is durable: OUT appears whole or not at all.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fdio.h"
#include "md5.h"
#include "sysupdate.h"

namespace {

constexpr size_t kHeaderLen = sizeof(fmw_hdr_t);
constexpr size_t kTextMax = sizeof(fmw_hdr_t::model) - 1;  // and a NUL
constexpr size_t kBlock = 65536;
// fwvet refuses to extract a payload of 2 GiB or more.
constexpr unsigned long long kMaxPayload = 0x7FFFFFFF;

// Exit statuses besides 0 and, for -i, fwvet's own.
constexpr int kFailed = 1;
constexpr int kUsage = 64;

unsigned char g_block[kBlock];

void usage(FILE *out) {
  fputs("usage: fwpack [-t TYPE] [-m MODEL] [-s SWVER] [-w HWVER] -o OUT PAYLOAD\n"
        "       fwpack -i FILE\n"
        "       fwpack -h\n",
        out);
}

int complain(const char *what, const char *reason) {
  fprintf(stderr, "fwpack: %s: %s\n", what, reason);
  return kFailed;
}

struct pack_args_t {
  const char *type, *model, *swver, *hwver, *out, *payload;
};

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
  char *end = nullptr;
  errno = 0;
  const bool hex = a.type[0] == '0' && (a.type[1] == 'x' || a.type[1] == 'X');
  const unsigned long type = strtoul(a.type, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || *a.type == '\0' || *a.type == '-' || type > 255) {
    fprintf(stderr, "fwpack: -t \"%s\": not a number from 0 to 255\n", a.type);
    return kFailed;
  }
  hdr->type = static_cast<uint8_t>(type);
  if (set_text(hdr->model, a.model, "-m") != 0 || set_text(hdr->swver, a.swver, "-s") != 0 ||
      set_text(hdr->hwver, a.hwver, "-w") != 0)
    return kFailed;
  // SOURCE_DATE_EPOCH, where set, makes builds reproducible.
  const char *epoch = getenv("SOURCE_DATE_EPOCH");
  const unsigned long long now = epoch ? strtoull(epoch, nullptr, 10) : static_cast<unsigned long long>(time(nullptr));
  fmw_store32(&hdr->time, static_cast<uint32_t>(now));
  return 0;
}

int fsync_dir_of(const char *path) {
  char dir[PATH_MAX];
  if (snprintf(dir, sizeof dir, "%s", path) >= static_cast<int>(sizeof dir)) return -1;
  char *slash = strrchr(dir, '/');
  if (slash == nullptr)
    strcpy(dir, ".");
  else
    slash[slash == dir ? 1 : 0] = '\0';
  return sync_dir(dir);
}

// Streams the payload into tmp after room for the header, then writes the
// header with the payload's digest and makes the file durable.
int write_upgrade(int in, int tmp, fmw_hdr_t *hdr, const pack_args_t &a, const char *tmpname) {
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(tmp, 0666 & ~mask) != 0) return complain(tmpname, strerror(errno));
  if (lseek(tmp, static_cast<off_t>(kHeaderLen), SEEK_SET) < 0) return complain(tmpname, strerror(errno));

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
    if (write_all(tmp, g_block, static_cast<size_t>(n)) != 0) return complain(tmpname, strerror(errno));
  }
  MD5_Final(hdr->md5, &ctx);

  const ssize_t n = pwrite(tmp, hdr, kHeaderLen, 0);
  if (n < 0) return complain(tmpname, strerror(errno));
  if (n != static_cast<ssize_t>(kHeaderLen)) return complain(tmpname, "short write");
  if (fsync(tmp) != 0) return complain(tmpname, strerror(errno));
  return 0;
}

// Writes a.out from a.payload (open as in) through a temporary file beside it.
int pack_from(int in, fmw_hdr_t *hdr, const pack_args_t &a) {
  char tmpname[PATH_MAX];
  if (snprintf(tmpname, sizeof tmpname, "%s.XXXXXX", a.out) >= static_cast<int>(sizeof tmpname))
    return complain(a.out, strerror(ENAMETOOLONG));
  const int tmp = mkostemp(tmpname, O_CLOEXEC);
  if (tmp < 0) return complain(a.out, strerror(errno));

  int status = write_upgrade(in, tmp, hdr, a, tmpname);
  if (close(tmp) != 0 && status == 0) status = complain(tmpname, strerror(errno));
  if (status == 0 && rename(tmpname, a.out) != 0) status = complain(a.out, strerror(errno));
  if (status != 0) {
    unlink(tmpname);
    return status;
  }
  if (fsync_dir_of(a.out) != 0) return complain(a.out, "cannot sync its directory");
  return 0;
}

int pack(const pack_args_t &a) {
  fmw_hdr_t hdr;
  if (make_header(a, &hdr) != 0) return kFailed;

  const int in = open(a.payload, O_RDONLY | O_CLOEXEC);
  if (in < 0) return complain(a.payload, strerror(errno));
  struct stat st;
  int status = 0;
  if (fstat(in, &st) != 0)
    status = complain(a.payload, strerror(errno));
  else if (S_ISDIR(st.st_mode))
    status = complain(a.payload, strerror(EISDIR));
  else if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxPayload)
    status = complain(a.payload, "2 GiB or more: fwvet would refuse to extract it");
  else
    status = pack_from(in, &hdr, a);
  close(in);
  return status;
}

// A header text field as readable text: up to its first NUL, with bytes
// outside printable ASCII escaped.
void print_text(const char *label, const unsigned char *field, size_t size) {
  printf("%-8s \"", label);
  for (size_t k = 0; k < size && field[k] != '\0'; k++) {
    if (field[k] == '"' || field[k] == '\\')
      printf("\\%c", field[k]);
    else if (field[k] >= ' ' && field[k] <= '~')
      putchar(field[k]);
    else
      printf("\\x%02x", field[k]);
  }
  puts("\"");
}

void print_hex(const char *label, const unsigned char *p, size_t n) {
  printf("%-8s ", label);
  for (size_t k = 0; k < n; k++) printf("%02x", p[k]);
  putchar('\n');
}

// Prints the header and the payload's digest; returns the status that
// fwvet's check gives the file.
int inspect_stream(FILE *fp, const char *path) {
  fmw_hdr_t hdr;
  const size_t got = fread(&hdr, 1, kHeaderLen, fp);
  if (got != kHeaderLen) {
    complain(path, ferror(fp) ? strerror(errno) : "shorter than the 128-byte header");
    return FileReadHeadFail;
  }
  const uint32_t magic = fmw_load32(&hdr.magicnum);
  const time_t when = static_cast<time_t>(fmw_load32(&hdr.time));
  struct tm tm;
  char date[64] = "?";
  if (gmtime_r(&when, &tm) != nullptr) strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &tm);

  printf("%-8s %08x (%s)\n", "magic", static_cast<unsigned>(magic), magic == FMW_MAGIC ? "good" : "wrong, not abcd1234");
  printf("%-8s %u\n", "type", hdr.type);
  print_text("model", hdr.model, sizeof hdr.model);
  print_text("swver", hdr.swver, sizeof hdr.swver);
  print_text("hwver", hdr.hwver, sizeof hdr.hwver);
  print_hex("md5", hdr.md5, sizeof hdr.md5);
  printf("%-8s %s (%lu)\n", "time", date, static_cast<unsigned long>(fmw_load32(&hdr.time)));

  MD5_CTX ctx;
  MD5_Init(&ctx);
  unsigned long long total = 0;
  size_t n;
  while ((n = fread(g_block, 1, sizeof g_block, fp)) > 0) {
    MD5_Update(&ctx, g_block, static_cast<unsigned int>(n));
    total += n;
  }
  if (ferror(fp)) {
    complain(path, strerror(errno));
    return Md5Error;
  }
  unsigned char md5[16];
  MD5_Final(md5, &ctx);
  const bool match = memcmp(md5, hdr.md5, sizeof md5) == 0;
  printf("%-8s %llu bytes\n", "payload", total);
  print_hex("digest", md5, sizeof md5);
  printf("%-8s %s\n", "verdict",
         magic != FMW_MAGIC ? "fails: wrong magic number"
         : !match           ? "fails: the payload's digest differs from md5"
                            : "passes");
  return magic != FMW_MAGIC ? FileFormatError : match ? UpdateSuccess : Md5Error;
}

int inspect(const char *path) {
  FILE *fp = fopen(path, "rb");
  if (fp == nullptr) {
    complain(path, strerror(errno));
    return FileIsnotExit;
  }
  printf("%-8s %s\n", "file", path);
  const int status = inspect_stream(fp, path);
  fclose(fp);  // only read from
  if (fflush(stdout) != 0) return complain("standard output", strerror(errno));
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  pack_args_t a = {"0", "", "", "", nullptr, nullptr};
  const char *info = nullptr;
  int opt;
  while ((opt = getopt(argc, argv, "+t:m:s:w:o:i:h")) != -1) {
    switch (opt) {
      case 't': a.type = optarg; break;
      case 'm': a.model = optarg; break;
      case 's': a.swver = optarg; break;
      case 'w': a.hwver = optarg; break;
      case 'o': a.out = optarg; break;
      case 'i': info = optarg; break;
      case 'h': usage(stdout); return 0;
      default: usage(stderr); return kUsage;
    }
  }
  const int operands = argc - optind;
  if (info != nullptr && a.out == nullptr && operands == 0) return inspect(info);
  if (info == nullptr && a.out != nullptr && operands == 1) {
    a.payload = argv[optind];
    return pack(a);
  }
  usage(stderr);
  return kUsage;
}
