// Upgrade file layout and the status vocabulary of the update tools.
#ifndef FWVET_SYSUPDATE_H
#define FWVET_SYSUPDATE_H

#include <stddef.h>
#include <stdint.h>

// Result of an operation; also the process exit status and the index of its
// message in g_pupdateinfo. Values 5 to 7 and 9 are given only by builds
// with an identity (the device's model, hardware, types, release).
enum update_status : uint32_t {
  UpdateSuccess = 0,
  FileIsnotExit = 1,
  FileReadHeadFail = 2,
  FileFormatError = 3,
  FileLenError = 4,
  VersionApNameError = 5,
  SoftVerSame = 6,
  HardVerError = 7,
  Md5Error = 8,
  SYSTYPEError = 9,
  WriteFlashError = 10,
#if defined(FWVET_SIGNED) || defined(FWVET_FLOOR)
  SignatureError = 11,  // only in builds that require signed upgrade files
#endif
#ifdef FWVET_FLOOR
  SoftVerOld = 12,  // only in builds with a floor: older than the floor
#endif
};

#if defined(FWVET_FLOOR)
constexpr int kStatusCount = 13;
#elif defined(FWVET_SIGNED)
constexpr int kStatusCount = 12;
#else
constexpr int kStatusCount = 11;
#endif

// The 128-byte header at the start of an upgrade file; the payload follows.
// Multi-byte numbers are big-endian in the file: read them byte-wise.
#pragma pack(push, 1)
struct fmw_hdr_t {
  uint32_t magicnum;        // bytes AB CD 12 34
  uint8_t type;
  uint8_t resv;
  unsigned char model[32];
  unsigned char swver[32];
  unsigned char hwver[32];
  unsigned char md5[16];    // raw MD5 digest of the payload
  uint32_t time;
  unsigned char ext[6];
};
#pragma pack(pop)

static_assert(sizeof(fmw_hdr_t) == 128, "header is 128 bytes");
static_assert(offsetof(fmw_hdr_t, magicnum) == 0, "header layout");
static_assert(offsetof(fmw_hdr_t, type) == 4, "header layout");
static_assert(offsetof(fmw_hdr_t, resv) == 5, "header layout");
static_assert(offsetof(fmw_hdr_t, model) == 6, "header layout");
static_assert(offsetof(fmw_hdr_t, swver) == 38, "header layout");
static_assert(offsetof(fmw_hdr_t, hwver) == 70, "header layout");
static_assert(offsetof(fmw_hdr_t, md5) == 102, "header layout");
static_assert(offsetof(fmw_hdr_t, time) == 118, "header layout");
static_assert(offsetof(fmw_hdr_t, ext) == 122, "header layout");

constexpr uint32_t FMW_MAGIC = 0xABCD1234;

// A header's 32-bit field, read and written byte-wise in the file's order.
inline uint32_t fmw_load32(const uint32_t *field) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(field);
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline void fmw_store32(uint32_t *field, uint32_t x) {
  unsigned char *p = reinterpret_cast<unsigned char *>(field);
  p[0] = static_cast<unsigned char>(x >> 24);
  p[1] = static_cast<unsigned char>(x >> 16);
  p[2] = static_cast<unsigned char>(x >> 8);
  p[3] = static_cast<unsigned char>(x);
}

extern const char *const g_pupdateinfo[kStatusCount];

// Checks that the header reads, the magic is right and the payload's MD5
// equals the header's; changes nothing. Returns an update_status value.
int check_file(const char *filepath);

#endif
