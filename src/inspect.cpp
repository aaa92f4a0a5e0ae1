// Showing an upgrade file: its header in readable form, or as JSON, with the
// verdict that fwvet's own check gives it.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "fwpack.h"
#include "verdict.h"

namespace {

constexpr char kTooBig[] = "fwvet -f would refuse it with 4: the payload is 2 GiB or more";

// Why the file could not be read as far as v shows, for the status.
const char *reason(int status, const verdict_t &v) {
  if (v.error != 0) return strerror(v.error);
  if (status == FileReadHeadFail) return S_ISREG(v.st.st_mode) ? "shorter than the 128-byte header" : "not a regular file";
  return nullptr;
}

const char *verdict(int status, const verdict_t &v) {
  switch (status) {
    case UpdateSuccess: return "passes";
    case FileFormatError: return "fails: wrong magic number";
    case Md5Error: return v.digested ? "fails: the payload's digest differs from md5" : "fails: the payload cannot be read";
    case FileReadHeadFail: return "fails: the header cannot be read";
    case SYSTYPEError: return "fails: a type this device does not install";
    case VersionApNameError: return "fails: a model this device is not";
    case HardVerError: return "fails: hardware this image does not run on";
    case SoftVerSame: return "fails: the release this device runs";
#if defined(FWVET_SIGNED) || defined(FWVET_FLOOR)
    case SignatureError: return "fails: no signed list of a trusted key vouches for it";
#endif
#ifdef FWVET_FLOOR
    case SoftVerOld: return "fails: older than the oldest release this device takes";
#endif
    default: return "fails: the file cannot be opened";
  }
}

void print_hex(const unsigned char *p, size_t n) {
  for (size_t k = 0; k < n; k++) printf("%02x", p[k]);
}

#ifdef FWVET_SIGNED
// Why FILE.sig vouches or not: the word the JSON gives, and in the report's
// words. Indexed by sig_reason.
constexpr const char *kSigWords[][2] = {
    {"unchecked", ""},
    {"good", "a trusted key's list carries its SHA-256"},
    {"missing", "no FILE.sig beside it"},
    {"not-a-file", "FILE.sig is not a regular file of at most 64 KiB"},
    {"malformed", "FILE.sig is not a signify signature with an embedded list"},
    {"untrusted-key", "signed by a key this build does not trust"},
    {"bad-signature", "a trusted key's signature that does not verify: altered, or another key of that number"},
    {"bad-line", "a line of the list that signify would not read"},
    {"not-listed", "no SHA256 line of the list carries its SHA-256"},
};

// The report's lines for the whole file's SHA-256 and the signed list.
void report_signature(const verdict_t &v) {
  printf("%-8s ", "sha256");
  print_hex(v.sha256, sizeof v.sha256);
  putchar('\n');
  if (v.why.reason == kSigUnchecked) return;
  printf("%-8s %s", "signed", kSigWords[v.why.reason][0]);
  if (v.why.keyed) {
    printf(", key ");
    print_hex(v.why.key, sizeof v.why.key);
  }
  if (v.why.reason == kSigBadLine) printf(", line %lu", v.why.line);
  printf(": %s\n", kSigWords[v.why.reason][1]);
}

// The JSON's fields for the same.
void json_signature(const verdict_t &v) {
  printf(",\"sha256\":\"");
  print_hex(v.sha256, sizeof v.sha256);
  putchar('"');
  if (v.why.reason == kSigUnchecked) return;
  printf(",\"signature\":\"%s\"", kSigWords[v.why.reason][0]);
  if (v.why.keyed) {
    printf(",\"key\":\"");
    print_hex(v.why.key, sizeof v.why.key);
    putchar('"');
  }
  if (v.why.reason == kSigBadLine) printf(",\"line\":%lu", v.why.line);
}
#endif

// The length of the valid UTF-8 sequence of more than one byte at p, with n
// bytes left, or 0: no overlong form, surrogate or code point past U+10FFFF.
size_t utf8_len(const unsigned char *p, size_t n) {
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) {
    len = 2;
  } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
    len = 3;
    lo = p[0] == 0xE0 ? 0xA0 : 0x80;
    hi = p[0] == 0xED ? 0x9F : 0xBF;
  } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
    len = 4;
    lo = p[0] == 0xF0 ? 0x90 : 0x80;
    hi = p[0] == 0xF4 ? 0x8F : 0xBF;
  }
  if (len == 0 || n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t k = 2; k < len; k++)
    if (p[k] < 0x80 || p[k] > 0xBF) return 0;
  return len;
}

// Bytes up to the first NUL as quoted text, quotes and backslashes escaped.
// For the text report, bytes outside printable ASCII as \xXX; for JSON, what
// JSON requires escaped, valid UTF-8 as it is and any other byte as U+FFFD:
// the text is valid UTF-8 whatever the field holds.
void print_quoted(const unsigned char *p, size_t size, bool json) {
  size_t end = 0;
  while (end < size && p[end] != '\0') end++;
  putchar('"');
  for (size_t k = 0; k < end; k++) {
    const size_t seq = json && p[k] >= 0x80 ? utf8_len(p + k, end - k) : 0;
    if (p[k] == '"' || p[k] == '\\') {
      printf("\\%c", p[k]);
    } else if (p[k] >= ' ' && p[k] < 0x7F) {
      putchar(p[k]);
    } else if (seq > 0) {
      fwrite(p + k, 1, seq, stdout);
      k += seq - 1;
    } else if (!json) {
      printf("\\x%02x", p[k]);
    } else if (p[k] >= 0x80) {
      fputs("\\ufffd", stdout);
    } else {
      printf("\\u%04x", p[k]);
    }
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
void report(const char *path, int status, const verdict_t &v) {
  if (status == FileIsnotExit) {
    complain(path, reason(status, v));
    return;
  }
  print_text("file", reinterpret_cast<const unsigned char *>(path), strlen(path));
  if (!v.header) {
    complain(path, reason(status, v));
    return;
  }
  const uint32_t magic = fmw_load32(&v.hdr.magicnum);
  const time_t when = static_cast<time_t>(fmw_load32(&v.hdr.time));
  struct tm tm;
  char date[64] = "?";
  if (gmtime_r(&when, &tm) != nullptr) strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &tm);

  printf("%-8s %08x (%s)\n", "magic", static_cast<unsigned>(magic), magic == FMW_MAGIC ? "good" : "wrong, not abcd1234");
  printf("%-8s %u\n", "type", v.hdr.type);
  print_text("model", v.hdr.model, sizeof v.hdr.model);
  print_text("swver", v.hdr.swver, sizeof v.hdr.swver);
  print_text("hwver", v.hdr.hwver, sizeof v.hdr.hwver);
  printf("%-8s ", "md5");
  print_hex(v.hdr.md5, sizeof v.hdr.md5);
  printf("\n%-8s %s (%lu)\n", "time", date, static_cast<unsigned long>(fmw_load32(&v.hdr.time)));
  if (!v.digested) {
    complain(path, reason(status, v));
    return;
  }
  printf("%-8s %llu bytes\n", "payload", static_cast<unsigned long long>(v.payload));
  printf("%-8s ", "digest");
  print_hex(v.md5, sizeof v.md5);
  putchar('\n');
#ifdef FWVET_SIGNED
  report_signature(v);
#endif
  printf("%-8s %s\n", "verdict", verdict(status, v));
  if (extract_status(status, &v) == FileLenError) printf("%-8s %s\n", "extract", kTooBig);
}

void json_field(const char *key, const unsigned char *p, size_t size) {
  printf(",\"%s\":", key);
  print_quoted(p, size, true);
}

// The -j report: one JSON object on one line, whatever was read.
void report_json(const char *path, int status, const verdict_t &v) {
  if (reason(status, v) != nullptr) complain(path, reason(status, v));
  printf("{\"file\":");
  print_quoted(reinterpret_cast<const unsigned char *>(path), strlen(path), true);
  if (v.header) {
    const uint32_t when = fmw_load32(&v.hdr.time);
    const time_t t = static_cast<time_t>(when);
    struct tm tm;
    char date[32] = "";
    if (gmtime_r(&t, &tm) != nullptr) strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", &tm);
    printf(",\"magic\":\"%08x\",\"type\":%u", static_cast<unsigned>(fmw_load32(&v.hdr.magicnum)), v.hdr.type);
    json_field("model", v.hdr.model, sizeof v.hdr.model);
    json_field("swver", v.hdr.swver, sizeof v.hdr.swver);
    json_field("hwver", v.hdr.hwver, sizeof v.hdr.hwver);
    printf(",\"md5\":\"");
    print_hex(v.hdr.md5, sizeof v.hdr.md5);
    printf("\",\"time\":%lu,\"time_utc\":\"%s\"", static_cast<unsigned long>(when), date);
  }
  if (v.digested) {
    printf(",\"payload\":%llu,\"digest\":\"", static_cast<unsigned long long>(v.payload));
    print_hex(v.md5, sizeof v.md5);
    putchar('"');
#ifdef FWVET_SIGNED
    json_signature(v);
#endif
  }
  const int extract = extract_status(status, &v);
  printf(",\"status\":%d,\"extract_status\":%d,\"verdict\":\"%s\"", status, extract, verdict(status, v));
  if (extract == FileLenError) printf(",\"extract\":\"%s\"", kTooBig);
  puts("}");
}

}  // namespace

int inspect(const char *path, bool json) {
  verdict_t v;
  const int status = vet_file(path, kInspect, &v);
  if (json)
    report_json(path, status, v);
  else
    report(path, status, v);
  const int output = finish_output();
  return output != 0 ? output : status;
}
