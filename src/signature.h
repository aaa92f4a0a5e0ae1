// Detached signatures on upgrade files, in builds with trusted keys.
#ifndef FWVET_SIGNATURE_H
#define FWVET_SIGNATURE_H

// Checks FILE.sig beside filepath: two lines, "untrusted comment: ..." and
// the base64 of "Ed", an 8-byte key number and an Ed25519 signature over the
// whole upgrade file, which fd holds open. The signature must verify with the
// compiled-in key of that number. Returns UpdateSuccess or SignatureError.
int check_signature(const char *filepath, int fd);

#endif
