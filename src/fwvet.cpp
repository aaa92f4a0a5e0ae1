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
#ifdef FWVET_SIGNED
#include "signature.h"
#endif
#include "staging.h"
#include "sysupdate.h"
#include "verdict.h"

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
#if defined(FWVET_SIGNED) || defined(FWVET_FLOOR)
    "<11>signature check failed",
#endif
#ifdef FWVET_FLOOR
    "<12>upgrade old version file",
#endif
};

namespace {

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
  verdict_t checked;
  int status = vet_file(filepath, kExtract, &checked);
  if (status != UpdateSuccess) return status;

  int fd = -1;
  struct stat st;
  status = open_upgrade(filepath, &fd, &st);
  if (status != UpdateSuccess) return status;
  uint32_t filesize = 0;
  // Another file put in its place since the check is not the one vetted.
  if (st.st_dev != checked.st.st_dev || st.st_ino != checked.st.st_ino) status = Md5Error;
  if (status == UpdateSuccess) status = getsize(&st, &filesize);
  if (status == UpdateSuccess) status = stage_payload(fd, &st, filesize, &checked);
  // Only read from: a failed close loses nothing.
  close(fd);
  if (status != UpdateSuccess) return status;

  delete_upgrade(filepath, &st);
#ifdef FWVET_SIGNED
  // The list that vouched for it goes too, under the same rule.
  static char sig[kSigPathLen];
  if (sig_path(filepath, sig) == 0) delete_upgrade(sig, &checked.sig);
#endif
  sync();
  return UpdateSuccess;
}

}  // namespace

int check_file(const char *filepath) {
  verdict_t v;
  return vet_file(filepath, kCheck, &v);
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
  // The leading '-' hands operands back as option 1, so that options after
  // them count even where POSIXLY_CORRECT would stop the parse at the first.
  for (;;) {
#ifndef __GLIBC__
    // A lone '-' is an operand, as glibc's getopt hands it back; musl's
    // ends the parse there.
    if (optind < argc && argv[optind][0] == '-' && argv[optind][1] == '\0') {
      optind++;
      continue;
    }
#endif
    if ((opt = getopt(argc, argv, "-cf:l:")) == -1) break;
    switch (opt) {
      case 1:
        break;
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
