// fwpack: make an upgrade file from a payload, or show what one holds.
//
//   fwpack [-t TYPE] [-m MODEL] [-s SWVER] [-w HWVER] -o OUT PAYLOAD|-
//   fwpack -i FILE
//   fwpack -j FILE
#include "fwpack.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

void usage(FILE *out) {
  fputs("usage: fwpack [-t TYPE] [-m MODEL] [-s SWVER] [-w HWVER] -o OUT PAYLOAD|-\n"
        "       fwpack -i FILE\n"
        "       fwpack -j FILE\n"
        "       fwpack -h\n",
        out);
}

// A refused command line: the reason, then the usage.
int refuse(const char *reason, const char *what = "") {
  fflush(stdout);
  fprintf(stderr, "fwpack: %s%s\n", reason, what);
  usage(stderr);
  return kUsage;
}

}  // namespace

int complain(const char *what, const char *reason) {
  // What was printed comes first, also where both streams go to one place.
  fflush(stdout);
  fprintf(stderr, "fwpack: %s: %s\n", what, reason);
  return kFailed;
}

int finish_output() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  const int err = errno;
  complain("standard output", strerror(err));
  return kOutputFailed;
}

int main(int argc, char **argv) {
  pack_args_t a = {"0", "", "", "", nullptr, nullptr};
  const char *info = nullptr, *packing = nullptr;
  bool json = false;
  int shows = 0;
  int opt;
  // Options stop at the first operand, whatever POSIXLY_CORRECT says.
  while ((opt = getopt(argc, argv, "+t:m:s:w:o:i:j:h")) != -1) {
    switch (opt) {
      case 't': a.type = optarg, packing = "-t"; break;
      case 'm': a.model = optarg, packing = "-m"; break;
      case 's': a.swver = optarg, packing = "-s"; break;
      case 'w': a.hwver = optarg, packing = "-w"; break;
      case 'o': a.out = optarg, packing = "-o"; break;
      case 'i': info = optarg, json = false, shows++; break;
      case 'j': info = optarg, json = true, shows++; break;
      case 'h': usage(stdout); return finish_output();
      default: usage(stderr); return kUsage;  // the parser has said why
    }
  }
  const int operands = argc - optind;
  if (shows > 1) return refuse("one file to show, with -i or -j, once");
  if (info != nullptr) {
    if (packing != nullptr) return refuse("-i and -j show a file, -o, -t, -m, -s and -w make one: not both: ", packing);
    if (operands > 0) return refuse("extra operand: ", argv[optind]);
    return inspect(info, json);
  }
  // An option after the payload would be taken for a file.
  for (int k = optind + 1; k < argc; k++)
    if (argv[k][0] == '-' && argv[k][1] != '\0') return refuse("option after the payload: ", argv[k]);
  if (a.out == nullptr) return refuse(operands == 0 ? "nothing to do" : "missing -o OUT");
  // The header comes first and holds the digest of all that follows.
  if (strcmp(a.out, "-") == 0) return refuse("-o -: an upgrade file cannot be streamed; name a file");
  if (operands == 0) return refuse("missing payload");
  if (operands > 1) return refuse("extra operand: ", argv[optind + 1]);
  a.payload = argv[optind];
  return pack(a);
}
