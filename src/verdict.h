// The verdict on an upgrade file, as fwvet's check gives it: fwvet and fwpack
// both take it from here, so that the two never disagree.
#ifndef FWVET_VERDICT_H
#define FWVET_VERDICT_H

#include <stdint.h>
#include <sys/stat.h>

#ifdef FWVET_SIGNED
#include "signature.h"
#endif
#include "sysupdate.h"

// What the check read of an upgrade file.
struct verdict_t {
  fmw_hdr_t hdr;          // the header, where header is set
  struct stat st;         // the file's fstat, where it opened
  bool header;            // the 128 header bytes were read
  bool digested;          // the payload was read to its end
  uint64_t payload;       // its length, where digested
  unsigned char md5[16];  // its MD5, where digested
#ifdef FWVET_SIGNED
  unsigned char sha256[32];  // the whole file's SHA-256, where digested
  struct stat sig;           // FILE.sig's fstat, where it was read
  sig_result_t why;          // why FILE.sig vouches for it or not
#endif
  int error;              // errno of the step that failed, or 0
};

// Opens the upgrade file, with its fstat in st. It must be a regular file:
// nothing else is waited on (a FIFO without a writer, a terminal) or read
// twice alike (a pipe, a device). UpdateSuccess (fd open), FileIsnotExit or
// FileReadHeadFail.
int open_upgrade(const char *filepath, int *fd, struct stat *st);

// The payload length that st gives, refused where the copy could not count
// it: FileReadHeadFail (shorter than a header) or FileLenError (2 GiB or more).
int getsize(const struct stat *st, uint32_t *len);

// What the check is for: fwvet -c, fwvet -f (a payload too big to copy is
// refused before it is digested), or fwpack -i and -j (the payload digested
// even under a wrong magic, to be shown; the status is the same as kCheck's).
enum check_mode { kCheck, kExtract, kInspect };

// The check on the open file fd, whose fstat v->st holds: a short header,
// a wrong magic, in builds with an identity a file for another device or
// release, and before an extraction a payload too big to copy (all known
// before digesting), then the payload's MD5. Fills v; returns
// the update_status.
int check_fd(int fd, check_mode mode, verdict_t *v);

// The whole check of filepath: a file that does not open, check_fd, and in
// builds with keys the signed list beside it. Fills v (error: errno of the
// step that failed).
int vet_file(const char *filepath, check_mode mode, verdict_t *v);

// What extraction gives a file whose check gave status.
int extract_status(int status, const verdict_t *v);

#endif
