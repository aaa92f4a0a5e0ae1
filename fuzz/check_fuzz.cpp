// libFuzzer target: arbitrary bytes as an upgrade file, through the check.
// When bit 0 of the type byte is set, the header's digest is made right
// first, so that inputs reach the end of a passing check too. The verdict must
// be the one the layout gives.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "md5.h"
#include "sysupdate.h"

namespace {

void digest(const uint8_t *p, size_t n, unsigned char *out) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  MD5_Update(&ctx, p, static_cast<unsigned int>(n));
  MD5_Final(out, &ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static char path[] = "/tmp/fwvet-fuzz.XXXXXX";
  static const int fd = mkstemp(path);
  if (fd < 0) abort();

  std::vector<uint8_t> file(data, data + size);
  if (size >= 128 && (file[4] & 1)) digest(file.data() + 128, size - 128, file.data() + 102);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, file.data(), size, 0) != static_cast<ssize_t>(size)) abort();

  int expected = UpdateSuccess;
  unsigned char md5[16];
  if (size < 128) {
    expected = FileReadHeadFail;
  } else if (memcmp(file.data(), "\xAB\xCD\x12\x34", 4) != 0) {
    expected = FileFormatError;
  } else {
    digest(file.data() + 128, size - 128, md5);
    if (memcmp(md5, file.data() + 102, 16) != 0) expected = Md5Error;
  }
  if (check_file(path) != expected) abort();
  return 0;
}
