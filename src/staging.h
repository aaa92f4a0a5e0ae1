// Staging a verified payload at /tmp/flsbfile.tar.gz, safe against other
// local users, overlapping runs and a run killed at any instruction.
#ifndef FWVET_STAGING_H
#define FWVET_STAGING_H

#include <stdint.h>
#include <sys/stat.h>

#include "verdict.h"

// Copies the len payload bytes after the header of fd, the upgrade file, into
// a new file and puts it in place of the staging file in one rename, once it
// holds exactly the payload whose digest the check verified (checked) and is
// durable, with /tmp. In builds with keys the header read and the payload
// written must also have the SHA-256 the signed list vouched for.
// upgrade is the upgrade file's fstat, which must not be the staging file.
// Returns UpdateSuccess, Md5Error (the upgrade file changed since its check),
// SignatureError (it changed into a twin of the same MD5) or WriteFlashError;
// before the rename nothing at the staging name changes, and nothing of a
// failed run is left in /tmp.
int stage_payload(int in, const struct stat *upgrade, uint32_t len, const verdict_t *checked);

#endif
