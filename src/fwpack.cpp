// fwpack: make an upgrade file from a payload, or show what one holds.
//
//   fwpack [-t TYPE] [-m MODEL] [-s SWVER] [-w HWVER] -o OUT PAYLOAD
//   fwpack -i FILE
//   fwpack -j FILE
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
  fputs("usage: fwpack [-t TYPE] [-m MODEL] [-s SWVER] [-w HWVER] -o OUT PAYLOAD|-\n"
        "       fwpack -i FILE\n"
        "       fwpack -j FILE\n"
        "       fwpack -h\n",
        out);
}

int complain(const char *what, const char *reason) {
  // What was printed comes first, also where both streams go to one place.
  fflush(stdout);
  fprintf(stderr, "fwpack: %s: %s\n", what, reason);
  return kFailed;
}

// A refused command line: the reason, then the usage.
int refuse(const char *reason, const char *what = "") {
  fflush(stdout);
  fprintf(stderr, "fwpack: %s%s\n", reason, what);
  usage(stderr);
  return kUsage;
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
  // SOURCE_DATE_EPOCH, where set, makes builds reproducible: a decimal count
  // of seconds that the header's unsigned 32-bit field can hold.
  const char *epoch = getenv("SOURCE_DATE_EPOCH");
  unsigned long long now = static_cast<unsigned long long>(time(nullptr));
  if (epoch != nullptr) {
    now = 0;
    size_t k = 0;
    for (; epoch[k] >= '0' && epoch[k] <= '9' && now <= 0xFFFFFFFFu; k++) now = now * 10 + static_cast<unsigned>(epoch[k] - '0');
    if (k == 0 || epoch[k] != '\0' || now > 0xFFFFFFFFu) {
      fflush(stdout);
      fprintf(stderr, "fwpack: SOURCE_DATE_EPOCH \"%s\": not a whole number of seconds from 0 to 4294967295\n", epoch);
      return kFailed;
    }
  }
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

// Packs from the open payload.
int pack_open(int in, fmw_hdr_t *hdr, const pack_args_t &a) {
  struct stat st;
  if (fstat(in, &st) != 0) return complain(a.payload, strerror(errno));
  if (S_ISDIR(st.st_mode)) return complain(a.payload, strerror(EISDIR));
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxPayload)
    return complain(a.payload, "2 GiB or more: fwvet would refuse to extract it");
  return pack_from(in, hdr, a);
}

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
  close(in);
  return status;
}

// What reading an upgrade file as fwvet's check does tells of it.
struct inspection_t {
  fmw_hdr_t hdr;
  bool header;                 // the 128 header bytes were read
  bool digested;               // and the payload, to its end
  unsigned long long payload;  // its length
  unsigned char digest[16];
  int status;                  // what fwvet -c gives the file
  char error[96];              // why the file could not be read, or ""
};

void examine(const char *path, inspection_t *x) {
  memset(x, 0, sizeof *x);
  FILE *fp = fopen(path, "rb");
  if (fp == nullptr) {
    x->status = FileIsnotExit;
    snprintf(x->error, sizeof x->error, "%s", strerror(errno));
    return;
  }
  x->header = fread(&x->hdr, 1, kHeaderLen, fp) == kHeaderLen;
  if (!x->header) {
    x->status = FileReadHeadFail;
    snprintf(x->error, sizeof x->error, "%s", ferror(fp) ? strerror(errno) : "shorter than the 128-byte header");
  } else {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    size_t n;
    while ((n = fread(g_block, 1, sizeof g_block, fp)) > 0) {
      MD5_Update(&ctx, g_block, static_cast<unsigned int>(n));
      x->payload += n;
    }
    MD5_Final(x->digest, &ctx);
    x->digested = !ferror(fp);
    if (!x->digested) snprintf(x->error, sizeof x->error, "%s", strerror(errno));
    x->status = UpdateSuccess;
    if (!x->digested || memcmp(x->digest, x->hdr.md5, sizeof x->digest) != 0) x->status = Md5Error;
    if (fmw_load32(&x->hdr.magicnum) != FMW_MAGIC) x->status = FileFormatError;
  }
  fclose(fp);  // only read from
}

// What fwvet -f gives the file before it stages anything: it refuses a
// payload too big to copy before it digests it.
int extract_status(const inspection_t &x) {
  if (x.status != FileFormatError && x.digested && x.payload > kMaxPayload) return FileLenError;
  return x.status;
}

const char *verdict(const inspection_t &x) {
  switch (x.status) {
    case UpdateSuccess: return "passes";
    case FileFormatError: return "fails: wrong magic number";
    case Md5Error: return x.digested ? "fails: the payload's digest differs from md5" : "fails: the payload cannot be read";
    case FileReadHeadFail: return "fails: the header cannot be read";
    default: return "fails: the file cannot be opened";
  }
}

constexpr char kTooBig[] = "fwvet -f would refuse it with 4: the payload is 2 GiB or more";

void print_hex(const unsigned char *p, size_t n) {
  for (size_t k = 0; k < n; k++) printf("%02x", p[k]);
}

// Bytes up to the first NUL as quoted text, with quotes and backslashes
// escaped and bytes outside printable ASCII as \xXX, or for JSON as \u00XX,
// so that the text is valid UTF-8 whatever the field holds.
void print_quoted(const unsigned char *p, size_t size, bool json) {
  putchar('"');
  for (size_t k = 0; k < size && p[k] != '\0'; k++) {
    if (p[k] == '"' || p[k] == '\\')
      printf("\\%c", p[k]);
    else if (p[k] >= ' ' && p[k] <= '~')
      putchar(p[k]);
    else
      printf(json ? "\\u%04x" : "\\x%02x", p[k]);
  }
  putchar('"');
}

// A header text field as readable text.
void print_text(const char *label, const unsigned char *field, size_t size) {
  printf("%-8s ", label);
  print_quoted(field, size, false);
  putchar('\n');
}

// The -i report; an error goes to standard error where the report stops.
void report(const char *path, const inspection_t &x) {
  if (x.status == FileIsnotExit) {
    complain(path, x.error);
    return;
  }
  printf("%-8s %s\n", "file", path);
  if (!x.header) {
    complain(path, x.error);
    return;
  }
  const uint32_t magic = fmw_load32(&x.hdr.magicnum);
  const time_t when = static_cast<time_t>(fmw_load32(&x.hdr.time));
  struct tm tm;
  char date[64] = "?";
  if (gmtime_r(&when, &tm) != nullptr) strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &tm);

  printf("%-8s %08x (%s)\n", "magic", static_cast<unsigned>(magic), magic == FMW_MAGIC ? "good" : "wrong, not abcd1234");
  printf("%-8s %u\n", "type", x.hdr.type);
  print_text("model", x.hdr.model, sizeof x.hdr.model);
  print_text("swver", x.hdr.swver, sizeof x.hdr.swver);
  print_text("hwver", x.hdr.hwver, sizeof x.hdr.hwver);
  printf("%-8s ", "md5");
  print_hex(x.hdr.md5, sizeof x.hdr.md5);
  printf("\n%-8s %s (%lu)\n", "time", date, static_cast<unsigned long>(fmw_load32(&x.hdr.time)));
  if (!x.digested) {
    complain(path, x.error);
    return;
  }
  printf("%-8s %llu bytes\n", "payload", x.payload);
  printf("%-8s ", "digest");
  print_hex(x.digest, sizeof x.digest);
  printf("\n%-8s %s\n", "verdict", verdict(x));
  if (extract_status(x) == FileLenError) printf("%-8s %s\n", "extract", kTooBig);
}

void json_field(const char *key, const unsigned char *p, size_t size) {
  printf(",\"%s\":", key);
  print_quoted(p, size, true);
}

// The -j report: one JSON object on one line, whatever was read.
void report_json(const char *path, const inspection_t &x) {
  if (x.error[0] != '\0') complain(path, x.error);
  printf("{\"file\":");
  print_quoted(reinterpret_cast<const unsigned char *>(path), strlen(path), true);
  if (x.header) {
    const uint32_t when = fmw_load32(&x.hdr.time);
    const time_t t = static_cast<time_t>(when);
    struct tm tm;
    char date[32] = "";
    if (gmtime_r(&t, &tm) != nullptr) strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", &tm);
    printf(",\"magic\":\"%08x\",\"type\":%u", static_cast<unsigned>(fmw_load32(&x.hdr.magicnum)), x.hdr.type);
    json_field("model", x.hdr.model, sizeof x.hdr.model);
    json_field("swver", x.hdr.swver, sizeof x.hdr.swver);
    json_field("hwver", x.hdr.hwver, sizeof x.hdr.hwver);
    printf(",\"md5\":\"");
    print_hex(x.hdr.md5, sizeof x.hdr.md5);
    printf("\",\"time\":%lu,\"time_utc\":\"%s\"", static_cast<unsigned long>(when), date);
  }
  if (x.digested) {
    printf(",\"payload\":%llu,\"digest\":\"", x.payload);
    print_hex(x.digest, sizeof x.digest);
    putchar('"');
  }
  printf(",\"status\":%d,\"extract_status\":%d,\"verdict\":\"%s\"", x.status, extract_status(x), verdict(x));
  if (extract_status(x) == FileLenError) printf(",\"extract\":\"%s\"", kTooBig);
  puts("}");
}

// -i and -j: exits with the status that fwvet's check gives the file.
int inspect(const char *path, bool json) {
  inspection_t x;
  examine(path, &x);
  if (json)
    report_json(path, x);
  else
    report(path, x);
  if (fflush(stdout) != 0) return complain("standard output", strerror(errno));
  return x.status;
}

}  // namespace

int main(int argc, char **argv) {
  pack_args_t a = {"0", "", "", "", nullptr, nullptr};
  const char *info = nullptr;
  bool json = false;
  int opt;
  while ((opt = getopt(argc, argv, "+t:m:s:w:o:i:j:h")) != -1) {
    switch (opt) {
      case 't': a.type = optarg; break;
      case 'm': a.model = optarg; break;
      case 's': a.swver = optarg; break;
      case 'w': a.hwver = optarg; break;
      case 'o': a.out = optarg; break;
      case 'i': info = optarg, json = false; break;
      case 'j': info = optarg, json = true; break;
      case 'h': usage(stdout); return 0;
      default: usage(stderr); return kUsage;  // the parser has said why
    }
  }
  const int operands = argc - optind;
  if (info != nullptr) {
    if (a.out != nullptr) return refuse("-i and -j show a file, -o makes one: not both");
    if (operands > 0) return refuse("extra operand: ", argv[optind]);
    return inspect(info, json);
  }
  if (a.out == nullptr) return refuse(operands == 0 ? "nothing to do" : "missing -o OUT");
  if (operands == 0) return refuse("missing payload");
  // Options stop at the payload: one after it would be taken for a file.
  for (int k = optind + 1; k < argc; k++)
    if (argv[k][0] == '-' && argv[k][1] != '\0') return refuse("option after the payload: ", argv[k]);
  if (operands > 1) return refuse("extra operand: ", argv[optind + 1]);
  a.payload = argv[optind];
  return pack(a);
}
